/// @file
/// FuncDispatch.h: runs callables and timers on the thread that owns one
/// window of the host (usually its UI thread).
///
/// Threads: Dispatch and DispatchAndWait from any thread; StartTimer,
/// StopTimer and the window procedure on the window's thread; Init and UnInit
/// by the host before the first and after the last use (UnInit may run on
/// another thread).
/// Locks: one recursive lock, always the last lock taken (event sources post
/// while holding their own). No host code ever runs under it: callables, the
/// destructors of their captured values (run when a carrier is recycled or
/// released) and window procedures (including those Windows may call from
/// inside a message peek) all run after the lock is left.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <vector>

#include <boost/signals2/signal.hpp>

#include "vxplatform.h"
#include "VexloTool/Export.h"
#include "VexloTool/SingletonImpl.h"

namespace VexloTool {

VEXLOTOOL_SINGLETON(CFuncDispatch);

/// The process-wide window-thread dispatcher, reached through Instance(). The
/// other services that report to the host (HTTP notices, socket
/// notifications) post through it, so the host initialises it first and stops
/// it last. Callables and timers run from the window's message loop: the host
/// keeps pumping that thread's messages.
///
/// A callable that throws on the window thread is caught there: the
/// exception never unwinds through the host's message loop, the carrier
/// is recycled and later callables run as usual.
class VEXLOTOOL_API CFuncDispatch : public SingletonImpl<CFuncDispatch, 0> {
public:
    /// The signal that carries one callable to the window thread.
    typedef boost::signals2::signal<void()> CarrierSignal;
    /// A callable taking no argument; lambdas convert to it. Its captured
    /// values are destroyed after it has run (or when it is dropped), never
    /// under the dispatcher's lock: capture by value what must outlive the
    /// caller's frame.
    typedef CarrierSignal::slot_type Slot;

    /// The private window message that carries a callable; wParam = carrier.
    static const UINT kDispatchMessage = 0xFFFF;
    /// Carriers kept for reuse once their callable has run.
    static const size_t kFreeSignalPoolSize = 50;

    /// Destroys the carriers kept for reuse. Does not restore the window
    /// procedure: the host calls UnInit first.
    ~CFuncDispatch() override;

    /// Subclasses the window hwnd; the thread that owns it becomes the window
    /// thread. A null or invalid window leaves the dispatcher uninitialised,
    /// so every later dispatch is dropped. A second Init first undoes the
    /// previous one as UnInit does; timer ids restart at 1.
    void Init(HWND hwnd);
    /// Restores the window procedure. Timers are stopped and their callables
    /// released; callables still queued are released without running (the
    /// queue can be reached only when UnInit runs on the window's thread).
    /// Does nothing when not initialised.
    void UnInit();

    /// Runs the callable later on the window's thread. Dropped (and released)
    /// when the dispatcher is not initialised or the window is gone. Another
    /// thread waits while the window's queue is full; the window's own thread
    /// never waits (only it can drain the queue): its callable is held back
    /// and posted, in order, as soon as the queue has room again.
    static void Dispatch(Slot slot) {
        CFuncDispatch& self = Instance();
        void* carrier = self.GetSignal();
        if (!carrier)
            return;
        self.SignalConnect(carrier, &slot);
        self.DispatchFunction(carrier);
    }

    /// Runs the callable on the window's thread and returns once it has run
    /// and its captured values are released: inline when called on that
    /// thread, so it cannot deadlock; returns without running it when the
    /// dispatcher is not (or no longer) initialised or the window is gone.
    static void DispatchAndWait(Slot slot) {
        CFuncDispatch& self = Instance();
        void* carrier = self.GetSignal();
        if (!carrier)
            return;
        self.SignalConnect(carrier, &slot);
        self.DispatchAndWaitFunction(carrier);
    }

