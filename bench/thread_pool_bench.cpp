// Thread pool throughput of tiny tasks, side by side with
// boost::asio::thread_pool of the same size, and the caller's cost of one
// Execute call.

// Boost.Asio brings the system socket headers.
#define VXP_NO_WINSOCK
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include "VexloTool/ThreadPool.h"
#include "bench/pool_submit_cost.h"
#include "vxplatform.h"

using VexloTool::CThreadPool;
using Clock = std::chrono::steady_clock;

namespace {

const int kTasks = 1000000;
// Windowed runs keep at most this many tasks queued, so the carriers' memory
// stays warm instead of growing to a million live carriers.
const int kWindow = 4096;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Tasks/s from the first Execute until the last task has run.
// Waits until no more than `window` of the `queued` tasks are still pending.
void Throttle(const std::atomic<int>& ran, int queued, int window) {
    while (queued - ran.load(std::memory_order_relaxed) > window)
        Sleep(0);
}

double OursRate(int workers, int window) {
    CThreadPool::Instance().Init(workers);
    std::atomic<int> ran{0};
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const auto start = Clock::now();
    for (int i = 0; i < kTasks; ++i) {
        CThreadPool::Execute([&] {
            if (ran.fetch_add(1, std::memory_order_relaxed) + 1 == kTasks)
                SetEvent(done);
        });
        if (window)
            Throttle(ran, i + 1, window);
    }
    WaitForSingleObject(done, INFINITE);
    const double rate = kTasks / Seconds(Clock::now() - start);
    CThreadPool::Instance().Stop();
    CThreadPool::Instance().UnInit();
    CloseHandle(done);
    return rate;
}

double AsioRate(int workers, int window) {
    boost::asio::thread_pool pool(workers);
    std::atomic<int> ran{0};
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const auto start = Clock::now();
    for (int i = 0; i < kTasks; ++i) {
        boost::asio::post(pool, [&] {
            if (ran.fetch_add(1, std::memory_order_relaxed) + 1 == kTasks)
                SetEvent(done);
        });
        if (window)
            Throttle(ran, i + 1, window);
    }
    WaitForSingleObject(done, INFINITE);
    const double rate = kTasks / Seconds(Clock::now() - start);
    pool.join();
    CloseHandle(done);
    return rate;
}

// The caller's cost of Execute: median and 99th percentile in ns, measured
// while the workers are busy elsewhere (they are blocked on a gate).
void ExecuteCost() {
    const int samples = 100000;
    const std::vector<double> ns = vxbench::SortedSubmitCosts(samples);
    std::printf("one Execute call on the caller's thread: median %.0f ns, p99 %.0f ns\n",
                ns[samples / 2], ns[samples * 99 / 100]);
}

}  // namespace

int main() {
    std::printf("thread pool: %d tiny tasks per run, best of 3\n", kTasks);
    for (int window : {0, kWindow}) {
        for (int workers : {2, 8}) {
            double ours = 0, peer = 0;
            for (int run = 0; run < 3; ++run) {
                ours = std::max(ours, OursRate(workers, window));
                peer = std::max(peer, AsioRate(workers, window));
            }
            std::printf("%d workers, %-22s ours %6.2f M/s   asio %6.2f M/s   ratio %.2f\n", workers,
                        window ? "at most 4096 queued:" : "all queued at once:", ours / 1e6,
                        peer / 1e6, ours / peer);
        }
    }
    ExecuteCost();
    return 0;
}
