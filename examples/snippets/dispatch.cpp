// The smallest host of the window-thread services: a message-only window,
// the dispatcher and the pool, a callable sent from a worker back to the
// window thread, and a one-shot timer; the loop ends when both have run.
#include <cstdio>

#include "VexloTool/FuncDispatch.h"
#include "VexloTool/ThreadPool.h"
#include "vxplatform.h"

using namespace VexloTool;

int main() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"DispatchExample";
    RegisterClassExW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);

    CFuncDispatch::Instance().Init(hwnd);  // this thread is now the window thread
    CThreadPool::Instance().Init(0);

    const DWORD uiThread = GetCurrentThreadId();
    bool onUiThread = false, timerRan = false;
    auto quitWhenBoth = [&] {
        if (onUiThread && timerRan)
            PostQuitMessage(0);
    };
    CThreadPool::Execute([&] {
        // On a worker: hand the result to the window thread.
        CFuncDispatch::Dispatch([&] {
            onUiThread = GetCurrentThreadId() == uiThread;
            quitWhenBoth();
        });
    });
    // Timers are started on the window thread; false: one shot.
    CFuncDispatch::StartTimer(
        100,
        [&] {
            timerRan = true;
            quitWhenBoth();
        },
        false);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    CThreadPool::Instance().Stop();  // drain, then end
    CThreadPool::Instance().UnInit();
    CFuncDispatch::Instance().UnInit();
    DestroyWindow(hwnd);
    std::printf("dispatched to the window thread: %s\n", onUiThread ? "yes" : "no");
    return onUiThread ? 0 : 1;
}
