// thread.cpp: threads, the per-thread state, forced termination,
// priorities, processor count and the COM apartment pair.
// Conformance tests: tests/platform/thread_test.cpp.
#include <limits.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/posix/errors.h"
#include "platform/posix/layer.h"

namespace vxp {

namespace {

std::unordered_map<DWORD, ThreadObject*>& LiveThreads() {
    static auto* threads = new std::unordered_map<DWORD, ThreadObject*>;  // immortal
    return *threads;
}

// Layer thread ids: multiples of 4 like Windows ids, not reused.
DWORD NextThreadId() {
    static std::atomic<DWORD> next{0x104};
    DWORD id = next.fetch_add(4, std::memory_order_relaxed);
    if (id == 0)
        id = next.fetch_add(4, std::memory_order_relaxed);
    return id;
}

pid_t KernelTid() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// The process's nice value when the layer first looked: NORMAL maps to it.
int BaseNice() {
    static const int base = [] {
        errno = 0;
        const int value = getpriority(PRIO_PROCESS, 0);
        return errno == 0 ? value : 0;
    }();
    return base;
}

int NiceOffset(int priority) {
    switch (priority) {
        case THREAD_PRIORITY_IDLE:
            return 19;
        case THREAD_PRIORITY_LOWEST:
            return 10;
        case THREAD_PRIORITY_BELOW_NORMAL:
            return 5;
        case THREAD_PRIORITY_NORMAL:
            return 0;
        case THREAD_PRIORITY_ABOVE_NORMAL:
            return -5;
        case THREAD_PRIORITY_HIGHEST:
            return -10;
        default:
            return -19;  // TIME_CRITICAL
    }
}

bool IsValidPriority(int priority) {
    switch (priority) {
        case THREAD_PRIORITY_IDLE:
        case THREAD_PRIORITY_LOWEST:
        case THREAD_PRIORITY_BELOW_NORMAL:
        case THREAD_PRIORITY_NORMAL:
        case THREAD_PRIORITY_ABOVE_NORMAL:
        case THREAD_PRIORITY_HIGHEST:
        case THREAD_PRIORITY_TIME_CRITICAL:
            return true;
        default:
            return false;
    }
}

// Linux nice values are per thread. Raising fails without privileges; the
// priority is remembered either way.
void ApplyNiceLocked(const ThreadObject& thread) {
    int nice = BaseNice() + NiceOffset(thread.priority);
    if (nice > 19)
        nice = 19;
    if (nice < -20)
        nice = -20;
    setpriority(PRIO_PROCESS, static_cast<id_t>(thread.kernelTid), nice);
}

thread_local ThreadState* tSelf = nullptr;
thread_local bool tDetached = false;

void Detach();

// Its destructor runs when the thread ends, after every thread_local that
// was constructed later, so the thread's handle is signalled last.
struct Reaper {
    bool armed = false;
    ~Reaper() {
        if (armed)
            Detach();
    }
};

ThreadState& Attach(ThreadObject* object) {
    auto* self = new ThreadState;
    if (!object) {
        object = new ThreadObject;
        object->id = NextThreadId();
    }
    self->object = object;
    self->id = object->id;
    const bool zombie = tDetached;
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        object->state = self;
        object->kernelTid = KernelTid();
        object->pthread = pthread_self();
        object->pthreadKnown = true;
        if (object->priority != THREAD_PRIORITY_NORMAL)
            ApplyNiceLocked(*object);
        if (!zombie)
            LiveThreads()[object->id] = object;
    }
    tSelf = self;
    if (zombie) {
        // A destructor running after the thread's teardown called the layer:
        // serve it with a state nobody else can reach, kept reachable.
        static auto* zombies = new std::vector<ThreadState*>;
        std::lock_guard<std::mutex> guard(LayerLock());
        zombies->push_back(self);
    } else {
        static thread_local Reaper reaper;
        reaper.armed = true;
    }
    return *self;
}

// Signals that the thread has ended and drops the thread's own reference.
void MarkEnded(ThreadObject* object) {
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        object->ended = true;
        object->WakeWaitersLocked();
    }
    object->Release();
}

