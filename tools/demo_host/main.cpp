// Demo host: a UI thread with a real message loop driving the library's
// services, the same on Windows and on Linux.
#include <cstdio>

#include <boost/make_shared.hpp>

#include "VexloTool/FuncDispatch.h"
#include "VexloTool/ThreadPool.h"
#include "core/callback_marshal.h"
#include "vxplatform.h"

using namespace VexloTool;

namespace {

const wchar_t kClassName[] = L"VexloToolDemoHost";
const int kWorkerDispatches = 3;
const int kPoolJobs = 8;
const int kRepeatTicks = 5;
const unsigned int kGiveUpMs = 20000;

// Everything below is touched on the window thread only.
struct DemoState {
    DWORD uiThread = 0;
    int workerCallbacks = 0;
    int poolResults = 0;
    int ticks = 0;
    bool oneShotFired = false;
    bool failed = false;

    bool Done() const {
        return workerCallbacks == 2 * kWorkerDispatches && poolResults == kPoolJobs &&
               ticks >= kRepeatTicks && oneShotFired;
    }
} state;

void CheckUiThread(const char* what) {
    if (GetCurrentThreadId() != state.uiThread) {
        std::printf("  !! %s ran off the window thread\n", what);
        state.failed = true;
    }
}

void QuitWhenDone() {
    if (state.Done()) PostQuitMessage(0);
}

HWND CreateHostWindow() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);
    return CreateWindowExW(0, kClassName, L"demo", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           nullptr, nullptr);
}

// A plain worker thread that hands callables to the window thread.
DWORD WINAPI Worker(LPVOID param) {
    const int worker = static_cast<int>(reinterpret_cast<INT_PTR>(param));
    for (int i = 0; i < kWorkerDispatches; ++i) {
        CFuncDispatch::Dispatch([worker, i] {
            CheckUiThread("worker callable");
            std::printf("worker %d -> window thread: callable %d\n", worker, i);
            ++state.workerCallbacks;
            QuitWhenDone();
        });
    }
    return 0;
}

void StartPoolJobs() {
    // Each job's result reaches the window thread as an event occurrence.
    auto resultSignal = boost::make_shared<EventSignalResult>();
    resultSignal->connect([](unsigned long job, unsigned long sum) {
        CheckUiThread("pool result");
        std::printf("pool job %lu -> window thread: sum of squares = %lu\n", job, sum);
        ++state.poolResults;
        QuitWhenDone();
    });
    for (unsigned long job = 0; job < kPoolJobs; ++job) {
        CThreadPool::Execute([resultSignal, job] {
            unsigned long sum = 0;
            for (unsigned long k = 1; k <= 100 * (job + 1); ++k) sum += k * k;
            PostEvent(resultSignal, std::wstring(L"job"), job, sum);
        });
    }
}

void StartTimers() {
    CFuncDispatch::StartTimer(30, [] {
        CheckUiThread("one-shot timer");
        std::printf("one-shot timer fired\n");
        state.oneShotFired = true;
        QuitWhenDone();
    }, false);
    static long repeatId = 0;
    repeatId = CFuncDispatch::StartTimer(10, [] {
        CheckUiThread("repeating timer");
        std::printf("repeating timer tick %d\n", ++state.ticks);
        if (state.ticks == kRepeatTicks) CFuncDispatch::StopTimer(repeatId);
        QuitWhenDone();
    }, true);
    CFuncDispatch::StartTimer(kGiveUpMs, [] {
        std::printf("  !! gave up waiting\n");
        state.failed = true;
        PostQuitMessage(1);
    }, false);
}

int RunMessageLoop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    state.uiThread = GetCurrentThreadId();
    HWND hwnd = CreateHostWindow();
    if (!hwnd) {
        std::printf("could not create the host window\n");
        return 1;
    }
    CFuncDispatch::Instance().Init(hwnd);
    CThreadPool::Instance().Init(4);
    std::printf("VexloTool demo host: window thread %lu\n",
                static_cast<unsigned long>(state.uiThread));

    StartTimers();
    StartPoolJobs();
    HANDLE workers[2];
    for (INT_PTR i = 0; i < 2; ++i)
        workers[i] = CreateThread(nullptr, 0, Worker, reinterpret_cast<LPVOID>(i), 0, nullptr);

    const int exitCode = RunMessageLoop();

    WaitForMultipleObjects(2, workers, TRUE, INFINITE);
    for (HANDLE worker : workers) CloseHandle(worker);
    CThreadPool::Instance().Stop();
    CThreadPool::Instance().UnInit();
    CFuncDispatch::Instance().UnInit();
    DestroyWindow(hwnd);

    const bool ok = exitCode == 0 && !state.failed && state.Done();
    std::printf("demo %s: %d worker callables, %d pool results, %d ticks, one-shot %s\n",
                ok ? "finished" : "FAILED", state.workerCallbacks, state.poolResults, state.ticks,
                state.oneShotFired ? "fired" : "missing");
    return ok ? 0 : 1;
}
