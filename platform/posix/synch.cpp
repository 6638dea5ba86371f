// synch.cpp: the handle table, the common wait, events, critical sections,
// sleeps and tick counts. Conformance tests: tests/platform/synch_test.cpp,
// tests/platform/wait_test.cpp.
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <unordered_map>

#include "platform/posix/errors.h"
#include "platform/posix/layer.h"

namespace vxp {

namespace {

// Handle values are multiples of 4, as on Windows, and are not reused until
// the 32-bit space wraps, so a stale handle fails instead of hitting a new
// object.
struct HandleTable {
    std::unordered_map<uintptr_t, Object*> objects;
    uint32_t next = 0x100;
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable;  // immortal: threads may outlive exit()
    return *table;
}

const HANDLE kCurrentThreadPseudo = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

class Event final : public Object {
public:
    Event(bool manualReset, bool initial) : manual(manualReset), signalled(initial) {}
    bool IsSignalledLocked() const override { return signalled; }
    void AcquireLocked() override {
        if (!manual)
            signalled = false;
    }

    const bool manual;
    bool signalled;
};

Event* LookupEventLocked(HANDLE handle) {
    return dynamic_cast<Event*>(LookupHandleLocked(handle));
}

}  // namespace

std::mutex& LayerLock() {
    static std::mutex* lock = new std::mutex;  // immortal, see Handles()
    return *lock;
}

HANDLE InsertHandle(Object* object) {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(LayerLock());
    for (uint32_t tries = 0; tries < 0x40000000u; ++tries) {
        const uintptr_t value = table.next;
        table.next += 4;
        if (table.next < 0x100)
            table.next = 0x100;
        if (table.objects.emplace(value, object).second)
            return reinterpret_cast<HANDLE>(value);
    }
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
}

Object* LookupHandleLocked(HANDLE handle) {
    if (handle == kCurrentThreadPseudo) {
        // GetCurrentThread() attached the thread, so this never creates.
        ThreadState* self = SelfIfAttached();
        return self ? self->object : nullptr;
    }
    const auto& objects = Handles().objects;
    auto it = objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == objects.end() ? nullptr : it->second;
}

void Object::WakeWaitersLocked() {
    for (size_t i = 0; i < waiters.size() && IsSignalledLocked(); ++i) {
        WaitBlock* wait = waiters[i];
        if (!wait->done && TrySatisfyLocked(*wait))
            wait->thread->wake.notify_one();
    }
}

bool TrySatisfyLocked(WaitBlock& wait) {
    if (wait.waitAll) {
        for (DWORD i = 0; i < wait.count; ++i) {
            if (!wait.objects[i]->IsSignalledLocked())
                return false;
        }
        if (wait.queue && !QueueHasInputLocked(*wait.queue, wait.wakeMask))
            return false;
        for (DWORD i = 0; i < wait.count; ++i)
            wait.objects[i]->AcquireLocked();
        wait.done = true;
        wait.result = WAIT_OBJECT_0;
        return true;
    }
    for (DWORD i = 0; i < wait.count; ++i) {
        if (wait.objects[i]->IsSignalledLocked()) {
            wait.objects[i]->AcquireLocked();
            wait.done = true;
            wait.result = WAIT_OBJECT_0 + i;
            return true;
        }
    }
    return false;
}

void CompleteWaitLocked(WaitBlock& wait, DWORD result) {
    wait.done = true;
    wait.result = result;
    wait.thread->wake.notify_one();
}

void CheckTerminatedLocked(const ThreadState& self) {
    if (self.object->terminateRequested)
        throw ThreadTerminated{self.object->terminateCode};
}

DWORD WaitCommon(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds,
                 MessageQueue* queue, DWORD wakeMask, Clock::time_point inputDue) {
    if (count > MAXIMUM_WAIT_OBJECTS || (count != 0 && !handles)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    ThreadState& self = Self();
    const Clock::time_point start = Clock::now();
    Object* objects[MAXIMUM_WAIT_OBJECTS];

    std::unique_lock<std::mutex> lock(LayerLock());
    for (DWORD i = 0; i < count; ++i) {
        objects[i] = LookupHandleLocked(handles[i]);
        if (!objects[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (waitAll) {
            for (DWORD j = 0; j < i; ++j) {
                if (objects[j] == objects[i]) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
            }
        }
    }
    CheckTerminatedLocked(self);

    WaitBlock wait;
    wait.thread = &self;
    wait.objects = objects;
    wait.count = count;
    wait.waitAll = waitAll;
    wait.queue = queue;
    wait.wakeMask = wakeMask;
    if (TrySatisfyLocked(wait))
        return wait.result;
    if (queue && !waitAll && QueueHasInputLocked(*queue, wakeMask))
        return WAIT_OBJECT_0 + count;
    if (milliseconds == 0)
        return WAIT_TIMEOUT;

    // Block. References keep the objects alive should their handles be
    // closed meanwhile.
    for (DWORD i = 0; i < count; ++i) {
        objects[i]->AddRef();
        objects[i]->waiters.push_back(&wait);
    }
    if (queue)
        QueueAttachWaitLocked(*queue, &wait);
    self.wait = &wait;
    const bool timed = milliseconds != INFINITE;
    const Clock::time_point deadline = start + std::chrono::milliseconds(milliseconds);
    bool inputTimed = queue && inputDue != Clock::time_point::max();
    while (!wait.done && !self.object->terminateRequested) {
        if (!timed && !inputTimed) {
            self.wake.wait(lock);
            continue;
        }
        Clock::time_point until = timed ? deadline : inputDue;
        if (inputTimed && inputDue < until)
            until = inputDue;
        if (self.wake.wait_until(lock, until) != std::cv_status::timeout || wait.done)
            continue;
        const Clock::time_point now = Clock::now();
        if (inputTimed && now >= inputDue) {
            // A window timer fell due: new input, once. It ends a wait-any at
            // once; a wait-all goes on until its objects are signalled too,
            // or its own time-out.
            inputTimed = false;
            QueueTimerDueLocked(*queue);
        } else if (timed && now >= deadline) {
            wait.done = true;
            wait.result = WAIT_TIMEOUT;
        }
    }
    self.wait = nullptr;
    if (queue)
        QueueAttachWaitLocked(*queue, nullptr);
    for (DWORD i = 0; i < count; ++i) {
        std::vector<WaitBlock*>& list = objects[i]->waiters;
        for (size_t k = 0; k < list.size(); ++k) {
            if (list[k] == &wait) {
                list.erase(list.begin() + static_cast<std::ptrdiff_t>(k));
                break;
            }
        }
    }
    const bool terminated = self.object->terminateRequested;
    const DWORD terminateCode = self.object->terminateCode;
    lock.unlock();
    for (DWORD i = 0; i < count; ++i)
        objects[i]->Release();
    if (terminated)
        throw ThreadTerminated{terminateCode};
    return wait.result;
}

}  // namespace vxp

using vxp::LayerLock;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
    auto* event = new (std::nothrow) vxp::Event(manualReset != FALSE, initialState != FALSE);
    if (!event) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = vxp::InsertHandle(event);
    if (!handle) {
        event->Release();
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL SetEvent(HANDLE handle) {
    std::lock_guard<std::mutex> guard(LayerLock());
    vxp::Event* event = vxp::LookupEventLocked(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!event->signalled) {
        event->signalled = true;
        if (!event->waiters.empty())
            event->WakeWaitersLocked();
    }
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    std::lock_guard<std::mutex> guard(LayerLock());
    vxp::Event* event = vxp::LookupEventLocked(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->signalled = false;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    if (handle == vxp::kCurrentThreadPseudo)
        return TRUE;
    vxp::Object* object = nullptr;
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        auto& objects = vxp::Handles().objects;
        auto it = objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it != objects.end()) {
            object = it->second;
            objects.erase(it);
        }
    }
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->OnHandleClosed();
    object->Release();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    return vxp::WaitCommon(1, &object, false, milliseconds, nullptr, 0,
                           vxp::Clock::time_point::max());
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds) {
    if (count == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return vxp::WaitCommon(count, objects, waitAll != FALSE, milliseconds, nullptr, 0,
                           vxp::Clock::time_point::max());
}

void Sleep(DWORD milliseconds) {
    SleepEx(milliseconds, FALSE);
}

DWORD SleepEx(DWORD milliseconds, BOOL) {
    if (milliseconds == 0) {
        vxp::ThreadState& self = vxp::Self();
        {
            std::lock_guard<std::mutex> guard(LayerLock());
            vxp::CheckTerminatedLocked(self);
        }
        sched_yield();
        return 0;
    }
    vxp::WaitCommon(0, nullptr, false, milliseconds, nullptr, 0, vxp::Clock::time_point::max());
    return 0;
}

ULONGLONG GetTickCount64() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000u +
           static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}

DWORD GetTickCount() {
    return static_cast<DWORD>(GetTickCount64());
}

// Critical sections: a recursive pthread mutex placed in the caller's
// structure; initialising it holds no resources, so the layer never leaks
// when a structure is initialised twice.
namespace {

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION section) {
    static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::Opaque),
                  "CRITICAL_SECTION storage too small");
    static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION),
                  "CRITICAL_SECTION storage misaligned");
    return reinterpret_cast<pthread_mutex_t*>(section->Opaque);
}