// Signals the handles of threads started by CreateThread once they have
// really ended. A thread's own exit path cannot: after its thread_local
// destructors, the destructors of pthread keys still run, and libraries
// free their per-thread state there (OpenSSL, under libcurl). Windows
// signals a thread handle only after every thread-detach notification, so
// a host may wait for its workers and then exit; signalled any earlier,
// such a destructor would race with the library's own cleanup at exit.
// One joiner thread, outside the layer, joins each ended thread in turn.
class ThreadJoiner {
public:
    // False when no joiner can run: the caller signals the thread itself.
    static bool Join(pthread_t thread, ThreadObject* object) {
        static auto* joiner = new ThreadJoiner;  // immortal: threads end during exit
        return joiner->Add(thread, object);
    }

private:
    struct Ended {
        pthread_t thread;
        ThreadObject* object;  // the thread's own reference
    };

    bool Add(pthread_t thread, ThreadObject* object) {
        std::lock_guard<std::mutex> guard(mutex_);
        // A forked child has no joiner until it starts one of its own.
        if (owner_ != getpid()) {
            if (!Start())
                return false;
            owner_ = getpid();
        }
        ended_.push_back(Ended{thread, object});
        wake_.notify_one();
        return true;
    }

    bool Start() {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        const bool started = pthread_create(&thread, &attributes, &ThreadJoiner::Run, this) == 0;
        pthread_attr_destroy(&attributes);
        return started;
    }

    static void* Run(void* raw) {
        auto* self = static_cast<ThreadJoiner*>(raw);
        pthread_setname_np(pthread_self(), "vx-joiner");
        for (;;) {
            Ended ended;
            {
                std::unique_lock<std::mutex> lock(self->mutex_);
                self->wake_.wait(lock, [self] { return !self->ended_.empty(); });
                ended = self->ended_.front();
                self->ended_.pop_front();
            }
            pthread_join(ended.thread, nullptr);
            MarkEnded(ended.object);
        }
        return nullptr;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Ended> ended_;
    pid_t owner_ = 0;  // the process whose joiner runs
};

void Detach() {
    ThreadState* self = tSelf;
    if (!self)
        return;
    DestroyThreadQueue(*self);
    ThreadObject* object = self->object;
    pthread_t thread;
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        thread = object->pthread;
        LiveThreads().erase(object->id);
        object->state = nullptr;
        object->pthreadKnown = false;
        object->exiting = true;
        object->exitCode = object->terminateRequested ? object->terminateCode : self->exitCode;
    }
    // Threads the layer started are joined and signalled once they have
    // ended; any other thread is signalled now (the layer cannot join it).
    if (!object->layerThread) {
        MarkEnded(object);
    } else if (!ThreadJoiner::Join(thread, object)) {
        pthread_detach(thread);
        MarkEnded(object);
    }
    delete self;
    tSelf = nullptr;
    tDetached = true;
}

struct StartBlock {
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
    ThreadObject* object;  // one reference, handed to the thread
};

void* ThreadMain(void* raw) {
    std::unique_ptr<StartBlock> block(static_cast<StartBlock*>(raw));
    ThreadState& self = Attach(block->object);
    DWORD code;
    try {
        code = block->start(block->parameter);
    } catch (const ThreadTerminated& terminated) {
        code = terminated.exitCode;
    }
    self.exitCode = code;
    return nullptr;
}

ThreadObject* LookupThreadLocked(HANDLE handle) {
    return dynamic_cast<ThreadObject*>(LookupHandleLocked(handle));
}

}  // namespace

ThreadState& Self() {
    if (tSelf)
        return *tSelf;
    return Attach(nullptr);
}

ThreadState* SelfIfAttached() {
    return tSelf;
}

ThreadObject* FindThreadLocked(DWORD id) {
    auto& threads = LiveThreads();
    auto it = threads.find(id);
    return it == threads.end() ? nullptr : it->second;
}

}  // namespace vxp

