// timer_test.cpp: window timers: WM_TIMER delivery to the owning thread with
// the timer id, priority after posted messages, coalescing, KillTimer,
// replacement, timer procedures and message waits on timers.
#include <algorithm>
#include <atomic>
#include <set>
#include <vector>

#include "tests/platform/conformance.h"

namespace {

using vxtest::Event;
using vxtest::kWaitMs;
using vxtest::TestThread;

std::vector<WPARAM> gTimerIds;  // WM_TIMER ids seen by the procedure

LRESULT CALLBACK TimerProcWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        gTimerIds.push_back(wParam);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

class TimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        gTimerIds.clear();
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = TimerProcWindow;
        wc.lpszClassName = L"VxTimerTest";
        ASSERT_NE(0, RegisterClassExW(&wc));
        window_ = NewWindow();
        ASSERT_NE(nullptr, window_);
    }
    void TearDown() override {
        if (IsWindow(window_))
            DestroyWindow(window_);
        UnregisterClassW(L"VxTimerTest", nullptr);
    }
    static HWND NewWindow() {
        return CreateWindowExW(0, L"VxTimerTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               nullptr, nullptr);
    }
    // Pumps for about `ms`, dispatching everything; returns WM_TIMER ids seen.
    static std::vector<WPARAM> PumpFor(DWORD ms) {
        gTimerIds.clear();
        const DWORD start = GetTickCount();
        for (DWORD elapsed = 0; elapsed < ms; elapsed = GetTickCount() - start) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
        }
        return gTimerIds;
    }
    // Pumps until the procedure saw `count` WM_TIMERs or the deadline passed.
    static bool PumpUntilTimers(size_t count) {
        const DWORD start = GetTickCount();
        while (gTimerIds.size() < count) {
            if (GetTickCount() - start > kWaitMs)
                return false;
            MSG msg;
            if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT) == WAIT_OBJECT_0) {
                while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                    DispatchMessageW(&msg);
            }
        }
        return true;
    }

    HWND window_ = nullptr;
};

TEST_F(TimerTest, RepeatsWithItsIdUntilKilled) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(7u, SetTimer(window_, 7, 15, nullptr));
    ASSERT_TRUE(PumpUntilTimers(3));
    for (WPARAM id : gTimerIds)
        EXPECT_EQ(7u, id);
    EXPECT_TRUE(KillTimer(window_, 7));
    // A WM_TIMER already taken out may have been dispatched; none comes later.
    PumpFor(10);
    EXPECT_TRUE(PumpFor(120).empty());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(KillTimer(window_, 7));
}

TEST_F(TimerTest, GetMessageDeliversTimersToTheWindow) {
    ASSERT_NE(0u, SetTimer(window_, 3, 10, nullptr));
    MSG msg{};
    ASSERT_EQ(TRUE, GetMessageW(&msg, nullptr, 0, 0));
    EXPECT_EQ(WM_TIMER, msg.message);
    EXPECT_EQ(window_, msg.hwnd);
    EXPECT_EQ(3u, msg.wParam);
    DispatchMessageW(&msg);
    ASSERT_EQ(1u, gTimerIds.size());
    KillTimer(window_, 3);
}

TEST_F(TimerTest, PostedMessagesComeFirstAndATimerIsNotQueuedTwice) {
    // Several intervals elapse while nobody looks; the interval is long
    // enough that the drain below never sees a second expiry, even on a
    // loaded machine.
    ASSERT_NE(0u, SetTimer(window_, 4, 250, nullptr));
    Sleep(800);
    for (WPARAM i = 0; i < 3; ++i)
        PostMessageW(window_, WM_USER, i, 0);
    std::vector<UINT> order;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        order.push_back(msg.message);
    EXPECT_EQ((std::vector<UINT>{WM_USER, WM_USER, WM_USER, WM_TIMER}), order);
    KillTimer(window_, 4);
}

