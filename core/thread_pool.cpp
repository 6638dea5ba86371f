// thread_pool.cpp: the worker thread pool.
#include "VexloTool/ThreadPool.h"

#include <algorithm>

#include "core/carrier.h"
#include "core/scoped_lock.h"
#include "core/thread_helpers.h"

namespace VexloTool {

template class SingletonImpl<CThreadPool, 0>;

namespace {

// Carriers kept for reuse: enough for a burst of tiny tasks, a few hundred
// bytes each.
const size_t kFreeSignalPoolSize = 256;

int DefaultWorkerCount() {
    SYSTEM_INFO info = {};
    GetSystemInfo(&info);
    return std::max(8, 2 * static_cast<int>(info.dwNumberOfProcessors) + 2);
}

}  // namespace

CThreadPool::CThreadPool() {
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
    workEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        // Work queued before Init must be seen by the new workers.
        ScopedLock guard(lock_);
        if (!queue_.empty())
            SetEvent(workEvent_);
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
        if (freeSignals_.size() < kFreeSignalPoolSize) {
            freeSignals_.push_back(carrier);
            freeCount_.store(freeSignals_.size(), std::memory_order_relaxed);
            return;
        }
    }
    DestroyCarrier(carrier);
}

void CThreadPool::AsyncExecute(void* carrier) {
    if (InterlockedRead(&stop_)) {
        ReleaseSignal(carrier);
        return;
    }
    ScopedLock guard(lock_);
    queue_.push_back(carrier);
    if (queue_.size() == 1 && workEvent_)
        SetEvent(workEvent_);
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

void* CThreadPool::TakeWork(void* finished) {
    // The finished carrier's callable is already released (outside the
    // lock); parking it here spares the worker a second lock round trip.
    void* carrier = nullptr;
    {
        ScopedLock guard(lock_);
        if (finished && freeSignals_.size() < kFreeSignalPoolSize) {
            freeSignals_.push_back(finished);
            freeCount_.store(freeSignals_.size(), std::memory_order_relaxed);
            finished = nullptr;
        }
        if (!queue_.empty()) {
            carrier = queue_.front();
            queue_.pop_front();
        }
        if (queue_.empty())
            ResetEvent(workEvent_);
    }
    if (finished)
        DestroyCarrier(finished);  // holds no callable: no host code runs
    return carrier;
}

void CThreadPool::InnerThreadProc() {
    // The work event comes first: a wait reports the lowest signalled
    // handle, so after Stop the queue drains before the workers end.
    HANDLE events[2] = {workEvent_, stopEvent_};
    const LONG generation = InterlockedRead(&generation_);
    void* running = nullptr;
    try {
        for (;;) {
            if (InterlockedRead(&generation_) != generation)
                break;  // UnInit gave up on this worker; a newer pool runs
            InterlockedIncrement(&idle_);
            if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0)
                break;
            InterlockedDecrement(&idle_);
            // While work is queued the worker goes from one callable to the
            // next without waiting again: the wait would report the work
            // event anyway (it comes first), so the order and the drain on
            // Stop are unchanged.
            void* finished = nullptr;
            for (;;) {
                if (InterlockedRead(&generation_) != generation) {
                    ReleaseSignal(finished);  // and leave the newer pool's queue alone
                    return;
                }
                running = TakeWork(finished);
                finished = nullptr;
                if (!running)
                    break;
                (*AsCarrier(running))();
                // Destroys the callable's values outside the lock.
                AsCarrier(running)->disconnect_all_slots();
                finished = running;
                running = nullptr;
            }
        }
    } catch (...) {
        // A throwing callable ends this worker only; its carrier is still
        // released rather than leaked.
        ReleaseSignal(running);
    }
}

}  // namespace VexloTool
