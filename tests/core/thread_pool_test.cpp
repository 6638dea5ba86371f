// Thread pool: workers, ordering, draining on Stop, refusal, faults.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <string>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "VexloTool/ThreadPool.h"
#include "support/wait.h"

using VexloTool::CThreadPool;
using vxtest::WaitUntil;

namespace {

CThreadPool& Pool() {
    return CThreadPool::Instance();
}

struct Token {
    std::shared_ptr<int> value = std::make_shared<int>(0);
    bool Released() const { return value.use_count() == 1; }
};

// A gate the test opens to let blocked work finish.
struct Gate {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Gate() { CloseHandle(event); }
    void Open() { SetEvent(event); }
    void Wait() { WaitForSingleObject(event, INFINITE); }
};

void StopAndUnInit() {
    Pool().Stop();
    Pool().UnInit();
}

TEST(ThreadPool, DefaultCountFollowsProcessorCount) {
    SYSTEM_INFO info = {};
    GetSystemInfo(&info);
    const long expected = std::max<long>(8, 2 * static_cast<long>(info.dwNumberOfProcessors) + 2);
    Pool().Init(0);
    EXPECT_TRUE(WaitUntil([&] { return Pool().GetIdelThreadNum() == expected; }));
    StopAndUnInit();
}

TEST(ThreadPool, RunsWorkOnNamedDistinctWorkers) {
    ASSERT_TRUE(Pool().Init(3));
    ASSERT_TRUE(WaitUntil([] { return Pool().GetIdelThreadNum() == 3; }));
    Gate gate;
    std::mutex mutex;
    std::set<DWORD> threads;
    const DWORD caller = GetCurrentThreadId();
    for (int i = 0; i < 3; ++i) {
        CThreadPool::Execute([&] {
            {
                std::lock_guard<std::mutex> lock(mutex);
                threads.insert(GetCurrentThreadId());
            }
            gate.Wait();
        });
    }
    // All three block at once, so each runs on its own worker.
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return threads.size() == 3;
    }));
    EXPECT_EQ(threads.count(caller), 0u);
    gate.Open();
    StopAndUnInit();
}

// The calling thread's name as the system shows it, where it can be read.
std::string CurrentThreadName() {
    std::ifstream comm("/proc/thread-self/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

TEST(ThreadPool, WorkersAreNamedThdPool) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows keeps the name for debuggers; it is read back on Linux";
#endif
    ASSERT_TRUE(Pool().Init(2));
    std::mutex mutex;
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) {
        CThreadPool::Execute([&] {
            std::lock_guard<std::mutex> lock(mutex);
            names.push_back(CurrentThreadName());
        });
    }
    StopAndUnInit();
    ASSERT_EQ(names.size(), 20u);
    for (const std::string& name : names)
        EXPECT_EQ(name, "thdPool");
}

TEST(ThreadPool, SecondInitAfterOneWithoutWorkersChangesNothing) {
    Pool().Init(-1);
    Pool().Init(2);  // must neither replace the events nor start workers
    Token token;
    bool ran = false;
    CThreadPool::Execute([&ran, held = token.value] { ran = true; });
    StopAndUnInit();  // with workers, Stop would let them drain the queue
    EXPECT_FALSE(ran);
    EXPECT_TRUE(token.Released());
    // After UnInit a new Init starts workers again.
    Pool().Init(1);
    std::atomic<bool> later{false};
    CThreadPool::Execute([&] { later = true; });
    EXPECT_TRUE(WaitUntil([&] { return later.load(); }));
    StopAndUnInit();
}

