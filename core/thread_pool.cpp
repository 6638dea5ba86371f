// thread_pool.cpp: the worker thread pool.
#include "VexloTool/ThreadPool.h"

#include <algorithm>
#include <thread>

#include "core/carrier.h"
#include "core/scoped_lock.h"
#include "core/thread_helpers.h"

namespace VexloTool {

template class SingletonImpl<CThreadPool, 0>;

namespace {

// Carriers kept for reuse, a few hundred bytes each. The cap follows the
// deepest queue seen, so a steady producer running ahead of the workers
// reuses carriers instead of building new ones, within a bounded footprint.
const size_t kMinFreeSignals = 256;
const size_t kMaxFreeSignals = 8192;

// How long a worker that ran out of work watches the queue before it goes
// to sleep: rounds of a few pause instructions, then a few time-slice
// yields. Work that arrives meanwhile needs no wake-up, which costs the
// producer and the worker a system call each.
const int kSpinRounds = 100;
const int kPausesPerRound = 16;
const int kYieldRounds = 10;

inline void CpuPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

bool SeveralProcessors() {
    SYSTEM_INFO info = {};
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 1;
}

int DefaultWorkerCount() {
    SYSTEM_INFO info = {};
    GetSystemInfo(&info);
    return std::max(8, 2 * static_cast<int>(info.dwNumberOfProcessors) + 2);
}

}  // namespace

CThreadPool::CThreadPool() : freeCap_(kMinFreeSignals), maySpin_(SeveralProcessors()) {
    InitializeCriticalSectionAndSpinCount(&lock_, kLockSpinCount);
}

CThreadPool::~CThreadPool() {
    // Runs at module unload; workers are stopped by UnInit, never here.
    for (void* carrier : queue_)
        DestroyCarrier(carrier);
    for (void* carrier : freeSignals_)
        DestroyCarrier(carrier);
    DeleteCriticalSection(&lock_);
}

bool CThreadPool::Init(int threads) {
    // Running already (even with no worker): a second Init changes nothing.
    if (workEvent_ || stopEvent_ || !threads_.empty())
        return true;
    InterlockedExchange(&idle_, 0);
    const int count = threads == 0 ? DefaultWorkerCount() : std::max(threads, 0);
    InterlockedExchange(&stop_, 0);
    // Auto-reset: one signal wakes one worker. Work queued before Init is
    // seen by the new workers, which look at the queue before they wait.
    HANDLE work = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        // Workers of an earlier generation (terminated while busy, and on
        // Linux still finishing their callable) must not count in this one:
        // they see the new generation under the lock and leave the wake-up
        // bookkeeping alone.
        ScopedLock guard(lock_);
        InterlockedIncrement(&generation_);
        workEvent_ = work;
        stopEvent_ = stop;
        sleepers_ = 0;
        waking_ = false;
        spinning_ = false;
    }
    threads_.resize(count);
    for (int i = 0; i < count; ++i) {
        DWORD id = 0;
        threads_[i] = CreateThread(nullptr, 0, &CThreadPool::ThreadProc, this, 0, &id);
        if (threads_[i])
            SetThreadName(id, "thdPool");
    }
    return true;
}

void CThreadPool::Stop() {
    InterlockedExchange(&stop_, 1);
    SetEvent(stopEvent_);
}

void CThreadPool::UnInit() {
    for (HANDLE thread : threads_) {
        StopThreadBounded(thread);
        if (thread)
            CloseHandle(thread);
    }
    threads_.clear();
    HANDLE work;
    HANDLE stop;
    {
        // A worker given up on may still queue work and wake with it.
        ScopedLock guard(lock_);
        work = workEvent_;
        stop = stopEvent_;
        workEvent_ = stopEvent_ = nullptr;
    }
    if (work)
        CloseHandle(work);
    if (stop)
        CloseHandle(stop);
    ReleaseQueuedWork();
}

long CThreadPool::GetIdelThreadNum() const {
    return InterlockedRead(&idle_);
}

void* CThreadPool::GetSignal() {
    if (freeCount_.load(std::memory_order_relaxed) != 0) {
        ScopedLock guard(lock_);
        if (!freeSignals_.empty()) {
            void* carrier = freeSignals_.back();
            freeSignals_.pop_back();
            freeCount_.store(freeSignals_.size(), std::memory_order_relaxed);
            return carrier;
        }
    }
    return new CarrierSignal();
}

void CThreadPool::SignalConnect(void* carrier, void* slot) {
    ConnectCarrier(carrier, slot);
}

void CThreadPool::ReleaseSignal(void* carrier) {
    if (!carrier)
        return;
    // Disconnecting destroys the callable and its captured values: host
    // code, so never under the lock.
    AsCarrier(carrier)->disconnect_all_slots();
    {
        ScopedLock guard(lock_);
        if (KeepFreeLocked(carrier))
            return;
    }
    DestroyCarrier(carrier);
}

bool CThreadPool::KeepFreeLocked(void* carrier) {
    if (freeSignals_.size() >= freeCap_)
        return false;
    freeSignals_.push_back(carrier);
    freeCount_.store(freeSignals_.size(), std::memory_order_relaxed);
    return true;
}

