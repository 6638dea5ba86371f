// layer.h: the waitable-object model, the handle table and the per-thread
// state shared by the posix families. Conformance tests:
// tests/platform/wait_test.cpp, tests/platform/thread_test.cpp.
//
// Thread affinity: any thread. Lock order: LayerLock() is the only lock of
// the threading and window layer and is a leaf: no user code, callback or
// other lock is entered while it is held; object destructors and
// Object::OnHandleClosed run after it is released.
#pragma once

#include "vxplatform.h"

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace vxp {

using Clock = std::chrono::steady_clock;

// Guards every object's state, the handle table, the thread and window
// registries and every message queue.
std::mutex& LayerLock();

struct WaitBlock;
struct ThreadState;
struct MessageQueue;

// Base of every object a HANDLE names. Other posix families derive their
// own handle objects from it so that CloseHandle and the waits know them.
class Object {
public:
    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    virtual ~Object() = default;

    void AddRef() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Release() noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }

    // Under LayerLock: whether a wait on the object would be satisfied now,
    // and the consumption by a satisfied wait (auto-reset events reset).
    virtual bool IsSignalledLocked() const { return false; }
    virtual void AcquireLocked() {}

    // Outside LayerLock, on the closing thread: the object's handle was
    // closed. References held by running waits may keep it alive.
    virtual void OnHandleClosed() {}

    // Under LayerLock, after the object became signalled: satisfies the
    // waits blocked on it, oldest first, for as long as it stays signalled.
    void WakeWaitersLocked();

    std::vector<WaitBlock*> waiters;  // under LayerLock

private:
    std::atomic<long> refs_{1};
};

// Inserts the object under a new handle, taking over the caller's reference.
// Returns null (ERROR_NO_SYSTEM_RESOURCES) when the table is exhausted.
HANDLE InsertHandle(Object* object);
// Under LayerLock: the object of a handle, or null; no reference is taken.
Object* LookupHandleLocked(HANDLE handle);

// Thrown out of a layer wait of a thread that TerminateThread marked; caught
// by the thread's start routine. Deliberately not a std::exception.
struct ThreadTerminated {
    DWORD exitCode;
};

// The waitable object of a thread: signalled once the thread has ended.
class ThreadObject final : public Object {
public:
    bool IsSignalledLocked() const override { return ended; }

    DWORD id = 0;
    bool layerThread = false;  // started by CreateThread
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
    int priority = THREAD_PRIORITY_NORMAL;
    pid_t kernelTid = 0;  // 0 until the thread runs
    pthread_t pthread{};  // valid while known and not ended
    bool pthreadKnown = false;
    bool exiting = false;  // past its own exit path; ended once joined
    bool terminateRequested = false;
    DWORD terminateCode = 0;
    ThreadState* state = nullptr;  // while the thread lives
};

// One per thread that ever called into the layer; destroyed when the thread
// ends. Fields are under LayerLock unless marked otherwise.
struct ThreadState {
    DWORD id = 0;
    ThreadObject* object = nullptr;  // one reference held
    std::condition_variable wake;    // used with LayerLock
    WaitBlock* wait = nullptr;       // the wait the thread is blocked in
    MessageQueue* queue = nullptr;   // created by the window family on first use
    // Owner thread only:
    int comDepth = 0;
    DWORD comMode = 0;
    DWORD exitCode = 0;  // what the thread's function returned
};

// The calling thread's state, created on first use (takes LayerLock then,
// so never call it with LayerLock held); SelfIfAttached() never creates.
ThreadState& Self();
ThreadState* SelfIfAttached();
// Under LayerLock: a thread that has not ended, by id, or null.
ThreadObject* FindThreadLocked(DWORD id);

// One blocking wait of one thread.
struct WaitBlock {
    ThreadState* thread = nullptr;
    Object* const* objects = nullptr;
    DWORD count = 0;
    bool waitAll = false;
    // Message waits: also satisfied by new input of these QS_* kinds.
    MessageQueue* queue = nullptr;
    DWORD wakeMask = 0;
    bool done = false;
    DWORD result = WAIT_TIMEOUT;
};

// Under LayerLock: satisfies the wait from its objects if it can (consuming
// them) and sets done and result.
bool TrySatisfyLocked(WaitBlock& wait);
// Under LayerLock: marks the wait satisfied with the result and wakes it.
void CompleteWaitLocked(WaitBlock& wait, DWORD result);

// Throws ThreadTerminated when the calling thread was marked.
void CheckTerminatedLocked(const ThreadState& self);

// The common wait: handles are validated (WAIT_FAILED and
// ERROR_INVALID_HANDLE / ERROR_INVALID_PARAMETER otherwise); with a queue,
// input of the wake mask satisfies it as WAIT_OBJECT_0 + count, and reaching
// inputDue (a window timer falling due) does too.
DWORD WaitCommon(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds,
                 MessageQueue* queue, DWORD wakeMask, Clock::time_point inputDue);

// Window family hooks, under LayerLock.
bool QueueHasInputLocked(const MessageQueue& queue, DWORD wakeMask);
void QueueAttachWaitLocked(MessageQueue& queue, WaitBlock* wait);
// On the queue's owner, blocked in a message wait: a window timer fell due.
// Records it as new input, which may satisfy the wait.
void QueueTimerDueLocked(MessageQueue& queue);
// Outside LayerLock, on the ending thread: destroys its windows and queue.
void DestroyThreadQueue(ThreadState& self);

}  // namespace vxp
