// qt_peer.cpp: the Qt 5 side of the event-loop comparison: queued
// QMetaObject::invokeMethod into a QThread running exec(), QTimer and
// QThreadPool::start. Which dispatcher the loop uses (GLib's or Qt's own)
// is chosen by QT_NO_GLIB, read when Qt starts: the parent sets it for the
// child process this runs in.
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QObject>
#include <QRunnable>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>

#include "bench/event_loop/event_loop_bench.h"

namespace loopbench {
namespace {

// A QThread running exec(), with a receiver living in it.
class LoopThread {
public:
    explicit LoopThread(int cpu = -1) {
        receiver_.moveToThread(&thread_);
        thread_.start();
        // The event loop must be running: the pin also proves it.
        Gate started;
        QMetaObject::invokeMethod(
            &receiver_,
            [&started, cpu] {
                if (cpu >= 0)
                    PinThisThread(cpu);
                started.Open();
            },
            Qt::QueuedConnection);
        started.WaitAndClose();
    }
    ~LoopThread() {
        thread_.quit();
        thread_.wait();
    }
    QObject* receiver() { return &receiver_; }
    QString dispatcherName() {
        QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(&thread_);
        return dispatcher ? QString::fromLatin1(dispatcher->metaObject()->className())
                          : QStringLiteral("none");
    }

private:
    QThread thread_;
    QObject receiver_;
};

double QtFlood(int producers) {
    LoopThread loop;
    std::atomic<int> ran{0};
    Gate done;
    const int total = kFloodCallables / producers * producers;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&] {
            const int mine = total / producers;
            for (int i = 0; i < mine; ++i) {
                QMetaObject::invokeMethod(
                    loop.receiver(),
                    [&] {
                        if (ran.fetch_add(1, std::memory_order_relaxed) + 1 == total)
                            done.Open();
                    },
                    Qt::QueuedConnection);
                while (i + 1 - ran.load(std::memory_order_relaxed) / producers > kFloodWindow)
                    std::this_thread::yield();
            }
        });
    }
    done.WaitAndClose();
    const double elapsed = Seconds(Clock::now() - start);
    for (auto& t : threads)
        t.join();
    return total / elapsed;
}

Latency QtRoundTrip(bool sameCpu) {
    LoopThread loop(0);
    Gate answered;
    std::vector<double> samples;
    samples.reserve(kRoundTrips);
    std::thread sender([&] {
        PinThisThread(SenderCpu(sameCpu));
        for (int i = 0; i < kRoundTrips; ++i) {
            const auto start = Clock::now();
            QMetaObject::invokeMethod(
                loop.receiver(), [&] { answered.Open(); }, Qt::QueuedConnection);
            answered.WaitAndClose();
            samples.push_back(Seconds(Clock::now() - start));
        }
    });
    sender.join();
    return Summarise(samples);
}

// Timers run on the main thread, inside the application's event loop.
double QtArm() {
    std::vector<std::unique_ptr<QTimer>> timers;
    for (int i = 0; i < kPendingTimers + kArmSamples; ++i) {
        timers.emplace_back(new QTimer);
        timers.back()->setSingleShot(true);
        QObject::connect(timers.back().get(), &QTimer::timeout, [] {});
    }
    for (int i = 0; i < kPendingTimers; ++i)
        timers[i]->start(600000);
    std::vector<double> ns;
    for (int i = kPendingTimers; i < kPendingTimers + kArmSamples; ++i) {
        const auto start = Clock::now();
        timers[i]->start(600000);
        ns.push_back(Seconds(Clock::now() - start) * 1e9);
    }
    timers.clear();
    return Median(ns);
}

double QtLateness() {
    std::vector<std::unique_ptr<QTimer>> timers;
    std::vector<Clock::time_point> due(kPendingTimers);
    double worst = 0;
    int fired = 0;
    QEventLoop loop;
    for (int i = 0; i < kPendingTimers; ++i) {
        timers.emplace_back(new QTimer);
        timers.back()->setSingleShot(true);
        timers.back()->setTimerType(Qt::PreciseTimer);
        QObject::connect(timers.back().get(), &QTimer::timeout, [&, i] {
            worst = std::max(worst, Seconds(Clock::now() - due[i]) * 1e3);
            if (++fired == kPendingTimers)
                loop.quit();
        });
    }
    for (int i = 0; i < kPendingTimers; ++i) {
        due[i] = Clock::now() + std::chrono::milliseconds(kLateTimerMs);
        timers[i]->start(kLateTimerMs);
    }
    loop.exec();
    return worst;
}

class Tiny final : public QRunnable {
public:
    Tiny(std::atomic<int>& ran, Gate& done) : ran_(ran), done_(done) {}
    void run() override {
        if (ran_.fetch_add(1, std::memory_order_relaxed) + 1 == kPoolTasks)
            done_.Open();
    }

private:
    std::atomic<int>& ran_;
    Gate& done_;
};

class Hold final : public QRunnable {
public:
    explicit Hold(Gate& gate) : gate_(gate) {}
    void run() override { gate_.WaitAndClose(); }

private:
    Gate& gate_;
};

double QtPool(int workers) {
    QThreadPool pool;
    pool.setMaxThreadCount(workers);
    std::atomic<int> ran{0};
    Gate done;
    const auto start = Clock::now();
    for (int i = 0; i < kPoolTasks; ++i) {
        pool.start(new Tiny(ran, done));
        while (i + 1 - ran.load(std::memory_order_relaxed) > kPoolWindow)
            std::this_thread::yield();
    }
    done.WaitAndClose();
    const double rate = kPoolTasks / Seconds(Clock::now() - start);
    pool.waitForDone();
    return rate;
}

double QtSubmit() {
    QThreadPool pool;
    pool.setMaxThreadCount(2);
    Gate holds[2];
    for (Gate& hold : holds)
        pool.start(new Hold(hold));
    std::atomic<int> ran{0};
    Gate done;
    std::vector<double> ns(kSubmitSamples);
    for (int i = 0; i < kSubmitSamples; ++i) {
        const auto start = Clock::now();
        pool.start(new Tiny(ran, done));
        ns[i] = Seconds(Clock::now() - start) * 1e9;
    }
    for (Gate& hold : holds)
        hold.Open();
    pool.waitForDone();
    return Median(ns);
}

}  // namespace

LoopFigures RunQtPeer(std::string& name) {
    static int argc = 1;
    static char arg0[] = "event_loop_bench";
    static char* argv[] = {arg0, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;
    {
        LoopThread probe;
        name = "Qt " + std::string(qVersion()) + " (" + probe.dispatcherName().toStdString() +
               ", QTimer, QThreadPool)";
    }
    LoopFigures f;
    f.flood1 = QtFlood(1);
    f.flood2 = QtFlood(2);
    f.oneCpu = QtRoundTrip(true);
    f.acrossCpus = QtRoundTrip(false);
    f.armNs = QtArm();
    f.lateMs = QtLateness();
    f.pool2 = QtPool(2);
    f.pool8 = QtPool(8);
    f.submitNs = QtSubmit();
    return f;
}

}  // namespace loopbench
