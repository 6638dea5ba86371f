// event_loop_bench.cpp: the window-thread dispatcher, window timers and the
// thread pool against the event loops hosts already run: Qt 5 (with its
// GLib-based dispatcher and with its own, QT_NO_GLIB=1) and GLib. Every row
// prints ours, the peer and ours / peer. Figures are the median of the
// passes given as the first argument (default 3).
//
// "--qt-peer" runs only the Qt side and prints it for the parent process;
// "--ours ROW" runs one of our rows alone (flood, roundtrip, timers, pool),
// for a profiler.
#include "bench/event_loop/event_loop_bench.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <thread>

#include "VexloTool/FuncDispatch.h"
#include "VexloTool/ThreadPool.h"
#include "bench/pool_submit_cost.h"
#include "vxplatform.h"

using VexloTool::CFuncDispatch;
using VexloTool::CThreadPool;

namespace loopbench {
namespace {

void RunLoopUntilQuit() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
}

// The calling (main) thread is the window thread throughout.
double OursFlood(int producers) {
    const int total = kFloodCallables / producers * producers;
    int ran = 0;  // window thread only
    std::atomic<int> drained{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&] {
            const int mine = total / producers;
            for (int i = 0; i < mine; ++i) {
                CFuncDispatch::Dispatch([&] {
                    drained.fetch_add(1, std::memory_order_relaxed);
                    if (++ran == total)
                        PostQuitMessage(0);
                });
                while (i + 1 - drained.load(std::memory_order_relaxed) / producers > kFloodWindow)
                    std::this_thread::yield();
            }
        });
    }
    RunLoopUntilQuit();
    const double elapsed = Seconds(Clock::now() - start);
    for (auto& t : threads)
        t.join();
    return total / elapsed;
}

Latency OursRoundTrip(bool sameCpu) {
    PinThisThread(0);
    Gate answered;
    std::vector<double> samples;
    samples.reserve(kRoundTrips);
    std::thread sender([&] {
        PinThisThread(SenderCpu(sameCpu));
        for (int i = 0; i < kRoundTrips; ++i) {
            const auto start = Clock::now();
            CFuncDispatch::Dispatch([&] { answered.Open(); });
            answered.WaitAndClose();
            samples.push_back(Seconds(Clock::now() - start));
        }
        CFuncDispatch::Dispatch([] { PostQuitMessage(0); });
    });
    RunLoopUntilQuit();
    sender.join();
    PinThisThread(-1);
    return Summarise(samples);
}

// Median cost of arming one more timer while kPendingTimers are armed.
double OursArm() {
    std::vector<long> ids;
    ids.reserve(kPendingTimers + kArmSamples);
    for (int i = 0; i < kPendingTimers; ++i)
        ids.push_back(CFuncDispatch::StartTimer(
            600000, [] {}, false));
    std::vector<double> ns;
    ns.reserve(kArmSamples);
    for (int i = 0; i < kArmSamples; ++i) {
        const auto start = Clock::now();
        ids.push_back(CFuncDispatch::StartTimer(
            600000, [] {}, false));
        ns.push_back(Seconds(Clock::now() - start) * 1e9);
    }
    for (long id : ids)
        CFuncDispatch::StopTimer(id);
    return Median(ns);
}

// kPendingTimers one-shot timers armed back to back; how late the latest
// one runs after it fell due, in ms.
double OursLateness() {
    std::vector<Clock::time_point> due(kPendingTimers);
    std::vector<long> ids(kPendingTimers);
    double worst = 0;
    int fired = 0;
    const auto armStart = Clock::now();
    for (int i = 0; i < kPendingTimers; ++i) {
        due[i] = Clock::now() + std::chrono::milliseconds(kLateTimerMs);
        ids[i] = CFuncDispatch::StartTimer(
            kLateTimerMs,
            [&, i] {
                worst = std::max(worst, Seconds(Clock::now() - due[i]) * 1e3);
                if (++fired == kPendingTimers)
                    PostQuitMessage(0);
            },
            false);
    }
    const auto armEnd = Clock::now();
    RunLoopUntilQuit();
    if (std::getenv("VX_BENCH_VERBOSE"))
        std::printf("  arming took %.1f ms, firing %.1f ms\n", Seconds(armEnd - armStart) * 1e3,
                    Seconds(Clock::now() - armEnd) * 1e3);
    for (long id : ids)
        CFuncDispatch::StopTimer(id);
    return worst;
}