TEST_F(TimerTest, ReplacingATimerRestartsIt) {
    ASSERT_NE(0u, SetTimer(window_, 5, 20, nullptr));
    ASSERT_NE(0u, SetTimer(window_, 5, 600000, nullptr));  // replaced: far away now
    EXPECT_TRUE(PumpFor(150).empty());
    ASSERT_NE(0u, SetTimer(window_, 5, 10, nullptr));  // and back to short
    EXPECT_TRUE(PumpUntilTimers(1));
    KillTimer(window_, 5);
}

TEST_F(TimerTest, OnlyTheOwningThreadSetsOrSeesTimersButAnyThreadKillsThem) {
    const HWND window = window_;
    UINT_PTR foreignSet = 1;
    BOOL foreignKill = FALSE;
    BOOL foreignKillUnknown = TRUE;
    std::atomic<bool> otherSawTimer{false};
    Event killed;
    Event stop;
    ASSERT_NE(0u, SetTimer(window_, 6, 10, nullptr));
    ASSERT_NE(0u, SetTimer(window_, 7, 10, nullptr));
    TestThread other([&] {
        SetLastError(0xdeadbeef);
        foreignSet = SetTimer(window, 9, 10, nullptr);
        // A timer of a window of this process stops from any of its threads.
        foreignKill = KillTimer(window, 6);
        foreignKillUnknown = KillTimer(window, 42);
        killed.Set();
        // This thread's queue never gets the window's WM_TIMER.
        HANDLE stopHandle = stop.get();
        while (MsgWaitForMultipleObjects(1, &stopHandle, FALSE, kWaitMs, QS_ALLINPUT) !=
               WAIT_OBJECT_0) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_TIMER)
                    otherSawTimer = true;
            }
        }
        return 0u;
    });
    ASSERT_TRUE(killed.WaitSet());
    gTimerIds.clear();
    ASSERT_TRUE(PumpUntilTimers(3));
    stop.Set();
    ASSERT_TRUE(other.Join());
    bool killedTimerSeen = false;
    bool foreignTimerSeen = false;
    for (WPARAM id : gTimerIds) {
        killedTimerSeen = killedTimerSeen || id == 6;
        foreignTimerSeen = foreignTimerSeen || id == 9;
    }
    EXPECT_TRUE(foreignKill);
    EXPECT_FALSE(foreignKillUnknown);
    EXPECT_FALSE(killedTimerSeen);
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine, foreignSet == 0 && !foreignTimerSeen,
                               "Wine accepts SetTimer for another thread's window");
    EXPECT_FALSE(otherSawTimer);  // WM_TIMER reaches the owning thread only
    KillTimer(window_, 7);
    KillTimer(window_, 9);
}

TEST_F(TimerTest, AmongManyTimersEachCallActsOnTheNamedTimerOnly) {
    HWND other = NewWindow();
    ASSERT_NE(nullptr, other);
    const UINT_PTR kCount = 300;
    for (UINT_PTR id = 1; id <= kCount; ++id) {
        ASSERT_EQ(id, SetTimer(window_, id, 600000, nullptr));
        ASSERT_EQ(id, SetTimer(other, id, 600000, nullptr));
    }
    // Same ids on two windows are two timers: each call names one of them.
    ASSERT_EQ(50u, SetTimer(window_, 50, 10, nullptr));
    ASSERT_EQ(60u, SetTimer(other, 60, 10, nullptr));
    EXPECT_TRUE(KillTimer(window_, 60));
    EXPECT_TRUE(KillTimer(other, 50));
    ASSERT_TRUE(PumpUntilTimers(2));
    std::set<WPARAM> seen(gTimerIds.begin(), gTimerIds.end());
    EXPECT_EQ((std::set<WPARAM>{50, 60}), seen);
    DestroyWindow(other);  // takes its remaining timers along
    for (UINT_PTR id = 1; id <= kCount; ++id) {
        SetLastError(0xdeadbeef);
        EXPECT_EQ(id != 60, KillTimer(window_, id) != FALSE) << id;
    }
    EXPECT_TRUE(PumpFor(60).empty());
}

