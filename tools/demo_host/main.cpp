// Demo host: a UI thread with a real message loop driving the library's
// services, the same on Windows and on Linux.
#include <cstdio>
#include <string>

#include <boost/make_shared.hpp>

#include "VexloTool/Base64.h"
#include "VexloTool/Crc32.h"
#include "VexloTool/FuncDispatch.h"
#include "VexloTool/IniFile.h"
#include "VexloTool/Memory.h"
#include "VexloTool/ThreadPool.h"
#include "VexloTool/VXLogWrapper.h"
#include "core/callback_marshal.h"
#include "vxplatform.h"

using namespace VexloTool;
bool RunHttpDemo();     // http_demo.cpp
bool RunSocketDemo();   // net_demo.cpp
bool RunMonitorDemo();  // monitor_demo.cpp

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
    if (state.Done())
        PostQuitMessage(0);
}

HWND CreateHostWindow() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);
    return CreateWindowExW(0, kClassName, L"demo", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                           nullptr);
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
            for (unsigned long k = 1; k <= 100 * (job + 1); ++k)
                sum += k * k;
            PostEvent(resultSignal, std::wstring(L"job"), job, sum);
        });
    }
}

void StartTimers() {
    CFuncDispatch::StartTimer(
        30,
        [] {
            CheckUiThread("one-shot timer");
            std::printf("one-shot timer fired\n");
            state.oneShotFired = true;
            QuitWhenDone();
        },
        false);
    static long repeatId = 0;
    repeatId = CFuncDispatch::StartTimer(
        10,
        [] {
            CheckUiThread("repeating timer");
            std::printf("repeating timer tick %d\n", ++state.ticks);
            if (state.ticks == kRepeatTicks)
                CFuncDispatch::StopTimer(repeatId);
            QuitWhenDone();
        },
        true);
    CFuncDispatch::StartTimer(
        kGiveUpMs,
        [] {
            std::printf("  !! gave up waiting\n");
            state.failed = true;
            PostQuitMessage(1);
        },
        false);
}

// The utilities: settings kept in an INI file, a checksum, Base64, and a
// log of what the demo did, written in the background.
bool RunUtilities() {
    // The settings file sits beside the executable, and the log with it.
    CIniFile settings;
    settings.SetDefaultName();
    const std::wstring iniPath = settings.GetFileName();
    const std::wstring logPath = iniPath.substr(0, iniPath.find_last_of(L"/\\") + 1) + L"demo.log";
    CVXLogWrapper& log = CVXLogWrapper::Instance();
    log.Init(logPath.c_str());
    log.WriteLog(VXLOG_INFO, L"demo started, %d pool jobs, %s", kPoolJobs,
                 L"wide text \u00e9\u4e2d");

    const int runs = settings.GetIntValue(L"demo", L"runs", 0) + 1;
    settings.SetIntValue(L"demo", L"runs", runs);
    settings.SetStringValue(L"demo", L"greeting", L"h\u00e9llo \u4e16\u754c");
    const bool iniOk = settings.GetIntValue(L"demo", L"runs", 0) == runs;
    std::printf("ini: %ls run %d (%s)\n", settings.GetFileName(), runs, iniOk ? "ok" : "FAILED");

    const char text[] = "123456789";
    CCrc32 crc;
    const unsigned int sum = crc.GetCrc32(reinterpret_cast<const unsigned char*>(text), 9);
    std::printf("crc32(\"%s\") = %08X (%s)\n", text, sum, sum == 0xCBF43926u ? "ok" : "FAILED");

    int encodedLength = 0, decodedLength = 0;
    char* encoded = convert_to_base64(text, 9, encodedLength);
    char* decoded = convert_from_base64(encoded, encodedLength, decodedLength);
    const bool base64Ok = decodedLength == 9 && std::string(decoded, 9) == text;
    std::printf("base64: %s (%s)\n", encoded, base64Ok ? "round trip ok" : "FAILED");
    ReleaseBuffer(encoded);
    ReleaseBuffer(decoded);

    log.WriteLog(VXLOG_INFO, L"ini run %d, crc %08X, base64 %hs", runs, sum,
                 base64Ok ? "ok" : "failed");
    log.UnInit();  // everything accepted reaches the file
    std::printf("log: %ls\n", logPath.c_str());
    return iniOk && base64Ok && sum == 0xCBF43926u;
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
    for (HANDLE worker : workers)
        CloseHandle(worker);
    if (!RunHttpDemo())
        state.failed = true;
    CThreadPool::Instance().Stop();
    CThreadPool::Instance().UnInit();
    CFuncDispatch::Instance().UnInit();
    DestroyWindow(hwnd);

    const bool utilitiesOk = RunUtilities();
    if (!RunSocketDemo() || !RunMonitorDemo())
        return 1;
    const bool ok = exitCode == 0 && !state.failed && state.Done() && utilitiesOk;
    std::printf("demo %s: %d worker callables, %d pool results, %d ticks, one-shot %s\n",
                ok ? "finished" : "FAILED", state.workerCallbacks, state.poolResults, state.ticks,
                state.oneShotFired ? "fired" : "missing");
    return ok ? 0 : 1;
}