double OursPool(int workers) {
    CThreadPool::Instance().Init(workers);
    std::atomic<int> ran{0};
    Gate done;
    const auto start = Clock::now();
    for (int i = 0; i < kPoolTasks; ++i) {
        CThreadPool::Execute([&] {
            if (ran.fetch_add(1, std::memory_order_relaxed) + 1 == kPoolTasks)
                done.Open();
        });
        while (i + 1 - ran.load(std::memory_order_relaxed) > kPoolWindow)
            std::this_thread::yield();
    }
    done.WaitAndClose();
    const double rate = kPoolTasks / Seconds(Clock::now() - start);
    CThreadPool::Instance().Stop();
    CThreadPool::Instance().UnInit();
    return rate;
}

double OursSubmit() {
    const std::vector<double> ns = vxbench::SortedSubmitCosts(kSubmitSamples);
    return ns[ns.size() / 2];
}

LoopFigures RunOurs() {
    LoopFigures f;
    f.flood1 = OursFlood(1);
    f.flood2 = OursFlood(2);
    f.oneCpu = OursRoundTrip(true);
    f.acrossCpus = OursRoundTrip(false);
    f.armNs = OursArm();
    f.lateMs = OursLateness();
    f.pool2 = OursPool(2);
    f.pool8 = OursPool(8);
    f.submitNs = OursSubmit();
    return f;
}

// ---- passes and the median of each figure ------------------------------

const char* const kFields[] = {"flood1", "flood2",  "rt1_med", "rt1_p99", "rtN_med",  "rtN_p99",
                               "arm_ns", "late_ms", "pool2",   "pool8",   "submit_ns"};

std::vector<double*> Fields(LoopFigures& f) {
    return {&f.flood1,
            &f.flood2,
            &f.oneCpu.median_us,
            &f.oneCpu.p99_us,
            &f.acrossCpus.median_us,
            &f.acrossCpus.p99_us,
            &f.armNs,
            &f.lateMs,
            &f.pool2,
            &f.pool8,
            &f.submitNs};
}

LoopFigures MedianOf(std::vector<LoopFigures> passes) {
    LoopFigures out;
    std::vector<double*> target = Fields(out);
    for (size_t k = 0; k < target.size(); ++k) {
        std::vector<double> values;
        for (LoopFigures& pass : passes)
            values.push_back(*Fields(pass)[k]);
        *target[k] = Median(values);
    }
    return out;
}

[[maybe_unused]] void PrintMachineReadable(LoopFigures f, const std::string& name) {
    std::printf("name %s\n", name.c_str());
    std::vector<double*> values = Fields(f);
    for (size_t k = 0; k < values.size(); ++k)
        std::printf("%s %.6g\n", kFields[k], *values[k]);
    std::fflush(stdout);
}

// Runs this program again with "--qt-peer" and reads its figures.
[[maybe_unused]] bool RunQtChild(bool ownDispatcher, int passes, LoopFigures& out,
                                 std::string& name) {
    char self[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return false;
    const std::string command =
        std::string(ownDispatcher ? "QT_NO_GLIB=1 " : "env -u QT_NO_GLIB ") + "'" + self +
        "' --qt-peer " + std::to_string(passes);
    FILE* child = popen(command.c_str(), "r");
    if (!child)
        return false;
    std::map<std::string, double> read;
    char line[512];
    while (std::fgets(line, sizeof line, child)) {
        char key[64] = {}, value[400] = {};
        if (std::sscanf(line, "%63s %399[^\n]", key, value) != 2)
            continue;
        if (std::strcmp(key, "name") == 0)
            name = value;
        else
            read[key] = std::atof(value);
    }
    if (pclose(child) != 0)
        return false;
    std::vector<double*> target = Fields(out);
    for (size_t k = 0; k < target.size(); ++k)
        *target[k] = read[kFields[k]];
    return true;
}

struct Peer {
    std::string label;
    LoopFigures figures;
};

void Row(const char* what, const char* unit, double scale, double ours,
         const std::vector<Peer>& peers, double LoopFigures::*field) {
    for (const Peer& peer : peers) {
        const double theirs = peer.figures.*field;
        if (theirs <= 0 || ours <= 0)
            continue;
        std::printf("%-30s %-16s ours %9.2f %-4s peer %9.2f %-4s ratio %6.2f\n", what,
                    peer.label.c_str(), ours * scale, unit, theirs * scale, unit, ours / theirs);
    }
}

void LatencyRow(const char* what, const Latency& ours, const std::vector<Peer>& peers,
                Latency LoopFigures::*field) {
    for (const Peer& peer : peers) {
        const Latency& theirs = peer.figures.*field;
        if (theirs.median_us <= 0)
            continue;
        std::printf(
            "%-30s %-16s ours %7.1f/%7.1f us  peer %7.1f/%7.1f us  ratio %5.2f/%5.2f "
            "(median/p99)\n",
            what, peer.label.c_str(), ours.median_us, ours.p99_us, theirs.median_us, theirs.p99_us,
            ours.median_us / theirs.median_us, ours.p99_us / theirs.p99_us);
    }
}

}  // namespace
}  // namespace loopbench