using vxp::LayerLock;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId) {
    if (!start || (flags & ~STACK_SIZE_PARAM_IS_A_RESERVATION) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* object = new (std::nothrow) vxp::ThreadObject;
    auto* block = new (std::nothrow) vxp::StartBlock{start, parameter, object};
    if (!object || !block) {
        delete object;
        delete block;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    object->id = vxp::NextThreadId();
    object->layerThread = true;
    object->AddRef();  // the thread's own reference, carried by the block
    {
        // Registered before it runs, so the id works for naming and for
        // PostThreadMessageW (which fails until the thread has a queue).
        std::lock_guard<std::mutex> guard(LayerLock());
        vxp::LiveThreads()[object->id] = object;
    }
    HANDLE handle = vxp::InsertHandle(object);
    pthread_attr_t attributes;  // joinable: see ThreadJoiner
    pthread_attr_init(&attributes);
    if (stackSize != 0) {
        const SIZE_T page = static_cast<SIZE_T>(sysconf(_SC_PAGESIZE));
        SIZE_T size = (stackSize + page - 1) / page * page;
        if (size < static_cast<SIZE_T>(PTHREAD_STACK_MIN))
            size = PTHREAD_STACK_MIN;
        pthread_attr_setstacksize(&attributes, size);
    }
    pthread_t thread;
    const int error = handle ? pthread_create(&thread, &attributes, vxp::ThreadMain, block) : 0;
    pthread_attr_destroy(&attributes);
    if (!handle || error != 0) {
        {
            std::lock_guard<std::mutex> guard(LayerLock());
            vxp::LiveThreads().erase(object->id);
        }
        if (handle) {
            CloseHandle(handle);
            vxp::SetLastErrorFromErrno(error);
        }
        delete block;
        object->Release();
        if (!handle)
            object->Release();
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        if (!object->exiting && !object->pthreadKnown) {
            object->pthread = thread;
            object->pthreadKnown = true;
        }
    }
    if (threadId)
        *threadId = object->id;
    return handle;
}

DWORD GetCurrentThreadId() {
    return vxp::Self().id;
}

HANDLE GetCurrentThread() {
    vxp::Self();  // attach now, so the pseudo handle always resolves
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    std::lock_guard<std::mutex> guard(LayerLock());
    vxp::ThreadObject* thread = vxp::LookupThreadLocked(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!exitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = thread->ended ? thread->exitCode : STILL_ACTIVE;
    return TRUE;
}

BOOL SetThreadPriority(HANDLE handle, int priority) {
    std::lock_guard<std::mutex> guard(LayerLock());
    vxp::ThreadObject* thread = vxp::LookupThreadLocked(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!vxp::IsValidPriority(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    thread->priority = priority;
    if (!thread->exiting && thread->kernelTid != 0)
        vxp::ApplyNiceLocked(*thread);
    return TRUE;
}

int GetThreadPriority(HANDLE handle) {
    std::lock_guard<std::mutex> guard(LayerLock());
    vxp::ThreadObject* thread = vxp::LookupThreadLocked(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return thread->priority;
}

BOOL TerminateThread(HANDLE handle, DWORD exitCode) {
    vxp::ThreadState& self = vxp::Self();
    std::unique_lock<std::mutex> lock(LayerLock());
    vxp::ThreadObject* thread = vxp::LookupThreadLocked(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (thread->ended || thread->terminateRequested)
        return TRUE;
    if (!thread->layerThread) {
        // Nothing would catch the unwinding of a thread the layer did not
        // start (only its own pseudo handle reaches here).
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    thread->terminateRequested = true;
    thread->terminateCode = exitCode;
    if (thread == self.object)
        throw vxp::ThreadTerminated{exitCode};
    if (thread->state)
        thread->state->wake.notify_one();
    return TRUE;
}

void GetSystemInfo(LPSYSTEM_INFO info) {
    if (!info)
        return;
    *info = SYSTEM_INFO{};
    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    info->wProcessorArchitecture = 9;  // PROCESSOR_ARCHITECTURE_AMD64
    info->dwPageSize = static_cast<DWORD>(sysconf(_SC_PAGESIZE));
    info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(0x10000);
    info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(0x7ffffffeffffULL);
    info->dwNumberOfProcessors = processors > 0 ? static_cast<DWORD>(processors) : 1u;
    info->dwActiveProcessorMask = info->dwNumberOfProcessors >= sizeof(DWORD_PTR) * 8
                                      ? ~DWORD_PTR{0}
                                      : (DWORD_PTR{1} << info->dwNumberOfProcessors) - 1;
    info->dwProcessorType = 8664;  // PROCESSOR_AMD_X8664
    info->dwAllocationGranularity = 0x10000;
}

HRESULT CoInitialize(LPVOID reserved) {
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

HRESULT CoInitializeEx(LPVOID, DWORD coInit) {
    vxp::ThreadState& self = vxp::Self();
    const DWORD mode = coInit & COINIT_APARTMENTTHREADED;
    if (self.comDepth > 0 && self.comMode != mode)
        return RPC_E_CHANGED_MODE;
    self.comMode = mode;
    return ++self.comDepth == 1 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    vxp::ThreadState& self = vxp::Self();
    if (self.comDepth > 0)
        --self.comDepth;
}
