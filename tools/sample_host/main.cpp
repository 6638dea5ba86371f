// Sample host: how an application links VexloTool. It sees only the public
// headers and the import library (Windows) or the shared library (Linux),
// and is built twice, without optimisation (as every Debug host is) and
// with it. It runs each service once, lets host callables throw into the
// library and catches an exception the library throws, then reports.
#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "VexloTool/FuncDispatch.h"
#include "VexloTool/IniFile.h"
#include "VexloTool/ThreadPool.h"
#include "vxplatform.h"

using namespace VexloTool;

namespace {

const unsigned int kGiveUpMs = 20000;

struct Results {
    bool dispatched = false;                  // from a pool worker to the window thread
    bool waitedFor = false;                   // DispatchAndWait from a pool worker
    bool afterThrow = false;                  // a callable after one that threw
    bool timer = false;                       // a one-shot timer
    std::atomic<bool> poolAfterThrow{false};  // pool work after a throwing job
    bool failed = false;
    bool Done() const { return dispatched && waitedFor && afterThrow && timer && poolAfterThrow; }
} results;

DWORD uiThread = 0;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::printf("  !! %s\n", what);
        results.failed = true;
    }
}

void QuitWhenDone() {
    if (results.Done())
        PostQuitMessage(0);
}

HWND CreateHostWindow() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"VexloToolSampleHost";
    RegisterClassExW(&wc);
    return CreateWindowExW(0, wc.lpszClassName, L"sample", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           nullptr, nullptr);
}

void StartWork() {
    // A host callable that throws on the window thread: the library catches
    // it there, and the next callable still runs.
    CFuncDispatch::Dispatch([] { throw std::runtime_error("host callable failed"); });
    CFuncDispatch::Dispatch([] {
        results.afterThrow = true;
        QuitWhenDone();
    });
    // One that throws on a pool worker ends that worker only.
    CThreadPool::Execute([] { throw std::runtime_error("host job failed"); });
    CThreadPool::Execute([] {
        CFuncDispatch::Dispatch([] {
            Check(GetCurrentThreadId() == uiThread, "dispatch ran off the window thread");
            results.dispatched = true;
            QuitWhenDone();
        });
        CFuncDispatch::DispatchAndWait([] { results.waitedFor = true; });
        results.poolAfterThrow = true;
        CFuncDispatch::Dispatch(QuitWhenDone);
    });
    CFuncDispatch::StartTimer(
        20,
        [] {
            results.timer = true;
            QuitWhenDone();
        },
        false);
    CFuncDispatch::StartTimer(
        kGiveUpMs, [] { PostQuitMessage(1); }, false);
}

// An exception the library raises reaches the host's handler: a null value
// is a caller error that CIniFile reports by throwing E_FAIL.
bool LibraryExceptionReachesHost() {
    try {
        CIniFile settings(L"sample-host-never-written.ini");
        settings.ModifyValueIfNotEqual(L"s", L"k", static_cast<const wchar_t*>(nullptr), L"");
        return false;
    } catch (const std::system_error& error) {
        return static_cast<unsigned int>(error.code().value()) == 0x80004005u;
    } catch (...) {
        return false;
    }
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    uiThread = GetCurrentThreadId();
    HWND hwnd = CreateHostWindow();
    if (!hwnd) {
        std::printf("could not create the host window\n");
        return 1;
    }
    CFuncDispatch::Instance().Init(hwnd);
    CThreadPool::Instance().Init(2);
    StartWork();

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    CThreadPool::Instance().Stop();
    CThreadPool::Instance().UnInit();
    CFuncDispatch::Instance().UnInit();
    DestroyWindow(hwnd);

    Check(msg.wParam == 0, "gave up waiting");
    Check(results.Done(), "not every service reported");
    Check(LibraryExceptionReachesHost(), "the library's exception did not reach the host");
    std::printf("sample host %s\n", results.failed ? "FAILED" : "finished");
    return results.failed ? 1 : 0;
}
