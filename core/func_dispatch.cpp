// func_dispatch.cpp: the window-thread call dispatcher.
#include "VexloTool/FuncDispatch.h"

#include <algorithm>

#include "core/carrier.h"
#include "core/scoped_lock.h"

namespace VexloTool {

template class SingletonImpl<CFuncDispatch, 0>;

namespace {

// How often a DispatchAndWait caller checks that its dispatch can still run.
const DWORD kWaiterPollMs = 50;
// Pause between posts while the window's queue is full.
const DWORD kPostRetryMs = 10;
// The window timer that posts held-back dispatches; beyond every id that
// SetTimer issues (those are positive 32-bit values).
const UINT_PTR kDeferredTimerId = 0xFFFFFFFFu;

}  // namespace

CFuncDispatch::CFuncDispatch() {
    // Initialised once here rather than at every Init: re-initialising a
    // lock that other threads may be using is unsafe, and this way a
    // dispatch before Init is dropped instead of touching a dead lock.
    InitializeCriticalSectionAndSpinCount(&lock_, kLockSpinCount);
}

CFuncDispatch::~CFuncDispatch() {
    for (void* carrier : freeSignals_)
        DestroyCarrier(carrier);
    // The lock is never destroyed: host threads may still call in at exit.
}

void CFuncDispatch::Init(HWND hwnd) {
    UnInit();  // a second Init must not subclass our own procedure
    ScopedLock guard(lock_);
    InterlockedIncrement(&generation_);
    window_ = hwnd;
    prevProc_ = nullptr;
    lastTimerId_ = 0;
    if (!hwnd)
        return;
    LONG_PTR previous = SetWindowLongPtrW(hwnd, GWLP_WNDPROC,
                                          reinterpret_cast<LONG_PTR>(&CFuncDispatch::WindowProc));
    prevProc_ = reinterpret_cast<WNDPROC>(previous);
}

void CFuncDispatch::UnInit() {
    std::vector<void*> released;
    HWND hwnd;
    {
        ScopedLock guard(lock_);
        InterlockedIncrement(&generation_);
        hwnd = window_;
        WNDPROC previous = prevProc_;
        if (!previous)
            return;
        // Timers are stopped from any thread: the platform accepts it for a
        // window of this process.
        ForgetTimersLocked(released);
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
        prevProc_ = nullptr;  // from here on nothing more is posted
    }
    WaitForPostsInFlight();
    for (void* carrier : released)
        Release(carrier);
    ReleaseQueuedCarriers(hwnd);
}

void* CFuncDispatch::GetSignal() {
    if (freeCount_.load(std::memory_order_relaxed) != 0) {
        ScopedLock guard(lock_);
        if (!freeSignals_.empty()) {
            void* carrier = freeSignals_.front();
            freeSignals_.pop_front();
            freeCount_.store(freeSignals_.size(), std::memory_order_relaxed);
            return carrier;
        }
    }
    return new CarrierSignal();
}

void CFuncDispatch::SignalConnect(void* carrier, void* slot) {
    ConnectCarrier(carrier, slot);
}

bool CFuncDispatch::PostCarrier(void* carrier) {
    // Most posts take no dispatcher lock: the window thread's own dispatch
    // while it holds back others (it must queue behind them), and a full
    // queue, go the locked way below.
    if (!hasDeferred_.load(std::memory_order_relaxed) || !IsWindowThread()) {
        switch (PostUnlocked(carrier)) {
            case PostResult::kPosted:
                return true;
            case PostResult::kStopped:
                return false;
            case PostResult::kRefused:
                break;
        }
    }
    for (;;) {
        {
            ScopedLock guard(lock_);
            if (!prevProc_)
                return false;
            // Behind the window thread's held-back dispatches, to keep its order.
            if (!deferred_.empty() && IsWindowThread())
                return DeferLocked(carrier);
            if (PostMessageW(window_, kDispatchMessage, reinterpret_cast<WPARAM>(carrier), 0))
                return true;
            // The queue is full. Only the window's thread can drain it, so
            // that thread must not wait for room.
            if (IsWindowThread())
                return DeferLocked(carrier);
        }
        // Wait outside the lock so the window's thread can drain the queue
        // (it needs the lock to recycle each carrier).
        if (!IsWindow(window_))
            return false;
        SleepEx(kPostRetryMs, TRUE);
    }
}

CFuncDispatch::PostResult CFuncDispatch::PostUnlocked(void* carrier) {
    // Announced before the check: whoever stops the dispatcher clears
    // prevProc_ first and then waits for the posts in flight, so a post
    // either sees it cleared or lands before that thread goes on.
    // Checked first as well, so that posters keep away from the count once
    // the dispatcher has stopped and the stopping thread sees it fall to 0.
    if (!prevProc_.load(std::memory_order_relaxed))
        return PostResult::kStopped;
    postsInFlight_.fetch_add(1, std::memory_order_seq_cst);
    PostResult result = PostResult::kStopped;
    if (prevProc_.load(std::memory_order_seq_cst)) {
        result = PostMessageW(window_, kDispatchMessage, reinterpret_cast<WPARAM>(carrier), 0)
                     ? PostResult::kPosted
                     : PostResult::kRefused;
    }
    postsInFlight_.fetch_sub(1, std::memory_order_release);
    return result;
}

void CFuncDispatch::WaitForPostsInFlight() {
    // Each is one non-blocking post, already under way.
    while (postsInFlight_.load(std::memory_order_acquire) != 0)
        Sleep(0);
}

bool CFuncDispatch::DeferLocked(void* carrier) {
    // A window timer arrives even when the queue is full, and only once the
    // thread has no posted message left to retrieve.
    if (deferred_.empty() && !::SetTimer(window_, kDeferredTimerId, 0, nullptr))
        return false;
    deferred_.push_back(carrier);
    hasDeferred_.store(true, std::memory_order_relaxed);
    return true;
}

void CFuncDispatch::PostDeferred() {
    ScopedLock guard(lock_);
    while (!deferred_.empty() && PostMessageW(window_, kDispatchMessage,
                                              reinterpret_cast<WPARAM>(deferred_.front()), 0)) {
        deferred_.pop_front();
    }
    if (deferred_.empty()) {
        ::KillTimer(window_, kDeferredTimerId);
        hasDeferred_.store(false, std::memory_order_relaxed);
    }
}

void CFuncDispatch::DispatchFunction(void* carrier) {
    if (!PostCarrier(carrier))
        RecycleSignal(carrier);
}

bool CFuncDispatch::IsWindowThread() const {
    HWND hwnd = window_;
    return hwnd && GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId();
}

void CFuncDispatch::DispatchAndWaitFunction(void* carrier) {
    if (!prevProc_) {
        RecycleSignal(carrier);
        return;
    }
    if (IsWindowThread()) {
        ExecuteFunc(carrier);
        return;
    }
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!done) {
        RecycleSignal(carrier);
        return;
    }
    const LONG generation = InterlockedRead(&generation_);
    {
        ScopedLock guard(lock_);
        waiters_[carrier] = done;
        waiterCount_ = waiters_.size();
    }
    if (!PostCarrier(carrier)) {
        {
            ScopedLock guard(lock_);
            waiters_.erase(carrier);
            waiterCount_ = waiters_.size();
        }
        RecycleSignal(carrier);
        CloseHandle(done);
        return;
    }
    // Woken when the callable has run (or was dropped) and its values are
    // released; the poll also ends the wait if the window went away with the
    // message still queued.
    while (WaitForSingleObject(done, kWaiterPollMs) == WAIT_TIMEOUT) {
        if (InterlockedRead(&generation_) == generation && IsWindow(window_))
            continue;
        bool claimed;
        {
            // The carrier may already serve another waiter: erase only our own.
            ScopedLock guard(lock_);
            auto waiter = waiters_.find(carrier);
            claimed = waiter == waiters_.end() || waiter->second != done;
            if (!claimed)
                waiters_.erase(waiter);
            waiterCount_ = waiters_.size();
        }
        // Taken by the window's thread, which signals once it has released
        // the callable; the handle must live until then.
        if (claimed)
            WaitForSingleObject(done, INFINITE);
        break;
    }
    CloseHandle(done);
}

