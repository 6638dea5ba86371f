// glib_peer.cpp: the GLib side of the event-loop comparison:
// g_main_context_invoke into a thread running a GMainLoop, timeout sources
// (what g_timeout_add makes, on the loop's own context) and GThreadPool.
#include <glib.h>

#include <atomic>
#include <thread>

#include "bench/event_loop/event_loop_bench.h"

namespace loopbench {
namespace {

// A GMainLoop on its own context, run by its own thread.
class LoopThread {
public:
    explicit LoopThread(int cpu = -1) : context_(g_main_context_new()) {
        loop_ = g_main_loop_new(context_, FALSE);
        thread_ = std::thread([this, cpu] {
            if (cpu >= 0)
                PinThisThread(cpu);
            g_main_context_push_thread_default(context_);
            g_main_loop_run(loop_);
            g_main_context_pop_thread_default(context_);
        });
        // Wait until the loop owns its context: an invoke before that would
        // run on the calling thread.
        while (!g_main_loop_is_running(loop_))
            std::this_thread::yield();
    }
    ~LoopThread() {
        g_main_context_invoke(
            context_,
            [](gpointer loop) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return G_SOURCE_REMOVE;
            },
            loop_);
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }
    GMainContext* context() const { return context_; }

private:
    GMainContext* context_;
    GMainLoop* loop_;
    std::thread thread_;
};

struct Flood {
    std::atomic<int> ran{0};
    int total = 0;
    Gate done;
};

gboolean FloodCall(gpointer raw) {
    auto* flood = static_cast<Flood*>(raw);
    if (flood->ran.fetch_add(1, std::memory_order_relaxed) + 1 == flood->total)
        flood->done.Open();
    return G_SOURCE_REMOVE;
}

double GlibFlood(int producers) {
    LoopThread loop;
    Flood flood;
    flood.total = kFloodCallables / producers * producers;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&] {
            const int mine = flood.total / producers;
            for (int i = 0; i < mine; ++i) {
                g_main_context_invoke(loop.context(), &FloodCall, &flood);
                while (i + 1 - flood.ran.load(std::memory_order_relaxed) / producers > kFloodWindow)
                    std::this_thread::yield();
            }
        });
    }
    flood.done.WaitAndClose();
    const double elapsed = Seconds(Clock::now() - start);
    for (auto& t : threads)
        t.join();
    return flood.total / elapsed;
}

gboolean OpenGate(gpointer gate) {
    static_cast<Gate*>(gate)->Open();
    return G_SOURCE_REMOVE;
}

Latency GlibRoundTrip(bool sameCpu) {
    LoopThread loop(0);
    Gate answered;
    std::vector<double> samples;
    samples.reserve(kRoundTrips);
    std::thread sender([&] {
        PinThisThread(SenderCpu(sameCpu));
        for (int i = 0; i < kRoundTrips; ++i) {
            const auto start = Clock::now();
            g_main_context_invoke(loop.context(), &OpenGate, &answered);
            answered.WaitAndClose();
            samples.push_back(Seconds(Clock::now() - start));
        }
    });
    sender.join();
    return Summarise(samples);
}

// What g_timeout_add does, on the given context rather than the default one.
guint AddTimeout(GMainContext* context, guint ms, GSourceFunc function, gpointer data) {
    GSource* source = g_timeout_source_new(ms);
    g_source_set_callback(source, function, data, nullptr);
    const guint id = g_source_attach(source, context);
    g_source_unref(source);
    return id;
}

gboolean Never(gpointer) {
    return G_SOURCE_REMOVE;
}