// The spin count lives after the mutex in the same storage.
constexpr size_t kSpinOffset = (sizeof(pthread_mutex_t) + 7) / 8 * 8;
static_assert(kSpinOffset + sizeof(DWORD) <= sizeof(CRITICAL_SECTION::Opaque),
              "CRITICAL_SECTION storage too small for the spin count");

DWORD* SpinCountOf(LPCRITICAL_SECTION section) {
    return reinterpret_cast<DWORD*>(section->Opaque + kSpinOffset);
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

bool SeveralProcessors() {
    static const bool several = sysconf(_SC_NPROCESSORS_ONLN) > 1;
    return several;
}

// Whether the calling thread may run on more than one processor. Spinning
// for a lock whose holder can only run on our own processor just burns the
// time slice the holder needs (a thread pinned by the host, or by taskset).
// The affinity is read again now and then, as a host may change it.
bool MaySpin() {
    constexpr unsigned kRecheckEvery = 256;
    thread_local unsigned until = 0;
    thread_local bool several = true;
    if (until-- == 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        several = sched_getaffinity(0, sizeof set, &set) != 0 || CPU_COUNT(&set) > 1;
        until = kRecheckEvery - 1;
    }
    return several;
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    std::memset(section->Opaque, 0, sizeof(section->Opaque));
    pthread_mutex_init(MutexOf(section), &attributes);
    pthread_mutexattr_destroy(&attributes);
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount) {
    InitializeCriticalSection(section);
    // As on Windows, spinning only pays with more than one processor.
    *SpinCountOf(section) = SeveralProcessors() ? spinCount : 0;
    return TRUE;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    if (pthread_mutex_trylock(MutexOf(section)) == 0)
        return;
    // A briefly held lock is cheaper to spin for than to sleep on: a futex
    // wait and wake cost microseconds.
    DWORD spin = *SpinCountOf(section);
    if (spin != 0 && MaySpin()) {
        for (; spin > 0; --spin) {
            CpuRelax();
            if (pthread_mutex_trylock(MutexOf(section)) == 0)
                return;
        }
    }
    pthread_mutex_lock(MutexOf(section));
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    return pthread_mutex_trylock(MutexOf(section)) == 0 ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_unlock(MutexOf(section));
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_destroy(MutexOf(section));
}
