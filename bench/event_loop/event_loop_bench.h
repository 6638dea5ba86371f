// event_loop_bench.h: what the event-loop comparison measures, shared by our
// side and the peers (Qt 5, GLib), which live in their own translation units
// so their headers never meet the platform header.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace loopbench {

using Clock = std::chrono::steady_clock;

// Flood: callables posted to the loop thread from every producer together.
constexpr int kFloodCallables = 1000000;
// At most this many callables outstanding per run: our window's queue holds
// 10,000 posted messages, after which a poster backs off.
constexpr int kFloodWindow = 8192;
constexpr int kRoundTrips = 20000;
// Timers already armed while one more is armed or while they fall due.
constexpr int kPendingTimers = 10000;
constexpr int kArmSamples = 2000;
constexpr int kLateTimerMs = 10;
constexpr int kPoolTasks = 1000000;
constexpr int kPoolWindow = 4096;
constexpr int kSubmitSamples = 100000;

struct Latency {
    double median_us = 0;
    double p99_us = 0;
};

// One event loop's figures; zero marks a row not measured.
struct LoopFigures {
    double flood1 = 0;  // callables/s
    double flood2 = 0;
    Latency oneCpu;
    Latency acrossCpus;
    double armNs = 0;   // median cost of arming one timer, kPendingTimers armed
    double lateMs = 0;  // latest firing among kPendingTimers one-shot timers
    double pool2 = 0;   // tasks/s
    double pool8 = 0;
    double submitNs = 0;  // median cost of one submission, workers busy
};

inline double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

inline Latency Summarise(std::vector<double> samples) {
    if (samples.empty())
        return {};
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2] * 1e6, samples[samples.size() * 99 / 100] * 1e6};
}

inline double Median(std::vector<double> samples) {
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Binds the calling thread to one processor, or to all (cpu < 0).
inline void PinThisThread(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    for (long i = 0; i < count; ++i) {
        if (cpu < 0 || i == cpu)
            CPU_SET(static_cast<int>(i), &set);
    }
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// The processor a round trip's sender runs on: the loop's own one (pinned)
// or another (across); the loop thread sits on processor 0.
inline int SenderCpu(bool sameCpu) {
    return sameCpu || sysconf(_SC_NPROCESSORS_ONLN) < 2 ? 0 : 1;
}

// A one-shot wake-up every side uses for its answers, so round trips
// compare the loops rather than the signalling.
class Gate {
public:
    void Open() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            open_ = true;
        }
        cv_.notify_one();
    }
    void WaitAndClose() {
        std::unique_lock<std::mutex> guard(lock_);
        cv_.wait(guard, [this] { return open_; });
        open_ = false;
    }

private:
    std::mutex lock_;
    std::condition_variable cv_;
    bool open_ = false;
};

// Peers; each returns its figures and names its loop in `name`.
LoopFigures RunGlibPeer(std::string& name);
// Runs in a child process so QT_NO_GLIB is read before Qt starts.
LoopFigures RunQtPeer(std::string& name);

}  // namespace loopbench