HANDLE CFuncDispatch::TakeWaiter(void* carrier) {
    if (waiterCount_ == 0)
        return nullptr;
    ScopedLock guard(lock_);
    auto waiter = waiters_.find(carrier);
    if (waiter == waiters_.end())
        return nullptr;
    HANDLE done = waiter->second;
    waiters_.erase(waiter);
    waiterCount_ = waiters_.size();
    return done;
}

void CFuncDispatch::Release(void* carrier) {
    // Release first, then wake: a DispatchAndWait caller returns only once
    // the callable's values are gone, so they are always released here.
    HANDLE waiter = TakeWaiter(carrier);
    RecycleSignal(carrier);
    if (waiter)
        SetEvent(waiter);
}

void CFuncDispatch::Emit(void* carrier) {
    try {
        (*AsCarrier(carrier))();
    } catch (...) {
        // Never unwind through the platform's message dispatch; see header.
    }
}

void CFuncDispatch::ExecuteFunc(void* carrier) {
    if (!carrier)
        return;
    Emit(carrier);
    Release(carrier);
}

void CFuncDispatch::RecycleSignal(void* carrier) {
    if (!carrier)
        return;
    CFuncDispatch& self = Instance();
    if (self.freeCount_.load(std::memory_order_relaxed) < kFreeSignalPoolSize) {
        // Disconnecting destroys the callable and its captured values: host
        // code, so never under the lock.
        AsCarrier(carrier)->disconnect_all_slots();
        ScopedLock guard(self.lock_);
        if (self.freeSignals_.size() < kFreeSignalPoolSize) {
            self.freeSignals_.push_back(carrier);
            self.freeCount_.store(self.freeSignals_.size(), std::memory_order_relaxed);
            return;
        }
    }
    // The pool is full: destroying the carrier releases its callable too.
    DestroyCarrier(carrier);
}