TEST(ThreadPool, WorkerGivenUpWhileBusyDoesNotCountInTheNextPool) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows ends a terminated thread at once, busy or not";
#endif
    // On Linux a worker busy outside the platform layer cannot be stopped:
    // it finishes its callable after UnInit has given up on it.
    static std::atomic<bool> workerEnded{false};
    struct EndOfThread {
        ~EndOfThread() { workerEnded = true; }
    };
    std::mutex mutex;
    std::condition_variable wake;
    bool release = false;
    std::atomic<bool> started{false};
    Pool().Init(1);
    CThreadPool::Execute([&] {
        thread_local EndOfThread marker;
        (void)marker;
        started = true;
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [&] { return release; });
    });
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    Pool().UnInit();  // gives up on the busy worker after the bound
    Pool().Init(2);
    ASSERT_TRUE(WaitUntil([] { return Pool().GetIdelThreadNum() == 2; }));
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    wake.notify_all();
    ASSERT_TRUE(WaitUntil([] { return workerEnded.load(); }));
    EXPECT_EQ(Pool().GetIdelThreadNum(), 2);
    StopAndUnInit();
}

TEST(ThreadPool, SingleWorkerRunsInQueueOrder) {
    Pool().Init(1);
    std::vector<int> order;
    for (int i = 0; i < 500; ++i)
        CThreadPool::Execute([&order, i] { order.push_back(i); });
    StopAndUnInit();  // Stop drains the queue before the worker ends
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(order[i], i);
}

TEST(ThreadPool, StopDrainsQueuedWorkAndRefusesNewWork) {
    Pool().Init(2);
    std::atomic<int> ran{0};
    Gate gate;
    CThreadPool::Execute([&] { gate.Wait(); });
    for (int i = 0; i < 1000; ++i)
        CThreadPool::Execute([&] { ++ran; });
    Pool().Stop();
    Token refused;
    bool refusedRan = false;
    CThreadPool::Execute([&refusedRan, held = refused.value] { refusedRan = true; });
    EXPECT_TRUE(refused.Released());
    gate.Open();
    Pool().UnInit();
    EXPECT_EQ(ran, 1000);
    EXPECT_FALSE(refusedRan);
    // Every worker that ended through the stop event still counts as idle.
    EXPECT_EQ(Pool().GetIdelThreadNum(), 2);
    // Work stays refused after UnInit.
    Token afterUnInit;
    CThreadPool::Execute([held = afterUnInit.value] {});
    EXPECT_TRUE(afterUnInit.Released());
}

TEST(ThreadPool, ValuesOfRunWorkAreReleasedBeforeTheNextCallableRuns) {
    // A busy worker goes straight from one callable to the next and keeps
    // finished carriers for reuse: neither may hold on to captured values.
    Pool().Init(1);
    Gate start, finish;
    Token first, second;
    std::atomic<int> releasedSeen{0};
    CThreadPool::Execute([&] { start.Wait(); });
    CThreadPool::Execute([held = first.value] {});
    CThreadPool::Execute([held = second.value] {});
    CThreadPool::Execute([&] {
        releasedSeen = (first.Released() ? 1 : 0) + (second.Released() ? 1 : 0);
        finish.Wait();
    });
    start.Open();
    EXPECT_TRUE(WaitUntil([&] { return releasedSeen != 0; }));
    EXPECT_EQ(releasedSeen, 2);
    finish.Open();
    StopAndUnInit();
}

TEST(ThreadPool, ThrowingWorkEndsOnlyItsWorker) {
    Pool().Init(2);
    ASSERT_TRUE(WaitUntil([] { return Pool().GetIdelThreadNum() == 2; }));
    Token thrower;
    CThreadPool::Execute([held = thrower.value] { throw std::runtime_error("boom"); });
    EXPECT_TRUE(WaitUntil([&] { return thrower.Released(); }));
    std::atomic<int> ran{0};
    for (int i = 0; i < 100; ++i)
        CThreadPool::Execute([&] { ++ran; });
    EXPECT_TRUE(WaitUntil([&] { return ran == 100; }));
    EXPECT_TRUE(WaitUntil([] { return Pool().GetIdelThreadNum() == 1; }));
    StopAndUnInit();
}