int main(int argc, char** argv) {
    using namespace loopbench;
#ifdef VX_BENCH_QT
    if (argc > 1 && std::strcmp(argv[1], "--qt-peer") == 0) {
        const int passes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
        std::vector<LoopFigures> runs;
        std::string name;
        for (int i = 0; i < passes; ++i)
            runs.push_back(RunQtPeer(name));
        PrintMachineReadable(MedianOf(runs), name);
        return 0;
    }
#endif

    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"EventLoopBench";
    RegisterClassExW(&wc);
    HWND hwnd = CreateWindowExW(0, L"EventLoopBench", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
    CFuncDispatch::Instance().Init(hwnd);

    if (argc > 2 && std::strcmp(argv[1], "--ours") == 0) {
        const std::string row = argv[2];
        if (row == "flood")
            std::printf("flood 1: %.2f M/s, 2: %.2f M/s\n", OursFlood(1) / 1e6, OursFlood(2) / 1e6);
        if (row == "roundtrip") {
            const Latency one = OursRoundTrip(true);
            std::printf("round trip one CPU: %.1f us, p99 %.1f us\n", one.median_us, one.p99_us);
        }
        if (row == "timers") {
            const double arm = OursArm();
            const double late = OursLateness();
            std::printf("arm %.0f ns, latest %.1f ms\n", arm, late);
        }
        if (row == "pool")
            std::printf("pool 2: %.2f M/s, 8: %.2f M/s\n", OursPool(2) / 1e6, OursPool(8) / 1e6);
        CFuncDispatch::Instance().UnInit();
        DestroyWindow(hwnd);
        return 0;
    }

    const int passes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::printf(
        "event loops: median of %d passes; ratio = ours / peer (higher is better for "
        "rates, lower for times)\n",
        passes);
    std::vector<LoopFigures> runs;
    for (int i = 0; i < passes; ++i)
        runs.push_back(RunOurs());
    const LoopFigures ours = MedianOf(runs);
    CFuncDispatch::Instance().UnInit();
    DestroyWindow(hwnd);

    std::vector<Peer> peers;
#ifdef VX_BENCH_QT
    for (bool own : {false, true}) {
        Peer peer;
        std::string name;
        if (RunQtChild(own, passes, peer.figures, name)) {
            peer.label = own ? "Qt own" : "Qt GLib";
            std::printf("peer %-10s %s\n", peer.label.c_str(), name.c_str());
            peers.push_back(peer);
        } else {
            std::printf("peer Qt (%s) failed to run\n", own ? "QT_NO_GLIB=1" : "GLib dispatcher");
        }
    }
#else
    std::printf("peer Qt 5: not built (qtbase5-dev not found)\n");
#endif
#ifdef VX_BENCH_GLIB
    {
        std::vector<LoopFigures> glibRuns;
        std::string name;
        for (int i = 0; i < passes; ++i)
            glibRuns.push_back(RunGlibPeer(name));
        peers.push_back({"GLib", MedianOf(glibRuns)});
        std::printf("peer %-10s %s\n", "GLib", name.c_str());
    }
#else
    std::printf("peer GLib: not built (libglib2.0-dev not found)\n");
#endif
    if (peers.empty()) {
        // Still useful on its own: our figures alone.
        peers.push_back({"(ours only)", ours});
    }
    Row("flood, 1 producer", "M/s", 1e-6, ours.flood1, peers, &LoopFigures::flood1);
    Row("flood, 2 producers", "M/s", 1e-6, ours.flood2, peers, &LoopFigures::flood2);
    LatencyRow("round trip, one CPU", ours.oneCpu, peers, &LoopFigures::oneCpu);
    LatencyRow("round trip, across CPUs", ours.acrossCpus, peers, &LoopFigures::acrossCpus);
    Row("arm a timer, 10000 pending", "ns", 1, ours.armNs, peers, &LoopFigures::armNs);
    Row("latest of 10000 10 ms timers", "ms", 1, ours.lateMs, peers, &LoopFigures::lateMs);
    Row("pool, 2 workers", "M/s", 1e-6, ours.pool2, peers, &LoopFigures::pool2);
    Row("pool, 8 workers", "M/s", 1e-6, ours.pool8, peers, &LoopFigures::pool8);
    Row("pool submit, median", "ns", 1, ours.submitNs, peers, &LoopFigures::submitNs);
    return 0;
}
