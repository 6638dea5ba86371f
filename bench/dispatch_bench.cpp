// Dispatcher throughput and round-trip latency, side by side with
// boost::asio::io_context::post to a thread running run().

// Boost.Asio brings the system socket headers.
#define VXP_NO_WINSOCK
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "VexloTool/FuncDispatch.h"
#include "vxplatform.h"

using VexloTool::CFuncDispatch;
using Clock = std::chrono::steady_clock;

namespace {

const int kCallables = 1000000;
const int kRoundTrips = 20000;
const int kBurst = 50;  // the free-signal pool's size
// Flood runs keep at most this many callables outstanding: the window's
// queue holds 10,000 posted messages, after which a poster backs off.
const int kFloodWindow = 8192;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct Latency {
    double median_us;
    double p99_us;
};

Latency Summarise(std::vector<double>& samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2] * 1e6, samples[samples.size() * 99 / 100] * 1e6};
}

// ---- VexloTool: the calling (main) thread is the window thread ----------

HWND CreateBenchWindow() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"DispatchBench";
    RegisterClassExW(&wc);
    return CreateWindowExW(0, L"DispatchBench", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                           nullptr);
}

void RunLoopUntilQuit() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
}

// Producers dispatch `total` callables between them; returns callables/s.
double OursThroughput(int producers, int total, int burst) {
    int ran = 0;  // window thread only
    std::atomic<int> drained{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            const int mine = total / producers;
            for (int i = 0; i < mine; ++i) {
                CFuncDispatch::Dispatch([&] {
                    drained.fetch_add(1, std::memory_order_relaxed);
                    if (++ran == total)
                        PostQuitMessage(0);
                });
                // Paced traffic: wait for each burst to run, so carriers come
                // back to the free pool before the next burst takes them.
                if (burst && (i + 1) % burst == 0) {
                    while (drained.load(std::memory_order_relaxed) <
                           (i + 1) * producers - burst * producers)
                        std::this_thread::yield();
                }
            }
        });
    }
    RunLoopUntilQuit();
    const double elapsed = Seconds(Clock::now() - start);
    for (auto& t : threads)
        t.join();
    return total / elapsed;
}

// Dispatches bursts on the window thread itself and drains each: with
// bursts of 50 every carrier comes from the free pool; with bigger bursts
// most are made anew and destroyed.
double SameThreadRate(int burst) {
    const int total = 200000;
    int ran = 0;
    const auto start = Clock::now();
    MSG msg;
    for (int done = 0; done < total; done += burst) {
        for (int i = 0; i < burst; ++i)
            CFuncDispatch::Dispatch([&] { ++ran; });
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
    return ran / Seconds(Clock::now() - start);
}

Latency OursRoundTrip() {
    HANDLE answered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::vector<double> samples;
    samples.reserve(kRoundTrips);
    std::thread worker([&] {
        for (int i = 0; i < kRoundTrips; ++i) {
            const auto start = Clock::now();
            CFuncDispatch::Dispatch([&] { SetEvent(answered); });
            WaitForSingleObject(answered, INFINITE);
            samples.push_back(Seconds(Clock::now() - start));
        }
        CFuncDispatch::Dispatch([] { PostQuitMessage(0); });
    });
    RunLoopUntilQuit();
    worker.join();
    CloseHandle(answered);
    return Summarise(samples);
}

// ---- Peer: io_context::post to a thread running run() --------------------

double AsioThroughput(int producers, int total, int burst) {
    boost::asio::io_context io;
    auto guard = boost::asio::make_work_guard(io);
    std::atomic<int> ran{0};
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread runner([&] { io.run(); });
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&] {
            const int mine = total / producers;
            for (int i = 0; i < mine; ++i) {
                boost::asio::post(io, [&] {
                    if (ran.fetch_add(1, std::memory_order_relaxed) + 1 == total)
                        SetEvent(done);
                });
                if (burst && (i + 1) % burst == 0) {
                    while (ran.load(std::memory_order_relaxed) <
                           (i + 1) * producers - burst * producers)
                        std::this_thread::yield();
                }
            }
        });
    }
    WaitForSingleObject(done, INFINITE);
    const double elapsed = Seconds(Clock::now() - start);
    for (auto& t : threads)
        t.join();
    guard.reset();
    runner.join();
    CloseHandle(done);
    return total / elapsed;
}

Latency AsioRoundTrip() {
    boost::asio::io_context io;
    auto guard = boost::asio::make_work_guard(io);
    std::thread runner([&] { io.run(); });
    HANDLE answered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::vector<double> samples;
    samples.reserve(kRoundTrips);
    for (int i = 0; i < kRoundTrips; ++i) {
        const auto start = Clock::now();
        boost::asio::post(io, [&] { SetEvent(answered); });
        WaitForSingleObject(answered, INFINITE);
        samples.push_back(Seconds(Clock::now() - start));
    }
    guard.reset();
    runner.join();
    CloseHandle(answered);
    return Summarise(samples);
}

template <class F>
double BestOf(int runs, F f) {
    double best = 0;
    for (int i = 0; i < runs; ++i)
        best = std::max(best, f());
    return best;
}

void Compare(const char* what, double ours, double peer) {
    std::printf("%-34s ours %8.2f M/s   asio %8.2f M/s   ratio %.2f\n", what, ours / 1e6,
                peer / 1e6, ours / peer);
}

}  // namespace

int main(int argc, char** argv) {
    // "--profile": only our flood run, for a profiler.
    const bool profileOnly = argc > 1 && std::string(argv[1]) == "--profile";
    HWND hwnd = CreateBenchWindow();
    CFuncDispatch::Instance().Init(hwnd);
    if (profileOnly) {
        std::printf("ours, 1 producer: %.2f M/s\n",
                    OursThroughput(1, kCallables, kFloodWindow) / 1e6);
        CFuncDispatch::Instance().UnInit();
        return 0;
    }
    std::printf("dispatch: %d callables per run, best of 3\n", kCallables);

    Compare("flood, 1 producer",
            BestOf(3, [] { return OursThroughput(1, kCallables, kFloodWindow); }),
            BestOf(3, [] { return AsioThroughput(1, kCallables, kFloodWindow); }));
    Compare("flood, 2 producers",
            BestOf(3, [] { return OursThroughput(2, kCallables, kFloodWindow); }),
            BestOf(3, [] { return AsioThroughput(2, kCallables, kFloodWindow); }));
    Compare("steady, bursts of 50 (pooled)",
            BestOf(3, [] { return OursThroughput(1, kCallables / 4, kBurst); }),
            BestOf(3, [] { return AsioThroughput(1, kCallables / 4, kBurst); }));
    const double pooled = BestOf(3, [] { return SameThreadRate(kBurst); });
    const double unpooled = BestOf(3, [] { return SameThreadRate(20 * kBurst); });
    std::printf("%-34s pooled %6.2f M/s   mostly new %6.2f M/s   pool gain %.2fx\n",
                "carrier cycle on one thread", pooled / 1e6, unpooled / 1e6, pooled / unpooled);

    const Latency ours = OursRoundTrip();
    const Latency peer = AsioRoundTrip();
    std::printf("%-34s ours %6.1f us (p99 %6.1f)   asio %6.1f us (p99 %6.1f)   ratio %.2f\n",
                "round trip, median", ours.median_us, ours.p99_us, peer.median_us, peer.p99_us,
                ours.median_us / peer.median_us);

    CFuncDispatch::Instance().UnInit();
    DestroyWindow(hwnd);
    return 0;
}
