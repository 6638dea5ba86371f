/// @file
/// ThreadPool.h: runs callables on a fixed set of worker threads.
///
/// Threads: Execute and GetIdelThreadNum from any thread, including from a
/// callable running on a worker; Init, Stop and UnInit by the host on one
/// thread, in that order (UnInit pumps that thread's window messages).
/// Locks: one recursive lock guarding the queue, the free carriers and the
/// count of sleeping workers; taken before the dispatcher's lock, never after. No
/// host code runs under it: callables and the destructors of their captured
/// values run outside.
#pragma once

#include <atomic>
#include <deque>
#include <vector>

#include <boost/signals2/signal.hpp>

#include "vxplatform.h"
#include "VexloTool/Export.h"
#include "VexloTool/SingletonImpl.h"

namespace VexloTool {

VEXLOTOOL_SINGLETON(CThreadPool);

/// The process-wide worker pool, reached through Instance(). Workers (named
/// "thdPool", each with COM initialised) take the callables in the order they
/// were queued; results go back to the window thread through
/// CFuncDispatch::Dispatch. Stop the services that queue work (the HTTP
/// factory) before the pool, and the pool before the dispatcher.
class VEXLOTOOL_API CThreadPool : public SingletonImpl<CThreadPool, 0> {
public:
    /// A callable taking no argument; lambdas convert to it. Its captured
    /// values are destroyed on the worker after it has run, or where the work
    /// is released unrun.
    typedef boost::signals2::signal<void()>::slot_type Slot;

    /// Runs at module unload: releases the work still queued and the kept
    /// carriers. Does not stop the workers: the host calls UnInit first.
    ~CThreadPool() override;

    /// Starts the workers: threads 0 selects max(8, 2 x processors + 2), a
    /// negative count starts none. Always returns true. Work queued before
    /// the first Init waits for it. A second Init without UnInit changes
    /// nothing (also after an Init that started no worker).
    bool Init(int threads);
    /// Refuses new work; workers drain the queue, then end. Returns at once.
    void Stop();
    /// Waits for each worker (about 3 s each, pumping window messages), then
    /// terminates those still running. Work left queued is released unrun:
    /// call Stop first to have it run. The pool may then be started again.
    void UnInit();
    /// Workers currently waiting for work (workers that ended through Stop
    /// keep counting).
    long GetIdelThreadNum() const;

    /// Queues the callable to run on a worker. Refused work (after Stop) is
    /// released without running. A callable that throws ends its own worker
    /// only; the other workers and later work are unaffected.
    static void Execute(Slot slot) {
        CThreadPool& self = Instance();
        void* carrier = self.GetSignal();
        if (!carrier)
            return;
        self.SignalConnect(carrier, &slot);
        self.AsyncExecute(carrier);
    }

private:
    friend class SingletonImpl<CThreadPool, 0>;
    CThreadPool();

    void* GetSignal();
    void SignalConnect(void* carrier, void* slot);
    void AsyncExecute(void* carrier);
    void ReleaseSignal(void* carrier);
    static DWORD WINAPI ThreadProc(LPVOID pool);
    void InnerThreadProc();

    // Where a worker stands when it comes for work, and where TakeWork
    // sends it.
    enum class TakeState { kRunning, kWoken, kSpinning, kSpun, kSleeping, kRetired };
    void* TakeWork(void* finished, TakeState& state, LONG generation);
    void WatchQueue() const;
    bool KeepFreeLocked(void* carrier);
    HANDLE WakeOneLocked();
    void ReleaseQueuedWork();

    CRITICAL_SECTION lock_;
    std::deque<void*> queue_;
    // Carriers whose callable has run, kept for reuse: building and
    // destroying a signal per task costs more than the task itself.
    std::vector<void*> freeSignals_;
    // freeSignals_.size(), readable without the lock: a submission finding
    // none free skips a lock round trip.
    std::atomic<size_t> freeCount_{0};
    // How many finished carriers are kept: grows with the deepest queue
    // seen, up to a fixed bound.
    size_t freeCap_;
    std::vector<HANDLE> threads_;
    // Auto-reset; each signal wakes one sleeping worker.
    HANDLE workEvent_ = nullptr;
    // Workers that found the queue empty and wait (or are about to), not yet
    // handed a wake-up; and whether a wake-up is on its way to a worker that
    // has not yet taken the lock again. Under the lock.
    long sleepers_ = 0;
    bool waking_ = false;
    // Whether a worker watches the queue before it sleeps (under the lock),
    // and queue_.size() for it to watch without the lock.
    bool spinning_ = false;
    std::atomic<size_t> queued_{0};
    const bool maySpin_;  // more than one processor
    HANDLE stopEvent_ = nullptr;
    volatile LONG stop_ = 0;  // read without the lock
    mutable volatile LONG idle_ = 0;
    volatile LONG generation_ = 0;  // advanced by every Init
};

}  // namespace VexloTool