TEST(ThreadPool, WorkMayQueueMoreWork) {
    Pool().Init(2);
    std::atomic<int> depth{0};
    std::function<void()> step = [&] {
        if (++depth < 50)
            CThreadPool::Execute(step);
    };
    CThreadPool::Execute(step);
    EXPECT_TRUE(WaitUntil([&] { return depth == 50; }));
    StopAndUnInit();
}

TEST(ThreadPool, HundredThousandQueuedAtOnceAllRun) {
    Pool().Init(4);
    std::atomic<int> ran{0};
    for (int i = 0; i < 100000; ++i)
        CThreadPool::Execute([&] { ++ran; });
    EXPECT_TRUE(WaitUntil([&] { return ran == 100000; }));
    StopAndUnInit();
}

TEST(ThreadPool, EveryWorkerJoinsWhenQueuedWorkNeedsThemAll) {
    // Each callable waits until all of them run at once: one wake-up per
    // burst must still bring in every sleeping worker.
    const int kWorkers = 4;
    Pool().Init(kWorkers);
    ASSERT_TRUE(WaitUntil([&] { return Pool().GetIdelThreadNum() == kWorkers; }));
    std::atomic<int> arrived{0};
    std::atomic<int> metAll{0};
    for (int i = 0; i < kWorkers; ++i) {
        CThreadPool::Execute([&] {
            ++arrived;
            if (WaitUntil([&] { return arrived == kWorkers; }))
                ++metAll;
        });
    }
    EXPECT_TRUE(WaitUntil([&] { return metAll == kWorkers; }));
    StopAndUnInit();
}

TEST(ThreadPool, BurstsQueuedWhileWorkersSleepAllRun) {
    struct Case {
        int workers;
        int producers;
    };
    const Case cases[] = {{1, 1}, {2, 3}, {8, 1}, {8, 3}};
    const int kRounds = 20;
    const int kBurst = 50;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.workers << " workers, " << c.producers << " producers");
        Pool().Init(c.workers);
        std::atomic<int> ran{0};
        for (int round = 1; round <= kRounds; ++round) {
            // Every worker asleep again before the next burst.
            ASSERT_TRUE(WaitUntil([&] { return Pool().GetIdelThreadNum() == c.workers; }));
            std::vector<std::thread> producers;
            for (int p = 0; p < c.producers; ++p) {
                producers.emplace_back([&] {
                    for (int i = 0; i < kBurst; ++i)
                        CThreadPool::Execute([&] { ++ran; });
                });
            }
            for (std::thread& producer : producers)
                producer.join();
            ASSERT_TRUE(WaitUntil([&] { return ran == round * c.producers * kBurst; }));
        }
        StopAndUnInit();
    }
}

TEST(ThreadPool, NegativeCountStartsNoWorkerAndUnInitReleasesQueue) {
    Pool().Init(-3);
    Token token;
    bool ran = false;
    CThreadPool::Execute([&ran, held = token.value] { ran = true; });
    EXPECT_EQ(Pool().GetIdelThreadNum(), 0);
    StopAndUnInit();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(token.Released());
}

TEST(ThreadPool, WorkQueuedBeforeInitRunsAfterIt) {
    std::atomic<bool> ran{false};
    CThreadPool::Execute([&] { ran = true; });
    Pool().Init(1);
    EXPECT_TRUE(WaitUntil([&] { return ran.load(); }));
    StopAndUnInit();
}

TEST(ThreadPool, UnInitWithoutStopTerminatesWorkersWithinTheBound) {
    Pool().Init(1);
    ASSERT_TRUE(WaitUntil([] { return Pool().GetIdelThreadNum() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    Pool().UnInit();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(elapsed, 2.5);
    EXPECT_LT(elapsed, 15.0);
    // A new Init starts a fresh set of workers that take work at once.
    Pool().Init(2);
    std::atomic<bool> ran{false};
    CThreadPool::Execute([&] { ran = true; });
    EXPECT_TRUE(WaitUntil([&] { return ran.load(); }));
    StopAndUnInit();
}

}  // namespace