// Runs on the calling thread with its own context.
double GlibArm() {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    std::vector<guint> ids;
    for (int i = 0; i < kPendingTimers; ++i)
        ids.push_back(AddTimeout(context, 600000, &Never, nullptr));
    std::vector<double> ns;
    for (int i = 0; i < kArmSamples; ++i) {
        const auto start = Clock::now();
        ids.push_back(AddTimeout(context, 600000, &Never, nullptr));
        ns.push_back(Seconds(Clock::now() - start) * 1e9);
    }
    for (guint id : ids) {
        if (GSource* source = g_main_context_find_source_by_id(context, id))
            g_source_destroy(source);
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return Median(ns);
}

struct LateTimer {
    Clock::time_point due;
    double* worst;
    int* fired;
};

gboolean LateFired(gpointer raw) {
    auto* timer = static_cast<LateTimer*>(raw);
    *timer->worst = std::max(*timer->worst, Seconds(Clock::now() - timer->due) * 1e3);
    ++*timer->fired;
    return G_SOURCE_REMOVE;
}

double GlibLateness() {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    double worst = 0;
    int fired = 0;
    std::vector<LateTimer> timers(kPendingTimers);
    for (LateTimer& timer : timers) {
        timer = {Clock::now() + std::chrono::milliseconds(kLateTimerMs), &worst, &fired};
        AddTimeout(context, kLateTimerMs, &LateFired, &timer);
    }
    while (fired < kPendingTimers)
        g_main_context_iteration(context, TRUE);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return worst;
}

struct PoolRun {
    std::atomic<int> ran{0};
    Gate done;
    Gate* hold = nullptr;
};

// Tasks carry a non-null pointer (GThreadPool refuses null data): the run
// itself, or a gate that holds a worker.
void PoolTask(gpointer data, gpointer user) {
    auto* run = static_cast<PoolRun*>(user);
    if (data != user) {
        static_cast<Gate*>(data)->WaitAndClose();
        return;
    }
    if (run->ran.fetch_add(1, std::memory_order_relaxed) + 1 == kPoolTasks)
        run->done.Open();
}

double GlibPool(int workers) {
    PoolRun run;
    GThreadPool* pool = g_thread_pool_new(&PoolTask, &run, workers, TRUE, nullptr);
    const auto start = Clock::now();
    for (int i = 0; i < kPoolTasks; ++i) {
        g_thread_pool_push(pool, &run, nullptr);
        while (i + 1 - run.ran.load(std::memory_order_relaxed) > kPoolWindow)
            std::this_thread::yield();
    }
    run.done.WaitAndClose();
    const double rate = kPoolTasks / Seconds(Clock::now() - start);
    g_thread_pool_free(pool, FALSE, TRUE);
    return rate;
}

double GlibSubmit() {
    PoolRun run;
    GThreadPool* pool = g_thread_pool_new(&PoolTask, &run, 2, TRUE, nullptr);
    Gate holds[2];
    for (Gate& hold : holds)
        g_thread_pool_push(pool, &hold, nullptr);
    std::vector<double> ns(kSubmitSamples);
    for (int i = 0; i < kSubmitSamples; ++i) {
        const auto start = Clock::now();
        g_thread_pool_push(pool, &run, nullptr);
        ns[i] = Seconds(Clock::now() - start) * 1e9;
    }
    for (Gate& hold : holds)
        hold.Open();
    g_thread_pool_free(pool, FALSE, TRUE);
    return Median(ns);
}

}  // namespace

LoopFigures RunGlibPeer(std::string& name) {
    name = "GLib " + std::to_string(glib_major_version) + "." + std::to_string(glib_minor_version) +
           " (GMainLoop, timeout sources, GThreadPool)";
    LoopFigures f;
    f.flood1 = GlibFlood(1);
    f.flood2 = GlibFlood(2);
    f.oneCpu = GlibRoundTrip(true);
    f.acrossCpus = GlibRoundTrip(false);
    f.armNs = GlibArm();
    f.lateMs = GlibLateness();
    f.pool2 = GlibPool(2);
    f.pool8 = GlibPool(8);
    f.submitNs = GlibSubmit();
    return f;
}

}  // namespace loopbench