TEST_F(TimerTest, TimersFallDueInTheOrderOfTheirDueTimes) {
    // Set latest first; repeats of the early ones are ignored, only the
    // first expiry of each counts.
    const UINT intervals[] = {200, 160, 120, 80, 40};
    for (UINT_PTR id = 1; id <= 5; ++id)
        ASSERT_EQ(id, SetTimer(window_, id, intervals[id - 1], nullptr));
    std::vector<WPARAM> firsts;
    const DWORD start = GetTickCount();
    while (firsts.size() < 5 && GetTickCount() - start < kWaitMs) {
        for (WPARAM id : PumpFor(20)) {
            if (std::find(firsts.begin(), firsts.end(), id) == firsts.end())
                firsts.push_back(id);
        }
    }
    EXPECT_EQ((std::vector<WPARAM>{5, 4, 3, 2, 1}), firsts);
    for (UINT_PTR id = 1; id <= 5; ++id)
        KillTimer(window_, id);
}

TEST_F(TimerTest, DestroyingTheWindowKillsItsTimers) {
    HWND doomed = NewWindow();
    ASSERT_NE(0u, SetTimer(doomed, 8, 10, nullptr));
    DestroyWindow(doomed);
    EXPECT_TRUE(PumpFor(100).empty());
}

std::vector<UINT_PTR> gProcIds;

VOID CALLBACK RecordTimerProc(HWND, UINT message, UINT_PTR id, DWORD) {
    if (message == WM_TIMER)
        gProcIds.push_back(id);
}

TEST_F(TimerTest, TimerProceduresRunFromDispatch) {
    gProcIds.clear();
    ASSERT_NE(0u, SetTimer(window_, 11, 10, RecordTimerProc));
    const UINT_PTR threadTimer = SetTimer(nullptr, 0, 10, RecordTimerProc);
    ASSERT_NE(0u, threadTimer);
    const DWORD start = GetTickCount();
    bool sawWindowTimer = false;
    bool sawThreadTimer = false;
    while (!(sawWindowTimer && sawThreadTimer) && GetTickCount() - start < kWaitMs) {
        MSG msg;
        if (GetMessageW(&msg, nullptr, 0, 0) <= 0)
            break;
        DispatchMessageW(&msg);
        for (UINT_PTR id : gProcIds) {
            sawWindowTimer = sawWindowTimer || id == 11;
            sawThreadTimer = sawThreadTimer || id == threadTimer;
        }
    }
    EXPECT_TRUE(sawWindowTimer);
    EXPECT_TRUE(sawThreadTimer);
    EXPECT_TRUE(gTimerIds.empty());  // the procedure, not the window, got them
    EXPECT_TRUE(KillTimer(window_, 11));
    EXPECT_TRUE(KillTimer(nullptr, threadTimer));
}

TEST_F(TimerTest, WaitAllWithATimerFallingDueMidWaitStillEnds) {
    // The timer falls due during each wait: it is input, but a wait for all
    // objects and input goes on until the objects are signalled too.
    ASSERT_NE(0u, SetTimer(window_, 13, 10, nullptr));
    Event never;
    HANDLE unsignalled = never.get();
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(1, &unsignalled, TRUE, 300, QS_ALLINPUT));
    // Already signalled: the timer's input completes the wait.
    ASSERT_NE(0u, SetTimer(window_, 13, 10, nullptr));
    Event ready(true, true);
    HANDLE signalled = ready.get();
    EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(1, &signalled, TRUE, kWaitMs, QS_ALLINPUT));
    // Signalled by another thread after the timer fell due.
    ASSERT_NE(0u, SetTimer(window_, 13, 10, nullptr));
    Event late;
    HANDLE lateHandle = late.get();
    Event due;
    TestThread setter([&] {
        // Outlasts the timer's interval many times over, then signals.
        WaitForSingleObject(due.get(), 200);
        late.Set();
        return 0u;
    });
    EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(1, &lateHandle, TRUE, kWaitMs, QS_ALLINPUT));
    KillTimer(window_, 13);
}

TEST_F(TimerTest, MsgWaitWakesForADueTimerOnlyWhenAsked) {
    ASSERT_NE(0u, SetTimer(window_, 12, 10, nullptr));
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, FALSE, 80, QS_POSTMESSAGE));
    EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(0, nullptr, FALSE, kWaitMs, QS_TIMER));
    KillTimer(window_, 12);
}

}  // namespace
