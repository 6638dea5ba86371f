// synch_test.cpp: events, critical sections, interlocked operations,
// sleeps and tick counts.
#include <atomic>
#include <memory>
#include <vector>

#include "tests/platform/conformance.h"

namespace {

using vxtest::Event;
using vxtest::kWaitMs;
using vxtest::TestThread;

TEST(Event, InitialStateAndResetKind) {
    struct Case {
        BOOL manual;
        BOOL initial;
        DWORD first;   // WaitForSingleObject(e, 0)
        DWORD second;  // and again
    };
    const Case table[] = {
        {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},  // consumed by the first wait
        {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const Case& c : table) {
        SetLastError(0xdeadbeef);
        HANDLE event = CreateEventW(nullptr, c.manual, c.initial, nullptr);
        ASSERT_NE(nullptr, event);
        EXPECT_EQ(ERROR_SUCCESS, GetLastError());
        EXPECT_EQ(c.first, WaitForSingleObject(event, 0)) << c.manual << c.initial;
        EXPECT_EQ(c.second, WaitForSingleObject(event, 0)) << c.manual << c.initial;
        EXPECT_TRUE(SetEvent(event));
        EXPECT_TRUE(SetEvent(event));  // setting twice is allowed
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
        EXPECT_TRUE(ResetEvent(event));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
        EXPECT_TRUE(CloseHandle(event));
    }
}

DWORD WINAPI ReturnZero(LPVOID) {
    return 0;
}

TEST(Event, WrongHandlesFail) {
    Event event;
    HANDLE thread = CreateThread(nullptr, 0, ReturnZero, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetEvent(thread));  // not an event
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    WaitForSingleObject(thread, kWaitMs);
    CloseHandle(thread);
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(closed);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetEvent(closed));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ResetEvent(closed));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

TEST(Event, NamedEventsAreShared) {
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, L"vx-conformance-named-event");
    SetLastError(0xdeadbeef);
    HANDLE second = CreateEventW(nullptr, TRUE, FALSE, L"vx-conformance-named-event");
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    SetEvent(first);
    const bool shared = WaitForSingleObject(second, 0) == WAIT_OBJECT_0;
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::LinuxLayer, existed && shared,
                               "event names are ignored");
    CloseHandle(first);
    CloseHandle(second);
}

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
    Event event(false, false);
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (WaitForSingleObject(event.get(), kWaitMs) == WAIT_OBJECT_0)
            ++released;
        return 0u;
    };
    TestThread a(waiter);
    TestThread b(waiter);
    event.Set();
    ASSERT_TRUE(vxtest::WaitUntil([&] { return released.load() == 1; }));
    Sleep(50);
    EXPECT_EQ(1, released.load());
    event.Set();
    ASSERT_TRUE(a.Join());
    ASSERT_TRUE(b.Join());
    EXPECT_EQ(2, released.load());
    EXPECT_FALSE(event.IsSet());
}

TEST(Event, ManualResetReleasesEveryWaiter) {
    Event event(true, false);
    std::atomic<int> released{0};
    std::vector<std::unique_ptr<TestThread>> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back(new TestThread([&] {
            if (WaitForSingleObject(event.get(), kWaitMs) == WAIT_OBJECT_0)
                ++released;
            return 0u;
        }));
    }
    event.Set();
    for (auto& thread : threads)
        ASSERT_TRUE(thread->Join());
    EXPECT_EQ(4, released.load());
    EXPECT_TRUE(event.IsSet());
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    BOOL otherGot = TRUE;
    {
        TestThread other([&] {
            otherGot = TryEnterCriticalSection(&section);
            return 0u;
        });
        ASSERT_TRUE(other.Join());
    }
    EXPECT_FALSE(otherGot);
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    {
        TestThread other([&] {
            otherGot = TryEnterCriticalSection(&section);
            if (otherGot)
                LeaveCriticalSection(&section);
            return 0u;
        });
        ASSERT_TRUE(other.Join());
    }
    EXPECT_TRUE(otherGot);
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, SerialisesConcurrentUpdates) {
    CRITICAL_SECTION section;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 4000));
    long counter = 0;  // plain, guarded by the section
    {
        std::vector<std::unique_ptr<TestThread>> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back(new TestThread([&] {
                for (int i = 0; i < 20000; ++i) {
                    EnterCriticalSection(&section);
                    ++counter;
                    LeaveCriticalSection(&section);
                }
                return 0u;
            }));
        }
    }
    EXPECT_EQ(80000, counter);
    DeleteCriticalSection(&section);
}

TEST(Interlocked, ReturnValues) {
    LONG volatile value = 5;
    EXPECT_EQ(6, InterlockedIncrement(&value));
    EXPECT_EQ(5, InterlockedDecrement(&value));
    EXPECT_EQ(5, InterlockedExchange(&value, -3));
    EXPECT_EQ(-3, value);
    struct Case {
        LONG initial, exchange, comparand, returned, after;
    };
    const Case table[] = {
        {1, 2, 1, 1, 2},  // matches: swapped
        {1, 2, 3, 1, 1},  // differs: unchanged
        {0, -1, 0, 0, -1},
        {0x7fffffff, 0, 0x7fffffff, 0x7fffffff, 0},
    };
    for (const Case& c : table) {
        value = c.initial;
        EXPECT_EQ(c.returned, InterlockedCompareExchange(&value, c.exchange, c.comparand));
        EXPECT_EQ(c.after, value);
    }
    value = 0x7fffffff;
    EXPECT_EQ(static_cast<LONG>(0x80000000u), InterlockedIncrement(&value));  // wraps
}

TEST(Interlocked, CountsExactlyUnderContention) {
    LONG volatile counter = 0;
    {
        std::vector<std::unique_ptr<TestThread>> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back(new TestThread([&] {
                for (int i = 0; i < 50000; ++i) {
                    InterlockedIncrement(&counter);
                    InterlockedIncrement(&counter);
                    InterlockedDecrement(&counter);
                }
                return 0u;
            }));
        }
    }
    EXPECT_EQ(200000, counter);
}

TEST(Time, TickCountsAdvanceWithSleep) {
    const DWORD before = GetTickCount();
    const ULONGLONG before64 = GetTickCount64();
    EXPECT_LE(static_cast<DWORD>(before64) - before, 100u);  // the same clock
    Sleep(60);
    const DWORD elapsed = GetTickCount() - before;
    EXPECT_GE(elapsed, 40u);  // Sleep sleeps at least about as long as asked
    EXPECT_GE(GetTickCount64(), before64 + 40);
    EXPECT_EQ(0u, SleepEx(0, TRUE));
    EXPECT_EQ(0u, SleepEx(5, TRUE));  // no APC queued: never WAIT_IO_COMPLETION
    Sleep(0);
}

}  // namespace
