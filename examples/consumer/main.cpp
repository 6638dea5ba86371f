// A host built against the installed package: a callable sent from a pool
// worker to the window thread, and the plain utilities. Exits 0 when both
// worked.
#include <cstdio>

#include "VexloTool/Crc32.h"
#include "VexloTool/FuncDispatch.h"
#include "VexloTool/ThreadPool.h"
#include "vxplatform.h"

using namespace VexloTool;

int main() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"ConsumerHost";
    RegisterClassExW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
    CFuncDispatch::Instance().Init(hwnd);
    CThreadPool::Instance().Init(2);

    const DWORD uiThread = GetCurrentThreadId();
    bool dispatched = false;
    CThreadPool::Execute([&] {
        CFuncDispatch::Dispatch([&] {
            dispatched = GetCurrentThreadId() == uiThread;
            PostQuitMessage(0);
        });
    });
    CFuncDispatch::StartTimer(
        20000, [] { PostQuitMessage(1); }, false);  // give up

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    CThreadPool::Instance().Stop();
    CThreadPool::Instance().UnInit();
    CFuncDispatch::Instance().UnInit();
    DestroyWindow(hwnd);

    CCrc32 crc;
    const unsigned int sum = crc.GetCrc32(reinterpret_cast<const unsigned char*>("123456789"), 9);
    const bool ok = dispatched && sum == 0xcbf43926u;
    std::printf("consumer: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
