// Window-thread dispatcher: delivery, ordering, timers, lifecycle and faults.
#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "VexloTool/FuncDispatch.h"
#include "support/message_loop.h"

using VexloTool::CFuncDispatch;
using vxtest::PumpUntil;
using vxtest::TestWindow;

namespace {

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override { CFuncDispatch::Instance().Init(window.hwnd()); }
    void TearDown() override { CFuncDispatch::Instance().UnInit(); }

    TestWindow window;
};

// A shared token whose use count tells whether a callable's bound values
// are still held somewhere.
struct Token {
    std::shared_ptr<int> value = std::make_shared<int>(0);
    bool Released() const { return value.use_count() == 1; }
};

TEST_F(DispatchTest, RunsLaterOnWindowThread) {
    const DWORD windowThread = GetCurrentThreadId();
    std::atomic<DWORD> ranOn{0};
    std::thread worker([&] { CFuncDispatch::Dispatch([&] { ranOn = GetCurrentThreadId(); }); });
    ASSERT_TRUE(PumpUntil([&] { return ranOn != 0; }));
    worker.join();
    EXPECT_EQ(ranOn, windowThread);

    // Never inline, even when dispatched on the window's own thread.
    bool ran = false;
    CFuncDispatch::Dispatch([&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_TRUE(PumpUntil([&] { return ran; }));
}

TEST_F(DispatchTest, KeepsPerThreadOrderAcrossProducers) {
    const int kPerThread = 2000;
    std::vector<int> seen[2];
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerThread; ++i)
                CFuncDispatch::Dispatch([&, p, i] { seen[p].push_back(i); });
        });
    }
    ASSERT_TRUE(
        PumpUntil([&] { return seen[0].size() == kPerThread && seen[1].size() == kPerThread; }));
    for (auto& producer : producers)
        producer.join();
    for (const auto& list : seen)
        for (int i = 0; i < kPerThread; ++i)
            ASSERT_EQ(list[i], i);
}

TEST_F(DispatchTest, CallableMayDispatchAndRecycledCarrierRunsOnlyNewCallable) {
    std::vector<int> order;
    // More than the free pool holds, so carriers are recycled and reused.
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 60; ++i)
            CFuncDispatch::Dispatch([&, i] { order.push_back(i); });
        ASSERT_TRUE(PumpUntil([&] { return order.size() == 60; }));
        for (int i = 0; i < 60; ++i)
            ASSERT_EQ(order[i], i);
        order.clear();
    }
    bool nestedRan = false;
    CFuncDispatch::Dispatch([&] { CFuncDispatch::Dispatch([&] { nestedRan = true; }); });
    EXPECT_TRUE(PumpUntil([&] { return nestedRan; }));
    vxtest::PumpPending();
    EXPECT_TRUE(order.empty());
}

TEST_F(DispatchTest, ThrowingCallableDoesNotStopLaterOnes) {
    Token token;
    bool after = false;
    CFuncDispatch::Dispatch([held = token.value] { throw std::runtime_error("boom"); });
    CFuncDispatch::Dispatch([&] { after = true; });
    ASSERT_TRUE(PumpUntil([&] { return after; }));
    // The thrown-from carrier went back to the pool with its values released.
    CFuncDispatch::Dispatch([] {});
    vxtest::PumpPending();
    EXPECT_TRUE(token.Released());
}

TEST_F(DispatchTest, UnInitReleasesQueuedCallablesWithoutRunningThem) {
    Token token;
    bool ran = false;
    for (int i = 0; i < 100; ++i)
        CFuncDispatch::Dispatch([&ran, held = token.value] { ran = true; });
    CFuncDispatch::Instance().UnInit();
    vxtest::PumpPending();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(token.Released());
}

