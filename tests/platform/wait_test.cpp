// wait_test.cpp: WaitForSingleObject and WaitForMultipleObjects: results,
// wait-any order, wait-all, consumption of auto-reset events, bad handles.
#include <atomic>
#include <memory>
#include <vector>

#include "tests/platform/conformance.h"

namespace {

using vxtest::Event;
using vxtest::kWaitMs;
using vxtest::TestThread;

std::vector<HANDLE> Handles(const std::vector<std::unique_ptr<Event>>& events) {
    std::vector<HANDLE> handles;
    for (const auto& event : events)
        handles.push_back(event->get());
    return handles;
}

std::vector<std::unique_ptr<Event>> MakeEvents(size_t count, bool manual) {
    std::vector<std::unique_ptr<Event>> events;
    for (size_t i = 0; i < count; ++i)
        events.emplace_back(new Event(manual, false));
    return events;
}

TEST(Wait, TimesOutOnUnsignalledObjects) {
    Event event;
    for (DWORD ms : {0u, 1u, 30u}) {
        SetLastError(0xdeadbeef);
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), ms));
        EXPECT_EQ(0xdeadbeefu, GetLastError());  // a time-out is not an error
    }
    HANDLE two[] = {event.get(), event.get()};
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, two, FALSE, 10));
}

TEST(Wait, AnyReportsTheLowestSignalledIndex) {
    struct Case {
        std::vector<int> signalled;
        DWORD expected;
    };
    const Case table[] = {
        {{0}, WAIT_OBJECT_0},        {{3}, WAIT_OBJECT_0 + 3},      {{2, 3}, WAIT_OBJECT_0 + 2},
        {{3, 1}, WAIT_OBJECT_0 + 1}, {{0, 1, 2, 3}, WAIT_OBJECT_0}, {{}, WAIT_TIMEOUT},
    };
    for (bool manual : {true, false}) {
        for (const Case& c : table) {
            auto events = MakeEvents(4, manual);
            for (int i : c.signalled)
                events[i]->Set();
            const auto handles = Handles(events);
            EXPECT_EQ(c.expected, WaitForMultipleObjects(4, handles.data(), FALSE, 0));
            // Only the reported auto-reset event was consumed.
            for (int i : c.signalled) {
                const bool reported = WAIT_OBJECT_0 + i == c.expected;
                EXPECT_EQ(manual || !reported, events[i]->IsSet()) << i;
            }
        }
    }
}

TEST(Wait, AllNeedsEveryObjectAndConsumesOnlyWhenSatisfied) {
    auto events = MakeEvents(3, false);
    const auto handles = Handles(events);
    events[0]->Set();
    events[2]->Set();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(3, handles.data(), TRUE, 20));
    // The unsatisfied wait consumed nothing.
    EXPECT_TRUE(events[0]->IsSet());
    EXPECT_TRUE(events[2]->IsSet());
    for (auto& event : events)
        event->Set();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, handles.data(), TRUE, 0));
    for (auto& event : events)
        EXPECT_FALSE(event->IsSet());
}

TEST(Wait, AllWakesWhenTheLastObjectIsSignalledLater) {
    auto events = MakeEvents(2, false);
    const auto handles = Handles(events);
    events[0]->Set();
    DWORD result = 0;
    TestThread waiter([&] {
        result = WaitForMultipleObjects(2, handles.data(), TRUE, kWaitMs);
        return 0u;
    });
    Sleep(20);
    events[1]->Set();
    ASSERT_TRUE(waiter.Join());
    EXPECT_EQ(WAIT_OBJECT_0, result);
    EXPECT_FALSE(events[0]->IsSet());
    EXPECT_FALSE(events[1]->IsSet());
}

TEST(Wait, AnAutoResetEventWakesOnlyOneOfTwoWaitAnyWaiters) {
    Event shared(false, false);
    Event other(true, false);
    std::atomic<int> woken{0};
    auto waiter = [&] {
        HANDLE handles[] = {other.get(), shared.get()};
        const DWORD r = WaitForMultipleObjects(2, handles, FALSE, kWaitMs);
        if (r == WAIT_OBJECT_0 + 1)
            ++woken;
        return r;
    };
    TestThread a(waiter);
    TestThread b(waiter);
    Sleep(20);
    shared.Set();
    ASSERT_TRUE(vxtest::WaitUntil([&] { return woken.load() == 1; }));
    Sleep(30);
    EXPECT_EQ(1, woken.load());
    other.Set();  // releases the remaining waiter
}

TEST(Wait, SixtyFourObjectsAreTheLimit) {
    auto events = MakeEvents(MAXIMUM_WAIT_OBJECTS + 1, true);
    const auto handles = Handles(events);
    events[MAXIMUM_WAIT_OBJECTS - 1]->Set();
    EXPECT_EQ(WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS - 1,
              WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), FALSE, 0));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WAIT_FAILED,
              WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, handles.data(), FALSE, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(Wait, BadHandlesFail) {
    Event good(true, true);
    HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    CloseHandle(closed);
    const HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff0bad0));
    for (HANDLE bad : {HANDLE(nullptr), closed, bogus}) {
        SetLastError(0xdeadbeef);
        EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(bad, 0));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        // A bad handle fails the wait even when another object is signalled.
        HANDLE mixed[] = {good.get(), bad};
        SetLastError(0xdeadbeef);
        EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, mixed, FALSE, 0));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    }
}

TEST(Wait, ThreadHandlesAreSignalledWhenTheThreadEnds) {
    Event release;
    TestThread thread([&] {
        release.WaitSet();
        return 0u;
    });
    Event never;
    HANDLE handles[] = {never.get(), thread.handle()};
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, handles, FALSE, 10));
    release.Set();
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, handles, FALSE, kWaitMs));
    // A thread handle stays signalled: waiting does not consume it.
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, handles, FALSE, 0));
}

TEST(Wait, ASetFromAnotherThreadWakesABlockedWait) {
    Event event(false, false);
    TestThread setter([&] {
        Sleep(20);
        event.Set();
        return 0u;
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), kWaitMs));
}

TEST(Wait, ATimedWaitEndsNearItsTimeout) {
    Event event;
    const DWORD start = GetTickCount();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 100));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 80u);
    EXPECT_LT(elapsed, 5000u);
}

}  // namespace
