// thread_pool.cpp: the worker thread pool.
#include "VexloTool/ThreadPool.h"

#include <algorithm>

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

int DefaultWorkerCount() {
    SYSTEM_INFO info = {};
    GetSystemInfo(&info);
    return std::max(8, 2 * static_cast<int>(info.dwNumberOfProcessors) + 2);
}

}  // namespace

CThreadPool::CThreadPool() : freeCap_(kMinFreeSignals) {
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
    // Workers of an earlier generation (terminated while busy, and on Linux
    // still finishing their callable) must not count in this one.
    InterlockedIncrement(&generation_);
    // Auto-reset: one signal wakes one worker. Work queued before Init is
    // seen by the new workers, which look at the queue before they wait.
    workEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        // Workers of an earlier pool may have left their marks.
        ScopedLock guard(lock_);
        sleepers_ = 0;
        waking_ = false;
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
    if (workEvent_)
        CloseHandle(workEvent_);
    if (stopEvent_)
        CloseHandle(stopEvent_);
    workEvent_ = stopEvent_ = nullptr;
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
    if (sleepers_ == 0 || waking_ || !workEvent_)
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

void* CThreadPool::TakeWork(void* finished, bool woken) {
    // The finished carrier's callable is already released (outside the
    // lock); parking it here spares the worker a second lock round trip.
    void* carrier = nullptr;
    HANDLE wake = nullptr;
    {
        ScopedLock guard(lock_);
        if (finished && KeepFreeLocked(finished))
            finished = nullptr;
        if (woken)
            waking_ = false;
        if (!queue_.empty()) {
            carrier = queue_.front();
            queue_.pop_front();
            // More work than this worker takes: bring in one more.
            if (!queue_.empty())
                wake = WakeOneLocked();
        } else {
            // Counted before the lock is left, so work queued from now on
            // wakes this worker.
            ++sleepers_;
        }
    }
    if (wake)
        SetEvent(wake);
    if (finished)
        DestroyCarrier(finished);  // holds no callable: no host code runs
    return carrier;
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
    bool woken = false;
    try {
        for (;;) {
            if (InterlockedRead(&generation_) != generation) {
                ReleaseSignal(finished);  // and leave the newer pool's queue alone
                return;
            }
            running = TakeWork(finished, woken);
            finished = nullptr;
            woken = false;
            if (!running) {
                InterlockedIncrement(&idle_);
                if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0)
                    break;
                InterlockedDecrement(&idle_);
                woken = true;
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
        // released rather than leaked.
        ReleaseSignal(running);
    }
}

}  // namespace VexloTool
