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

}  // namespace

CFuncDispatch::CFuncDispatch() {
    // Initialised once here rather than at every Init: re-initialising a
    // lock that other threads may be using is unsafe, and this way a
    // dispatch before Init is dropped instead of touching a dead lock.
    InitializeCriticalSection(&lock_);
}

CFuncDispatch::~CFuncDispatch() {
    for (void* carrier : freeSignals_)
        DestroyCarrier(carrier);
    // The lock is never destroyed: host threads may still call in at exit.
}

void CFuncDispatch::Init(HWND hwnd) {
    ScopedLock guard(lock_);
    UnInit();  // a second Init must not subclass our own procedure
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
    ScopedLock guard(lock_);
    InterlockedIncrement(&generation_);
    HWND hwnd = window_;
    WNDPROC previous = prevProc_;
    if (!previous)
        return;
    for (const auto& timer : timers_) {
        ::KillTimer(hwnd, timer.first);
        ReleaseTimerCarrier(timer.second.carrier);
    }
    timers_.clear();
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
    prevProc_ = nullptr;
    ReleaseQueuedCarriers();
}

void* CFuncDispatch::GetSignal() {
    {
        ScopedLock guard(lock_);
        if (!freeSignals_.empty()) {
            void* carrier = freeSignals_.front();
            freeSignals_.pop_front();
            return carrier;
        }
    }
    return new CarrierSignal();
}

void CFuncDispatch::SignalConnect(void* carrier, void* slot) {
    ConnectCarrier(carrier, slot);
}

bool CFuncDispatch::PostCarrier(void* carrier) {
    for (;;) {
        {
            ScopedLock guard(lock_);
            if (!prevProc_)
                return false;
            if (PostMessageW(window_, kDispatchMessage, reinterpret_cast<WPARAM>(carrier), 0))
                return true;
        }
        // The window's queue is full: wait outside the lock so the window's
        // thread can drain it (it needs the lock to recycle each carrier).
        if (!IsWindow(window_))
            return false;
        SleepEx(kPostRetryMs, TRUE);
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
    }
    if (!PostCarrier(carrier)) {
        {
            ScopedLock guard(lock_);
            waiters_.erase(carrier);
        }
        RecycleSignal(carrier);
        CloseHandle(done);
        return;
    }
    // Woken when the callable has run or was released unrun; the poll also
    // ends the wait if the window went away with the message still queued.
    while (WaitForSingleObject(done, kWaiterPollMs) == WAIT_TIMEOUT) {
        if (InterlockedRead(&generation_) != generation || !IsWindow(window_))
            break;
    }
    {
        // The carrier may already serve another waiter: erase only our own.
        ScopedLock guard(lock_);
        auto waiter = waiters_.find(carrier);
        if (waiter != waiters_.end() && waiter->second == done)
            waiters_.erase(waiter);
    }
    CloseHandle(done);
}

void CFuncDispatch::WakeWaiter(void* carrier) {
    ScopedLock guard(lock_);
    if (waiters_.empty())
        return;
    auto waiter = waiters_.find(carrier);
    if (waiter == waiters_.end())
        return;
    SetEvent(waiter->second);
    waiters_.erase(waiter);
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
    WakeWaiter(carrier);
    RecycleSignal(carrier);
}

void CFuncDispatch::RecycleSignal(void* carrier) {
    if (!carrier)
        return;
    CFuncDispatch& self = Instance();
    {
        ScopedLock guard(self.lock_);
        if (self.freeSignals_.size() < kFreeSignalPoolSize) {
            AsCarrier(carrier)->disconnect_all_slots();
            self.freeSignals_.push_back(carrier);
            return;
        }
    }
    DestroyCarrier(carrier);
}

long CFuncDispatch::SetTimer(unsigned int intervalMs, void* carrier, int repeat) {
    const long id = InterlockedIncrement(&lastTimerId_);
    ScopedLock guard(lock_);
    const UINT_PTR started =
        prevProc_ ? ::SetTimer(window_, static_cast<UINT_PTR>(id), intervalMs, nullptr) : 0;
    if (started) {
        timers_[static_cast<unsigned int>(id)] = TimerEntry{carrier, repeat == 1};
    } else {
        RecycleSignal(carrier);  // the callable can never run
    }
    return id;
}

void CFuncDispatch::KillTimer(long id) {
    ScopedLock guard(lock_);
    ::KillTimer(window_, static_cast<UINT_PTR>(id));
    auto timer = timers_.find(static_cast<unsigned int>(id));
    if (timer == timers_.end())
        return;
    ReleaseTimerCarrier(timer->second.carrier);
    timers_.erase(timer);
}

void CFuncDispatch::ReleaseTimerCarrier(void* carrier) {
    if (std::find(emittingTimers_.begin(), emittingTimers_.end(), carrier) !=
        emittingTimers_.end()) {
        stoppedWhileEmitting_.push_back(carrier);
        return;
    }
    RecycleSignal(carrier);
}

int CFuncDispatch::ExecuteTimer(unsigned int id) {
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
    ScopedLock guard(lock_);
    emittingTimers_.erase(std::find(emittingTimers_.begin(), emittingTimers_.end(), entry.carrier));
    auto stopped =
        std::find(stoppedWhileEmitting_.begin(), stoppedWhileEmitting_.end(), entry.carrier);
    if (stopped != stoppedWhileEmitting_.end()) {
        stoppedWhileEmitting_.erase(stopped);
        ReleaseTimerCarrier(entry.carrier);
    }
    return 1;
}

void CFuncDispatch::ReleaseQueuedCarriers() {
    // Only the window's thread can take messages off its queue.
    if (!IsWindowThread())
        return;
    MSG msg;
    while (PeekMessageW(&msg, window_, kDispatchMessage, kDispatchMessage, PM_REMOVE)) {
        void* carrier = reinterpret_cast<void*>(msg.wParam);
        WakeWaiter(carrier);
        RecycleSignal(carrier);
    }
}

void CFuncDispatch::ForgetWindow() {
    ScopedLock guard(lock_);
    InterlockedIncrement(&generation_);
    for (const auto& timer : timers_)
        ReleaseTimerCarrier(timer.second.carrier);
    timers_.clear();
    ReleaseQueuedCarriers();
    prevProc_ = nullptr;
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