    /// Window-thread only. Runs the callable on the window thread after
    /// intervalMs milliseconds: once (repeat false) or every interval until
    /// StopTimer or UnInit. The callable is kept, also after a one-shot timer
    /// has fired, until StopTimer or UnInit releases it. Returns the timer
    /// id (1, 2, 3... from each Init), also when the platform refused the
    /// timer or the dispatcher is not initialised; then the callable is
    /// released and never runs. Returns 0 when no carrier could be taken.
    static long StartTimer(unsigned int intervalMs, Slot slot, bool repeat) {
        CFuncDispatch& self = Instance();
        void* carrier = self.GetSignal();
        if (!carrier)
            return 0;
        self.SignalConnect(carrier, &slot);
        return self.SetTimer(intervalMs, carrier, repeat ? 1 : 0);
    }

    /// Window-thread only. Stops the timer id and releases its callable; an
    /// unknown id is ignored. A timer callable may stop its own
    /// timer: its callable is then released once it returns.
    static void StopTimer(long id) { Instance().KillTimer(id); }

private:
    friend class SingletonImpl<CFuncDispatch, 0>;
    struct TimerEntry {
        void* carrier;
        bool repeat;
    };

    CFuncDispatch();

    void* GetSignal();
    void SignalConnect(void* carrier, void* slot);
    void DispatchFunction(void* carrier);
    void DispatchAndWaitFunction(void* carrier);
    long SetTimer(unsigned int intervalMs, void* carrier, int repeat);
    void KillTimer(long id);
    void ExecuteFunc(void* carrier);
    int ExecuteTimer(unsigned int id);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static void RecycleSignal(void* carrier);

    enum class PostResult { kPosted, kRefused, kStopped };
    bool PostCarrier(void* carrier);
    PostResult PostUnlocked(void* carrier);
    void WaitForPostsInFlight();
    bool DeferLocked(void* carrier);
    void PostDeferred();
    bool IsWindowThread() const;
    void Emit(void* carrier);
    void* TakeTimerCarrierLocked(void* carrier);
    void ForgetTimersLocked(std::vector<void*>& released);
    void ReleaseQueuedCarriers(HWND hwnd);
    void ForgetWindow();
    HANDLE TakeWaiter(void* carrier);
    void Release(void* carrier);

    CRITICAL_SECTION lock_;
    std::map<unsigned int, TimerEntry> timers_;
    std::deque<void*> freeSignals_;
    // freeSignals_.size(), readable without the lock: a dispatch finding the
    // pool empty (or a recycle finding it full) skips the lock; a stale
    // value only makes or destroys one carrier more.
    std::atomic<size_t> freeCount_{0};
    // Window-thread dispatches held back while the window's queue was full,
    // oldest first; a timer posts them once it has room.
    std::deque<void*> deferred_;
    // !deferred_.empty(), readable without the lock; only the window thread
    // adds to deferred_, so it reads its own writes.
    std::atomic<bool> hasDeferred_{false};
    // Posts made without the lock that have not returned yet: a stop waits
    // for them before it releases the queued carriers.
    std::atomic<long> postsInFlight_{0};
    // Written under the lock; read without it on the hot paths.
    std::atomic<HWND> window_{nullptr};
    // Non-null marks the dispatcher as initialised.
    std::atomic<WNDPROC> prevProc_{nullptr};
    volatile LONG lastTimerId_ = 0;
    // Timer carriers being emitted, and those stopped meanwhile: a timer
    // callable may stop its own timer, so its carrier is released only after
    // the emission returns.
    std::vector<void*> emittingTimers_;
    std::vector<void*> stoppedWhileEmitting_;
    // DispatchAndWait callers, keyed by carrier, each with its done event.
    std::map<void*, HANDLE> waiters_;
    // waiters_.size(), readable without the lock: spares every ordinary
    // dispatch a lock round trip.
    std::atomic<size_t> waiterCount_{0};
    // Advanced by every Init and UnInit, so a waiter sees its dispatch gone.
    volatile LONG generation_ = 0;
};

}  // namespace VexloTool
