// Bounded, message-pumping thread stop and thread naming.
#include <atomic>
#include <chrono>

#include <gtest/gtest.h>

#include "core/thread_helpers.h"
#include "support/message_loop.h"

using VexloTool::StopThreadBounded;

namespace {

// A thread that waits on an event the test controls.
struct WaitingThread {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = nullptr;

    WaitingThread() {
        DWORD id = 0;
        thread = CreateThread(nullptr, 0, &Run, this, 0, &id);
        VexloTool::SetThreadName(id, "test-waiter");
    }
    ~WaitingThread() {
        SetEvent(release);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(release);
    }
    static DWORD WINAPI Run(LPVOID self) {
        WaitForSingleObject(static_cast<WaitingThread*>(self)->release, INFINITE);
        return 7;
    }
    DWORD ExitCode() const {
        DWORD code = 0;
        GetExitCodeThread(thread, &code);
        return code;
    }
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(StopThreadBounded, NullHandleLeavesQueueUntouched) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // make sure the thread has a queue
    PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0);
    StopThreadBounded(nullptr);
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_REMOVE));
}

TEST(StopThreadBounded, DispatchesMessagesWhileThreadEndsByItself) {
    vxtest::TestWindow window;
    WaitingThread waiter;
    int seen = 0;
    window.on_message = [&](UINT msg, WPARAM, LPARAM) {
        if (msg != WM_USER + 1)
            return;
        // The third message lets the thread end.
        if (++seen == 3)
            SetEvent(waiter.release);
    };
    for (int i = 0; i < 3; ++i)
        PostMessageW(window.hwnd(), WM_USER + 1, 0, 0);
    StopThreadBounded(waiter.thread);
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(waiter.ExitCode(), 7u);  // ended on its own, not terminated
}

TEST(StopThreadBounded, TerminatesAStuckThreadAfterTheBoundAndRepostsQuit) {
    WaitingThread waiter;
    PostQuitMessage(5);
    const auto start = std::chrono::steady_clock::now();
    StopThreadBounded(waiter.thread);
    const double elapsed = SecondsSince(start);
    // Termination is asynchronous, as on Windows.
    EXPECT_EQ(WaitForSingleObject(waiter.thread, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(waiter.ExitCode(), 0u);
    // One silent wait of about three seconds; wide margins.
    EXPECT_GT(elapsed, 2.5);
    EXPECT_LT(elapsed, 15.0);
    // The quit seen during the wait reaches the host's loop again (code 0).
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
}

TEST(StopThreadBounded, MessagesPastTheBoundStillGetDispatched) {
    vxtest::TestWindow window;
    WaitingThread waiter;
    std::atomic<int> seen{0};
    // Keeps the queue busy past the bound, so the limit is checked between
    // messages rather than by the wait's own time-out.
    window.on_message = [&](UINT msg, WPARAM, LPARAM) {
        if (msg != WM_USER + 2)
            return;
        ++seen;
        Sleep(20);
        PostMessageW(window.hwnd(), WM_USER + 2, 0, 0);
    };
    PostMessageW(window.hwnd(), WM_USER + 2, 0, 0);
    StopThreadBounded(waiter.thread);
    EXPECT_EQ(WaitForSingleObject(waiter.thread, 20000), WAIT_OBJECT_0);
    EXPECT_GT(seen.load(), 10);
    window.on_message = nullptr;
}

}  // namespace
