// Dispatcher faults that hang or deadlock a host: host code under the
// dispatcher's lock, a window-thread dispatch into a full queue, the order
// of release and wake-up in DispatchAndWait, timers left behind by an UnInit
// on another thread. Each waits with a watchdog, never a fixed sleep.
#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "VexloTool/FuncDispatch.h"
#include "VexloTool/ThreadPool.h"
#include "support/message_loop.h"

using VexloTool::CFuncDispatch;
using VexloTool::CThreadPool;
using vxtest::PumpUntil;
using vxtest::TestWindow;

namespace {

// How long a check waits for something that takes microseconds when sound.
const DWORD kWatchdogMs = 10000;

struct Event {
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Event() { CloseHandle(handle); }
    void Set() { SetEvent(handle); }
    bool WaitFor(DWORD ms) { return WaitForSingleObject(handle, ms) == WAIT_OBJECT_0; }
};

// Captured by a callable; when its last copy goes (the callable's values
// are released), another thread calls into the dispatcher. That call can
// finish only if the release does not run under the dispatcher's lock.
class LockProbe {
public:
    ~LockProbe() {
        if (caller_.joinable())
            caller_.join();
    }
    std::shared_ptr<void> Capture() {
        return std::shared_ptr<void>(nullptr, [this](void*) { CallFromAnotherThread(); });
    }
    bool released = false;
    bool lockWasFree = false;

private:
    void CallFromAnotherThread() {
        released = true;
        caller_ = std::thread([this] {
            CFuncDispatch::Dispatch([] {});
            returned_.Set();
        });
        lockWasFree = returned_.WaitFor(kWatchdogMs);
    }
    Event returned_;
    std::thread caller_;
};

struct ReleasePath {
    const char* name;
    // Hands a callable holding the capture to the dispatcher and makes the
    // dispatcher release it, on the window's thread.
    std::function<void(TestWindow&, std::shared_ptr<void>)> release;
};

const ReleasePath kReleasePaths[] = {
    {"a dispatched callable, recycled after it ran",
     [](TestWindow&, std::shared_ptr<void> capture) {
         bool ran = false;
         CFuncDispatch::Dispatch([&ran, capture] { ran = true; });
         capture.reset();
         PumpUntil([&] { return ran; });
     }},
    {"a timer stopped by StopTimer",
     [](TestWindow&, std::shared_ptr<void> capture) {
         long id = CFuncDispatch::StartTimer(
             100000, [capture] {}, true);
         capture.reset();
         CFuncDispatch::StopTimer(id);
     }},
    {"a timer forgotten by UnInit",
     [](TestWindow&, std::shared_ptr<void> capture) {
         CFuncDispatch::StartTimer(
             100000, [capture] {}, true);
         capture.reset();
         CFuncDispatch::Instance().UnInit();
     }},
    {"a queued callable dropped by UnInit",
     [](TestWindow&, std::shared_ptr<void> capture) {
         CFuncDispatch::Dispatch([capture] {});
         capture.reset();
         CFuncDispatch::Instance().UnInit();
     }},
    {"a timer and a queued callable of a destroyed window",
     [](TestWindow& window, std::shared_ptr<void> capture) {
         CFuncDispatch::StartTimer(
             100000, [capture] {}, true);
         CFuncDispatch::Dispatch([capture] {});
         capture.reset();
         window.Destroy();
     }},
};

TEST(DispatchLock, CapturedValuesAreNeverReleasedUnderTheLock) {
    for (const ReleasePath& path : kReleasePaths) {
        SCOPED_TRACE(path.name);
        TestWindow window;
        CFuncDispatch::Instance().Init(window.hwnd());
        LockProbe probe;
        path.release(window, probe.Capture());
        EXPECT_TRUE(probe.released);
        EXPECT_TRUE(probe.lockWasFree);
        CFuncDispatch::Instance().UnInit();
        vxtest::PumpPending();
    }
}

class DispatchFault : public ::testing::Test {
protected:
    void SetUp() override { CFuncDispatch::Instance().Init(window.hwnd()); }
    void TearDown() override { CFuncDispatch::Instance().UnInit(); }
    TestWindow window;
};

TEST_F(DispatchFault, WindowThreadDispatchNeverWaitsForAFullQueue) {
    const UINT kHostMessage = WM_USER + 3;
    int hostSaw = 0;
    window.on_message = [&](UINT msg, WPARAM, LPARAM) {
        if (msg == kHostMessage)
            ++hostSaw;
    };
    // Fill the window's queue (Windows and the Linux layer refuse posts past
    // 10000; a platform without a quota simply takes them all).
    int posted = 0;
    while (posted < 20000 && PostMessageW(window.hwnd(), kHostMessage, 0, 0))
        ++posted;
    // A dispatch that waited for room here would wait forever: only this
    // thread drains the queue. The watchdog ends such a wait by UnInit.
    Event dispatched;
    std::thread watchdog([&] {
        if (!dispatched.WaitFor(kWatchdogMs))
            CFuncDispatch::Instance().UnInit();
    });
    std::vector<int> order;
    for (int i = 0; i < 5; ++i)
        CFuncDispatch::Dispatch([&order, i] { order.push_back(i); });
    dispatched.Set();
    watchdog.join();
    ASSERT_TRUE(PumpUntil([&] { return order.size() == 5; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(hostSaw, posted);
    // Held back or not, later dispatches keep working.
    bool later = false;
    CFuncDispatch::Dispatch([&] { later = true; });
    EXPECT_TRUE(PumpUntil([&] { return later; }));
}

// Counts the copies of a callable's values destroyed on the window thread
// after the DispatchAndWait caller had already returned.
struct WaitCapture {
    DWORD windowThread;
    Event* returned;
    std::atomic<int>* lateReleases;
    WaitCapture(DWORD thread, Event* event, std::atomic<int>* late)
        : windowThread(thread), returned(event), lateReleases(late) {}
    WaitCapture(const WaitCapture&) = default;
    ~WaitCapture() {
        // A caller woken before this release would return meanwhile; give
        // it ample time to.
        if (GetCurrentThreadId() == windowThread && returned->WaitFor(1000))
            ++*lateReleases;
    }
};

TEST_F(DispatchFault, DispatchAndWaitReturnsOnlyAfterTheCallableIsReleased) {
    Event returned;
    std::atomic<int> lateReleases{0};
    std::atomic<bool> done{false};
    const DWORD windowThread = GetCurrentThreadId();
    std::thread worker([&] {
        CFuncDispatch::DispatchAndWait(
            [capture = WaitCapture(windowThread, &returned, &lateReleases)] {});
        returned.Set();
        done = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(lateReleases, 0);
}

TEST_F(DispatchFault, UnInitOnAnotherThreadStopsTheWindowsTimers) {
    std::vector<WPARAM> hostTimers;
    window.on_message = [&](UINT msg, WPARAM wParam, LPARAM) {
        if (msg == WM_TIMER)
            hostTimers.push_back(wParam);
    };
    int runs = 0;
    const long id = CFuncDispatch::StartTimer(
        1, [&] { ++runs; }, true);
    ASSERT_TRUE(PumpUntil([&] { return runs > 0; }));
    std::thread([] { CFuncDispatch::Instance().UnInit(); }).join();
    // A host timer of its own shows time passing; the dispatcher's must not
    // reach the host's procedure meanwhile.
    const UINT_PTR kHostTimer = 777;
    ASSERT_NE(::SetTimer(window.hwnd(), kHostTimer, 1, nullptr), 0u);
    ASSERT_TRUE(PumpUntil(
        [&] { return std::count(hostTimers.begin(), hostTimers.end(), kHostTimer) >= 5; }));
    ::KillTimer(window.hwnd(), kHostTimer);
    EXPECT_EQ(std::count(hostTimers.begin(), hostTimers.end(), static_cast<WPARAM>(id)), 0);
}

TEST_F(DispatchFault, PoolUnInitOnTheWindowThreadLetsWorkersDispatchAndWait) {
    // The window thread sits in the pool's UnInit, which pumps its messages,
    // while every worker waits for a callable to run there.
    const int kWorkers = 4;
    ASSERT_TRUE(CThreadPool::Instance().Init(kWorkers));
    std::atomic<int> finished{0};
    int ranOnWindow = 0;
    for (int i = 0; i < 3 * kWorkers; ++i) {
        CThreadPool::Execute([&] {
            CFuncDispatch::Dispatch([&] { ++ranOnWindow; });
            CFuncDispatch::DispatchAndWait([&] { ++ranOnWindow; });
            ++finished;
        });
    }
    CThreadPool::Instance().Stop();
    CThreadPool::Instance().UnInit();
    // Every worker ended by itself after its work: none was terminated.
    EXPECT_EQ(finished, 3 * kWorkers);
    EXPECT_EQ(CThreadPool::Instance().GetIdelThreadNum(), kWorkers);
    EXPECT_TRUE(PumpUntil([&] { return ranOnWindow == 6 * kWorkers; }));
}

}  // namespace
