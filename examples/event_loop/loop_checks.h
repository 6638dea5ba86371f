// loop_checks.h: what the event-loop examples prove. Three kinds of work
// must come back through the host's own loop, on its thread: a callable a
// pool worker dispatches, a window timer, and the completion of an
// asynchronous HTTP GET against a loopback server (the HTTP suite's nginx,
// found through VX_HTTP_PEERS, or the URL given as the first argument).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "VexloTool/FuncDispatch.h"
#include "VexloTool/HttpFactory.h"
#include "VexloTool/ThreadPool.h"
#include "vxplatform.h"

namespace loop_checks {

struct State {
    DWORD loopThread = 0;
    HWND window = nullptr;
    VexloTool::CHttpClient* request = nullptr;
    bool dispatched = false, timer = false, http = false;
    bool failed = false;
    std::string body;
    void (*quit)() = nullptr;
    bool Done() const { return dispatched && timer && http; }
};

inline State& state() {
    static State s;
    return s;
}

inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::printf("  !! %s\n", what);
        state().failed = true;
    }
}

inline void Arrived(bool& flag, const char* what) {
    Check(GetCurrentThreadId() == state().loopThread, what);
    flag = true;
    if (state().Done() && state().quit)
        state().quit();
}

// The nginx peer's port, from the ports file tests/http/peers.sh writes.
inline std::wstring PeerUrl(int argc, char** argv) {
    std::string url;
    if (argc > 1) {
        url = argv[1];
    } else if (const char* dir = std::getenv("VX_HTTP_PEERS")) {
        unsigned int port = 0;
        if (FILE* file = std::fopen((std::string(dir) + "/ports").c_str(), "r")) {
            if (std::fscanf(file, "nginx=%u", &port) != 1)
                port = 0;
            std::fclose(file);
        }
        if (port)
            url = "http://127.0.0.1:" + std::to_string(port) + "/small.txt";
    }
    return std::wstring(url.begin(), url.end());
}

// Window-thread work: creates the host window, starts the services and the
// three pieces of work. quit ends the host's loop once all have arrived.
inline bool Start(const std::wstring& url, void (*quit)()) {
    using namespace VexloTool;
    State& s = state();
    s.loopThread = GetCurrentThreadId();
    s.quit = quit;
    if (url.empty()) {
        std::printf("no HTTP peer: pass a URL or set VX_HTTP_PEERS\n");
        return false;
    }
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"VexloToolLoopExample";
    RegisterClassExW(&wc);
    s.window = CreateWindowExW(0, wc.lpszClassName, L"loop", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               nullptr, nullptr);
    if (!s.window)
        return false;
    CFuncDispatch::Instance().Init(s.window);
    CThreadPool::Instance().Init(2);

    CThreadPool::Execute([] {
        CFuncDispatch::Dispatch([] { Arrived(state().dispatched, "dispatch ran off the loop"); });
    });
    CFuncDispatch::StartTimer(
        30, [] { Arrived(state().timer, "timer ran off the loop"); }, false);

    s.request = CHttpFactory::Instance().CreateWebRequest();
    s.request->SetRecvCallbck([](unsigned long, unsigned long, const char* data, unsigned int n) {
        state().body.append(data, n);
    });
    s.request->Request(eHttpGet, url.c_str(), [](unsigned long error, unsigned long status) {
        Check(error == 0 && status == 200, "the GET failed");
        Arrived(state().http, "HTTP completion ran off the loop");
    });
    return true;
}

// After the loop: stops the services in the documented order and reports.
inline int Finish() {
    using namespace VexloTool;
    State& s = state();
    CHttpFactory::Instance().ReleaseWebRequest(s.request);
    CHttpFactory::Instance().UnInit();
    CThreadPool::Instance().Stop();
    CThreadPool::Instance().UnInit();
    CFuncDispatch::Instance().UnInit();
    if (s.window)
        DestroyWindow(s.window);
    Check(s.Done(), "not everything arrived through the loop");
    Check(!s.http || !s.body.empty(), "the GET brought no body");
    std::printf("dispatch %d, timer %d, http %d (%zu bytes): %s\n", s.dispatched, s.timer, s.http,
                s.body.size(), s.failed ? "FAILED" : "ok");
    return s.failed ? 1 : 0;
}

// Runs the window thread's due messages; the descriptor stays readable
// until PeekMessageW finds nothing, so the host drains to the end.
inline void Drain() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace loop_checks