TEST_F(DispatchTest, UnInitRacingOtherThreadsDispatchesLeavesNoCallableBehind) {
    // Posts made while the window thread stops the dispatcher either land
    // before it drains the queue or are dropped: none may reach the host's
    // procedure with its callable still held. A callable stops it, so the
    // producers are still posting.
    Token token;
    std::atomic<int> ran{0};
    std::atomic<bool> stopped{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p) {
        producers.emplace_back([&] {
            while (!stopped) {
                CFuncDispatch::Dispatch([&ran, &stopped, held = token.value] {
                    if (++ran == 1000) {
                        CFuncDispatch::Instance().UnInit();
                        stopped = true;
                    }
                });
            }
        });
    }
    EXPECT_TRUE(PumpUntil([&] { return stopped.load(); }));
    stopped = true;
    for (std::thread& producer : producers)
        producer.join();
    vxtest::PumpPending();
    EXPECT_TRUE(token.Released()) << token.value.use_count() - 1 << " callables held";
}

TEST_F(DispatchTest, DispatchAfterUnInitIsDroppedAndReleased) {
    CFuncDispatch::Instance().UnInit();
    Token token;
    bool ran = false;
    CFuncDispatch::Dispatch([&ran, held = token.value] { ran = true; });
    vxtest::PumpPending();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(token.Released());
}

TEST_F(DispatchTest, ReInitWorksAndRestoresHostProcedureInBetween) {
    std::vector<UINT> hostSaw;
    window.on_message = [&](UINT msg, WPARAM, LPARAM) { hostSaw.push_back(msg); };
    CFuncDispatch::Instance().UnInit();
    PostMessageW(window.hwnd(), WM_USER + 7, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !hostSaw.empty(); }));
    EXPECT_EQ(hostSaw.back(), static_cast<UINT>(WM_USER + 7));

    CFuncDispatch::Instance().Init(window.hwnd());
    bool ran = false;
    CFuncDispatch::Dispatch([&] { ran = true; });
    EXPECT_TRUE(PumpUntil([&] { return ran; }));
    // Other messages still reach the host's procedure while subclassed.
    PostMessageW(window.hwnd(), WM_USER + 8, 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return hostSaw.back() == static_cast<UINT>(WM_USER + 8); }));
}

TEST_F(DispatchTest, DestroyedWindowDropsDispatchesWithoutBlocking) {
    Token queued;
    CFuncDispatch::Dispatch([held = queued.value] {});
    window.Destroy();
    EXPECT_TRUE(queued.Released());
    Token late;
    bool ran = false;
    std::thread worker([&] { CFuncDispatch::Dispatch([&ran, held = late.value] { ran = true; }); });
    worker.join();  // must not block
    vxtest::PumpPending();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(late.Released());
}

TEST(DispatchNoInit, NullWindowLeavesDispatcherUninitialised) {
    CFuncDispatch::Instance().Init(nullptr);
    Token token;
    bool ran = false;
    CFuncDispatch::Dispatch([&ran, held = token.value] { ran = true; });
    vxtest::PumpPending();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(token.Released());
    CFuncDispatch::Instance().UnInit();
}

TEST_F(DispatchTest, DispatchAndWaitRunsOnWindowThreadBeforeReturning) {
    const DWORD windowThread = GetCurrentThreadId();
    std::atomic<DWORD> ranOn{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        CFuncDispatch::DispatchAndWait([&] { ranOn = GetCurrentThreadId(); });
        EXPECT_EQ(ranOn, windowThread);
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }));
    worker.join();

    // On the window thread it runs inline.
    bool inlineRan = false;
    CFuncDispatch::DispatchAndWait([&] { inlineRan = true; });
    EXPECT_TRUE(inlineRan);
}

TEST_F(DispatchTest, DispatchAndWaitReturnsWhenDispatcherStops) {
    std::atomic<bool> done{false};
    bool ran = false;
    std::thread worker([&] {
        CFuncDispatch::DispatchAndWait([&] { ran = true; });
        done = true;
    });
    // Wait for the worker's message to be queued, without dispatching it.
    MSG msg;
    ASSERT_TRUE(vxtest::WaitUntil(
        [&] { return PeekMessageW(&msg, window.hwnd(), 0xFFFF, 0xFFFF, PM_NOREMOVE) != 0; }));
    CFuncDispatch::Instance().UnInit();
    worker.join();
    EXPECT_TRUE(done);
    EXPECT_FALSE(ran);

    bool uninitRan = false;
    CFuncDispatch::DispatchAndWait([&] { uninitRan = true; });
    EXPECT_FALSE(uninitRan);
}

class TimerTest : public DispatchTest {};