long CFuncDispatch::SetTimer(unsigned int intervalMs, void* carrier, int repeat) {
    const long id = InterlockedIncrement(&lastTimerId_);
    {
        ScopedLock guard(lock_);
        const UINT_PTR started =
            prevProc_ ? ::SetTimer(window_, static_cast<UINT_PTR>(id), intervalMs, nullptr) : 0;
        if (started) {
            timers_[static_cast<unsigned int>(id)] = TimerEntry{carrier, repeat == 1};
            return id;
        }
    }
    RecycleSignal(carrier);  // the callable can never run
    return id;
}

void CFuncDispatch::KillTimer(long id) {
    void* released = nullptr;
    {
        ScopedLock guard(lock_);
        ::KillTimer(window_, static_cast<UINT_PTR>(id));
        auto timer = timers_.find(static_cast<unsigned int>(id));
        if (timer == timers_.end())
            return;
        released = TakeTimerCarrierLocked(timer->second.carrier);
        timers_.erase(timer);
    }
    RecycleSignal(released);
}

void* CFuncDispatch::TakeTimerCarrierLocked(void* carrier) {
    // A carrier being emitted is released by ExecuteTimer once it returns.
    if (std::find(emittingTimers_.begin(), emittingTimers_.end(), carrier) !=
        emittingTimers_.end()) {
        stoppedWhileEmitting_.push_back(carrier);
        return nullptr;
    }
    return carrier;
}

void CFuncDispatch::ForgetTimersLocked(std::vector<void*>& released) {
    HWND hwnd = window_;
    for (const auto& timer : timers_) {
        ::KillTimer(hwnd, timer.first);
        if (void* carrier = TakeTimerCarrierLocked(timer.second.carrier))
            released.push_back(carrier);
    }
    timers_.clear();
    if (!deferred_.empty())
        ::KillTimer(hwnd, kDeferredTimerId);
    released.insert(released.end(), deferred_.begin(), deferred_.end());
    deferred_.clear();
    hasDeferred_.store(false, std::memory_order_relaxed);
}

int CFuncDispatch::ExecuteTimer(unsigned int id) {
    if (id == kDeferredTimerId) {
        PostDeferred();
        return 1;
    }
    if (!prevProc_)
        return 0;
    TimerEntry entry;
    {
        ScopedLock guard(lock_);
        auto timer = timers_.find(id);
        if (timer == timers_.end())
            return 0;
        entry = timer->second;
        if (!entry.repeat)
            ::KillTimer(window_, id);
        emittingTimers_.push_back(entry.carrier);
    }
    Emit(entry.carrier);
    void* released = nullptr;
    {
        ScopedLock guard(lock_);
        emittingTimers_.erase(
            std::find(emittingTimers_.begin(), emittingTimers_.end(), entry.carrier));
        auto stopped =
            std::find(stoppedWhileEmitting_.begin(), stoppedWhileEmitting_.end(), entry.carrier);
        if (stopped != stoppedWhileEmitting_.end()) {
            stoppedWhileEmitting_.erase(stopped);
            released = TakeTimerCarrierLocked(entry.carrier);
        }
    }
    RecycleSignal(released);
    return 1;
}

void CFuncDispatch::ReleaseQueuedCarriers(HWND hwnd) {
    // Only the window's thread can take messages off its queue. Runs without
    // the lock: on Windows a peek may call window procedures.
    if (!hwnd || GetWindowThreadProcessId(hwnd, nullptr) != GetCurrentThreadId())
        return;
    MSG msg;
    while (PeekMessageW(&msg, hwnd, kDispatchMessage, kDispatchMessage, PM_REMOVE))
        Release(reinterpret_cast<void*>(msg.wParam));
}

void CFuncDispatch::ForgetWindow() {
    std::vector<void*> released;
    HWND hwnd;
    {
        ScopedLock guard(lock_);
        InterlockedIncrement(&generation_);
        hwnd = window_;
        ForgetTimersLocked(released);
        prevProc_ = nullptr;
    }
    WaitForPostsInFlight();
    for (void* carrier : released)
        Release(carrier);
    ReleaseQueuedCarriers(hwnd);
}

LRESULT CALLBACK CFuncDispatch::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    CFuncDispatch& self = Instance();
    if (msg == kDispatchMessage) {
        self.ExecuteFunc(reinterpret_cast<void*>(wParam));
        return 1;
    }
    if (msg == WM_TIMER && self.ExecuteTimer(static_cast<unsigned int>(wParam)))
        return 0;
    WNDPROC previous = self.prevProc_;
    if (msg == WM_NCDESTROY) {
        // The window is going away with our procedure still installed:
        // release what its queue and timers hold, then stop dispatching.
        self.ForgetWindow();
    }
    if (!previous)
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    return CallWindowProcW(previous, hwnd, msg, wParam, lParam);
}

}  // namespace VexloTool