HANDLE CThreadPool::WakeOneLocked() {
    // One worker on its way to the queue is enough: it wakes the next one
    // itself if it finds more work than it takes. This keeps a burst from
    // waking every sleeper to fight over the lock.
    // A worker watching the queue takes the work without one.
    if (sleepers_ == 0 || waking_ || spinning_ || !workEvent_)
        return nullptr;
    --sleepers_;
    waking_ = true;
    return workEvent_;
}

void CThreadPool::AsyncExecute(void* carrier) {
    if (InterlockedRead(&stop_)) {
        ReleaseSignal(carrier);
        return;
    }
    HANDLE wake;
    {
        ScopedLock guard(lock_);
        queue_.push_back(carrier);
        queued_.store(queue_.size(), std::memory_order_relaxed);
        if (queue_.size() > freeCap_)
            freeCap_ = std::min(queue_.size(), kMaxFreeSignals);
        wake = WakeOneLocked();
    }
    // Signalled outside the lock: the woken worker needs it at once.
    if (wake)
        SetEvent(wake);
}

void CThreadPool::ReleaseQueuedWork() {
    std::deque<void*> left;
    {
        ScopedLock guard(lock_);
        left.swap(queue_);
        queued_.store(0, std::memory_order_relaxed);
    }
    for (void* carrier : left)
        ReleaseSignal(carrier);
}

DWORD WINAPI CThreadPool::ThreadProc(LPVOID pool) {
    CoInitialize(nullptr);
    static_cast<CThreadPool*>(pool)->InnerThreadProc();
    CoUninitialize();
    return 0;
}

void* CThreadPool::TakeWork(void* finished, TakeState& state, LONG generation) {
    // The finished carrier's callable is already released (outside the
    // lock); parking it here spares the worker a second lock round trip.
    void* carrier = nullptr;
    HANDLE wake = nullptr;
    {
        ScopedLock guard(lock_);
        if (finished && KeepFreeLocked(finished))
            finished = nullptr;
        if (InterlockedRead(&generation_) != generation) {
            // UnInit gave up on this worker: leave the newer pool's queue
            // and bookkeeping alone.
            state = TakeState::kRetired;
        } else {
            if (state == TakeState::kWoken)
                waking_ = false;
            else if (state == TakeState::kSpun)
                spinning_ = false;
            if (!queue_.empty()) {
                carrier = queue_.front();
                queue_.pop_front();
                queued_.store(queue_.size(), std::memory_order_relaxed);
                // More work than this worker takes: bring in one more.
                if (!queue_.empty())
                    wake = WakeOneLocked();
                state = TakeState::kRunning;
            } else if (maySpin_ && !spinning_ && state != TakeState::kSpun) {
                // One worker at a time watches the queue; the others sleep.
                spinning_ = true;
                state = TakeState::kSpinning;
            } else {
                // Counted before the lock is left, so work queued from now
                // on wakes this worker.
                ++sleepers_;
                state = TakeState::kSleeping;
            }
        }
    }
    if (wake)
        SetEvent(wake);
    if (finished)
        DestroyCarrier(finished);  // holds no callable: no host code runs
    return carrier;
}

void CThreadPool::WatchQueue() const {
    for (int round = 0; round < kSpinRounds; ++round) {
        for (int i = 0; i < kPausesPerRound; ++i)
            CpuPause();
        if (queued_.load(std::memory_order_relaxed) != 0)
            return;
    }
    for (int round = 0; round < kYieldRounds; ++round) {
        std::this_thread::yield();
        if (queued_.load(std::memory_order_relaxed) != 0)
            return;
    }
}

void CThreadPool::InnerThreadProc() {
    // The work event comes first: a wait reports the lowest signalled
    // handle, so after Stop a wake-up for queued work wins over the stop and
    // the queue drains before the workers end. A worker looks at the queue
    // before every wait and goes from one callable to the next without
    // waiting while work is queued.
    HANDLE events[2] = {workEvent_, stopEvent_};
    const LONG generation = InterlockedRead(&generation_);
    void* running = nullptr;
    void* finished = nullptr;
    TakeState state = TakeState::kRunning;
    try {
        for (;;) {
            running = TakeWork(finished, state, generation);
            finished = nullptr;
            if (state == TakeState::kRetired)
                return;  // UnInit gave up on this worker; a newer pool runs
            if (state == TakeState::kSpinning) {
                WatchQueue();
                state = TakeState::kSpun;
                continue;
            }
            if (state == TakeState::kSleeping) {
                InterlockedIncrement(&idle_);
                if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0)
                    break;
                InterlockedDecrement(&idle_);
                state = TakeState::kWoken;
                continue;
            }
            (*AsCarrier(running))();
            // Destroys the callable's values outside the lock.
            AsCarrier(running)->disconnect_all_slots();
            finished = running;
            running = nullptr;
        }
    } catch (...) {
        // A throwing callable ends this worker only; its carrier is still
        // released rather than leaked. A worker terminated while it waited
        // holds none, and must not touch the pool: the host may be exiting.
        if (running)
            ReleaseSignal(running);
    }
}

}  // namespace VexloTool