TEST_F(TimerTest, IdsStartAtOneAfterEachInit) {
    EXPECT_EQ(CFuncDispatch::StartTimer(
                  10000, [] {}, true),
              1);
    EXPECT_EQ(CFuncDispatch::StartTimer(
                  10000, [] {}, false),
              2);
    EXPECT_EQ(CFuncDispatch::StartTimer(
                  10000, [] {}, true),
              3);

    // A timer that cannot start still takes an id; its callable is released.
    CFuncDispatch::Instance().UnInit();
    Token token;
    EXPECT_EQ(CFuncDispatch::StartTimer(
                  1, [held = token.value] {}, true),
              4);
    EXPECT_TRUE(token.Released());

    CFuncDispatch::Instance().Init(window.hwnd());
    EXPECT_EQ(CFuncDispatch::StartTimer(
                  10000, [] {}, true),
              1);
}

TEST_F(TimerTest, OneShotRunsOnceAndStaysRegisteredUntilStopped) {
    Token token;
    int runs = 0;
    long id = CFuncDispatch::StartTimer(
        5, [&runs, held = token.value] { ++runs; }, false);
    ASSERT_TRUE(PumpUntil([&] { return runs == 1; }));
    // Another timer that runs several times proves time has passed.
    int ticks = 0;
    long other = CFuncDispatch::StartTimer(
        5, [&] { ++ticks; }, true);
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 3; }));
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(token.Released());
    CFuncDispatch::StopTimer(id);
    EXPECT_TRUE(token.Released());
    CFuncDispatch::StopTimer(other);
}

TEST_F(TimerTest, RepeatingRunsUntilStoppedEvenFromItsOwnCallable) {
    int runs = 0;
    long id = 0;
    id = CFuncDispatch::StartTimer(
        1,
        [&] {
            if (++runs == 3)
                CFuncDispatch::StopTimer(id);
        },
        true);
    ASSERT_TRUE(PumpUntil([&] { return runs == 3; }));
    // Further ticks would need the stopped timer; prove none arrive while a
    // second timer runs several times.
    int ticks = 0;
    long other = CFuncDispatch::StartTimer(
        2, [&] { ++ticks; }, true);
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 5; }));
    EXPECT_EQ(runs, 3);
    CFuncDispatch::StopTimer(other);
    CFuncDispatch::StopTimer(other);  // twice: nothing happens
    CFuncDispatch::StopTimer(12345);  // unknown id: nothing happens
}

TEST_F(TimerTest, ForeignTimerIdReachesHostProcedure) {
    std::vector<WPARAM> hostTimers;
    window.on_message = [&](UINT msg, WPARAM wParam, LPARAM) {
        if (msg == WM_TIMER)
            hostTimers.push_back(wParam);
    };
    ASSERT_NE(::SetTimer(window.hwnd(), 777, 1, nullptr), 0u);
    ASSERT_TRUE(PumpUntil([&] { return !hostTimers.empty(); }));
    ::KillTimer(window.hwnd(), 777);
    EXPECT_EQ(hostTimers.front(), 777u);
}

TEST_F(TimerTest, UnInitStopsTimersAndReleasesTheirCallables) {
    Token token;
    int runs = 0;
    CFuncDispatch::StartTimer(
        1, [&runs, held = token.value] { ++runs; }, true);
    ASSERT_TRUE(PumpUntil([&] { return runs > 0; }));
    CFuncDispatch::Instance().UnInit();
    EXPECT_TRUE(token.Released());
    const int before = runs;
    // A new dispatcher timer with the same id must not revive the old one.
    CFuncDispatch::Instance().Init(window.hwnd());
    int ticks = 0;
    long id = CFuncDispatch::StartTimer(
        2, [&] { ++ticks; }, true);
    EXPECT_EQ(id, 1);
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 3; }));
    EXPECT_EQ(runs, before);
}

TEST_F(TimerTest, ThrowingTimerCallableKeepsTimerAlive) {
    int runs = 0;
    long id = CFuncDispatch::StartTimer(
        1,
        [&] {
            ++runs;
            throw std::runtime_error("tick");
        },
        true);
    EXPECT_TRUE(PumpUntil([&] { return runs >= 3; }));
    CFuncDispatch::StopTimer(id);
}

}  // namespace
