// winuser.cpp: message-only windows, window classes, message queues,
// posted and thread messages, window timers and message waits.
// Conformance tests: tests/platform/window_test.cpp,
// tests/platform/message_test.cpp, tests/platform/timer_test.cpp.
//
// Thread affinity: a queue belongs to one thread; posts come from any
// thread. Its posted messages, quit flag, change bits, wake descriptor and
// timers killed by other threads are under LayerLock (the layer's only
// lock). Its timers are changed by the owning thread alone: their index
// under the lock (so another thread may look one up), read by the owner
// without it; their due-time orders and the timer descriptor are the
// owner's alone. Window procedures and timer
// procedures always run without the lock.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cwctype>
#include <deque>
#include <iterator>
#include <map>
#include <new>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/posix/errors.h"
#include "platform/posix/layer.h"

namespace vxp {

namespace {

// Windows' default limit of posted messages per queue.
constexpr size_t kPostedMessageQuota = 10000;
// USER_TIMER_MINIMUM and USER_TIMER_MAXIMUM.
constexpr UINT kTimerMinimum = 0x0A;
constexpr UINT kTimerMaximum = 0x7FFFFFFF;

const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

struct PostedMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
};

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    UINT interval;
    TIMERPROC procedure;
    Clock::time_point due;
    bool announced;  // this expiry already counted as new input
    uint64_t order;  // creation order: breaks ties between equal due times
};

// Earliest due first; among equals, the older timer first.
struct DueFirst {
    bool operator()(const Timer* a, const Timer* b) const {
        return a->due != b->due ? a->due < b->due : a->order < b->order;
    }
};

// A queue's timers, indexed by window and id and ordered by due time, so
// arming, killing and finding the next due timer stay logarithmic however
// many timers are pending.
struct TimerSet {
    using Key = std::pair<HWND, UINT_PTR>;
    std::map<Key, Timer> byKey;
    // Every timer, and those whose current expiry has not yet been counted
    // as new input.
    std::set<Timer*, DueFirst> byDue;
    std::set<Timer*, DueFirst> unannounced;
    uint64_t nextOrder = 0;

    bool empty() const { return byKey.empty(); }
    Timer* Find(HWND hwnd, UINT_PTR id) {
        auto it = byKey.find(Key(hwnd, id));
        return it == byKey.end() ? nullptr : &it->second;
    }
    void Add(const Timer& timer) {
        auto it = byKey.emplace(Key(timer.hwnd, timer.id), timer).first;
        it->second.order = nextOrder++;
        byDue.insert(&it->second);
        if (!it->second.announced)
            unannounced.insert(&it->second);
    }
    // Gives the timer a new expiry, not yet announced.
    void Reschedule(Timer& timer, Clock::time_point due) {
        byDue.erase(&timer);
        unannounced.erase(&timer);
        timer.due = due;
        timer.announced = false;
        byDue.insert(&timer);
        unannounced.insert(&timer);
    }
    void Erase(std::map<Key, Timer>::iterator it) {
        byDue.erase(&it->second);
        unannounced.erase(&it->second);
        byKey.erase(it);
    }
    bool Erase(HWND hwnd, UINT_PTR id) {
        auto it = byKey.find(Key(hwnd, id));
        if (it == byKey.end())
            return false;
        Erase(it);
        return true;
    }
    // Removes every timer of the window; returns whether there was one.
    bool EraseWindow(HWND hwnd) {
        bool any = false;
        for (auto it = byKey.lower_bound(Key(hwnd, 0));
             it != byKey.end() && it->first.first == hwnd;) {
            auto next = std::next(it);
            Erase(it);
            it = next;
            any = true;
        }
        return any;
    }
};

struct WindowClass {
    std::wstring key;  // lower-cased name
    ATOM atom;
    WNDPROC procedure;
    HINSTANCE instance;
    int windows;
};

struct Window {
    HWND handle;
    MessageQueue* queue;
    DWORD threadId;
    WNDPROC procedure;
    LONG_PTR userData;
    WindowClass* windowClass;
    bool destroying;
};

struct UserState {
    std::unordered_map<uintptr_t, Window*> windows;
    uintptr_t nextWindow = 0x10020;
    std::vector<WindowClass*> classes;
    ATOM nextAtom = 0xC000;
};

UserState& User() {
    static auto* state = new UserState;  // immortal, like the handle table
    return *state;
}

std::atomic<UINT_PTR> gNextThreadTimerId{0x7F00};

}  // namespace

struct MessageQueue {
    // Under LayerLock.
    ThreadState* owner = nullptr;
    std::deque<PostedMessage> posted;
    bool quitPending = false;
    int quitCode = 0;
    DWORD changedBits = 0;  // QS_* input that arrived since the owner last looked
    WaitBlock* waiting = nullptr;
    int eventFd = -1;
    bool eventArmed = false;
    std::vector<std::pair<HWND, UINT_PTR>> killed;  // by other threads, not yet removed
    std::atomic<bool> killPending{false};
    // Changed by the owner thread only: the index under LayerLock (other
    // threads look timers up), the due-time orders without it.
    TimerSet timers;
    // Owner thread only.
    int timerFd = -1;
    int pollFd = -1;
};

namespace {

Window* FindWindowLocked(HWND handle) {
    const auto& windows = User().windows;
    auto it = windows.find(reinterpret_cast<uintptr_t>(handle));
    return it == windows.end() ? nullptr : it->second;
}

MessageQueue& QueueOf(ThreadState& self) {
    if (!self.queue) {
        auto* queue = new MessageQueue;
        queue->owner = &self;
        std::lock_guard<std::mutex> guard(LayerLock());
        self.queue = queue;
    }
    return *self.queue;
}

void SignalInputLocked(MessageQueue& queue, DWORD bits) {
    queue.changedBits |= bits;
    if (queue.eventFd >= 0 && !queue.eventArmed) {
        const uint64_t one = 1;
        if (write(queue.eventFd, &one, sizeof one) == static_cast<ssize_t>(sizeof one)) {
            queue.eventArmed = true;
        }
    }
    WaitBlock* wait = queue.waiting;
    if (!wait || wait->done || (wait->wakeMask & bits) == 0)
        return;
    if (!wait->waitAll) {
        CompleteWaitLocked(*wait, WAIT_OBJECT_0 + wait->count);
    } else if (TrySatisfyLocked(*wait)) {
        wait->thread->wake.notify_one();
    }
}

BOOL PostLocked(MessageQueue& queue, const PostedMessage& message) {
    if (queue.posted.size() >= kPostedMessageQuota) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    queue.posted.push_back(message);
    SignalInputLocked(queue, QS_POSTMESSAGE | QS_ALLPOSTMESSAGE);
    return TRUE;
}

bool InRange(UINT message, UINT first, UINT last) {
    if (first == 0 && last == 0)
        return true;
    if (first <= last)
        return message >= first && message <= last;
    return message >= first || message <= last;  // a wrapped range
}

bool MatchesWindow(HWND message, HWND filter) {
    if (!filter)
        return true;
    if (filter == kThreadMessagesOnly)
        return message == nullptr;
    return message == filter;
}

// Owner thread. Re-arms the timer descriptor for the earliest due timer.
void UpdateTimerFd(MessageQueue& queue) {
    if (queue.timerFd < 0)
        return;
    uint64_t expirations;
    while (read(queue.timerFd, &expirations, sizeof expirations) > 0) {
    }
    itimerspec setting{};
    if (!queue.timers.empty()) {
        const Clock::time_point due = (*queue.timers.byDue.begin())->due;
        auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
        if (ns <= 0)
            ns = 1;
        setting.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        setting.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    timerfd_settime(queue.timerFd, TFD_TIMER_ABSTIME, &setting, nullptr);
}

// Owner thread: removes the timers that other threads killed.
void ApplyRemoteKills(MessageQueue& queue) {
    if (!queue.killPending.load(std::memory_order_acquire))
        return;
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        for (const auto& kill : queue.killed)
            queue.timers.Erase(kill.first, kill.second);
        queue.killed.clear();
        queue.killPending.store(false, std::memory_order_relaxed);
    }
    UpdateTimerFd(queue);
}

// Owner thread: timers that fell due since they were last announced count
// once as new input.
void AnnounceDueTimers(MessageQueue& queue, Clock::time_point now) {
    auto& unannounced = queue.timers.unannounced;
    bool any = false;
    while (!unannounced.empty() && (*unannounced.begin())->due <= now) {
        (*unannounced.begin())->announced = true;
        unannounced.erase(unannounced.begin());
        any = true;
    }
    if (any) {
        std::lock_guard<std::mutex> guard(LayerLock());
        SignalInputLocked(queue, QS_TIMER);
    }
}

// Owner thread: when the next unannounced timer falls due.
Clock::time_point NextTimerDue(const MessageQueue& queue) {
    const auto& unannounced = queue.timers.unannounced;
    return unannounced.empty() ? Clock::time_point::max() : (*unannounced.begin())->due;
}

// Owner thread: takes (or with PM_NOREMOVE copies) the next message that
// matches: posted messages first, then the quit message, then due timers.
bool Retrieve(MessageQueue& queue, MSG* out, HWND filter, UINT first, UINT last, UINT flags) {
    ApplyRemoteKills(queue);
    const UINT kinds = flags >> 16;
    const bool remove = (flags & PM_REMOVE) != 0;
    const bool hasTimers = !queue.timers.empty();
    const Clock::time_point now = hasTimers ? Clock::now() : Clock::time_point();
    if (hasTimers)
        AnnounceDueTimers(queue, now);
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        queue.changedBits = 0;
        if (kinds == 0 || (kinds & QS_POSTMESSAGE) != 0) {
            for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
                if (!MatchesWindow(it->hwnd, filter) || !InRange(it->message, first, last))
                    continue;
                *out = MSG{it->hwnd, it->message, it->wParam, it->lParam, it->time, POINT{0, 0}};
                if (remove)
                    queue.posted.erase(it);
                return true;
            }
            if (queue.quitPending) {
                *out = MSG{nullptr, WM_QUIT,        static_cast<WPARAM>(queue.quitCode),
                           0,       GetTickCount(), POINT{0, 0}};
                if (remove)
                    queue.quitPending = false;
                return true;
            }
        }
        if (queue.eventArmed && queue.posted.empty() && !queue.quitPending) {
            uint64_t count;
            if (read(queue.eventFd, &count, sizeof count) > 0 || errno == EAGAIN) {
                queue.eventArmed = false;
            }
        }
    }
    if (hasTimers && (kinds == 0 || (kinds & QS_TIMER) != 0) && InRange(WM_TIMER, first, last)) {
        Timer* chosen = nullptr;
        for (Timer* timer : queue.timers.byDue) {
            if (timer->due > now)
                break;
            if (MatchesWindow(timer->hwnd, filter)) {
                chosen = timer;
                break;
            }
        }
        if (chosen) {
            *out = MSG{chosen->hwnd,   WM_TIMER,
                       chosen->id,     reinterpret_cast<LPARAM>(chosen->procedure),
                       GetTickCount(), POINT{0, 0}};
            if (remove) {
                queue.timers.Reschedule(*chosen, now + std::chrono::milliseconds(chosen->interval));
                UpdateTimerFd(queue);
            }
            return true;
        }
    }
    if (queue.timerFd >= 0)
        UpdateTimerFd(queue);
    return false;
}

// A window filter must name an existing window (or be null or -1).
bool ValidFilter(HWND filter) {
    if (!filter || filter == kThreadMessagesOnly)
        return true;
    std::lock_guard<std::mutex> guard(LayerLock());
    if (FindWindowLocked(filter))
        return true;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

WNDPROC ProcedureOf(HWND handle) {
    std::lock_guard<std::mutex> guard(LayerLock());
    Window* window = FindWindowLocked(handle);
    return window ? window->procedure : nullptr;
}

LRESULT CallWindow(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC procedure = ProcedureOf(handle);
    return procedure ? procedure(handle, message, wParam, lParam) : 0;
}

std::wstring ClassKey(LPCWSTR name) {
    std::wstring key(name);
    for (wchar_t& c : key) {
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return key;
}

bool IsAtom(LPCWSTR name) {
    return reinterpret_cast<uintptr_t>(name) < 0x10000;
}

WindowClass* FindClassLocked(LPCWSTR name) {
    auto& classes = User().classes;
    if (IsAtom(name)) {
        const ATOM atom = static_cast<ATOM>(reinterpret_cast<uintptr_t>(name));
        for (WindowClass* c : classes) {
            if (c->atom == atom)
                return c;
        }
        return nullptr;
    }
    const std::wstring key = ClassKey(name);
    for (WindowClass* c : classes) {
        if (c->key == key)
            return c;
    }
    return nullptr;
}

// Owner thread: removes a window whose destruction messages have been sent.
void ForgetWindow(HWND handle) {
    Window* window = nullptr;
    MessageQueue* queue = nullptr;
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        auto& windows = User().windows;
        auto it = windows.find(reinterpret_cast<uintptr_t>(handle));
        if (it == windows.end())
            return;
        window = it->second;
        windows.erase(it);
        window->windowClass->windows--;
        queue = window->queue;
        // Messages still queued for the window are discarded, as on Windows.
        auto& posted = queue->posted;
        posted.erase(std::remove_if(posted.begin(), posted.end(),
                                    [&](const PostedMessage& m) { return m.hwnd == handle; }),
                     posted.end());
    }
    bool removed;
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        removed = queue->timers.EraseWindow(handle);
    }
    if (removed)
        UpdateTimerFd(*queue);
    delete window;
}

}  // namespace

bool QueueHasInputLocked(const MessageQueue& queue, DWORD wakeMask) {
    return (queue.changedBits & wakeMask) != 0;
}

void QueueAttachWaitLocked(MessageQueue& queue, WaitBlock* wait) {
    queue.waiting = wait;
}

void QueueTimerDueLocked(MessageQueue& queue) {
    SignalInputLocked(queue, QS_TIMER);
}

void DestroyThreadQueue(ThreadState& self) {
    MessageQueue* queue = self.queue;
    if (!queue)
        return;
    std::vector<Window*> orphans;
    {
        // Windows die with their thread; later posts to them fail.
        std::lock_guard<std::mutex> guard(LayerLock());
        auto& windows = User().windows;
        for (auto it = windows.begin(); it != windows.end();) {
            if (it->second->queue == queue) {
                it->second->windowClass->windows--;
                orphans.push_back(it->second);
                it = windows.erase(it);
            } else {
                ++it;
            }
        }
        self.queue = nullptr;
    }
    for (Window* window : orphans)
        delete window;
    if (queue->pollFd >= 0)
        close(queue->pollFd);
    if (queue->eventFd >= 0)
        close(queue->eventFd);
    if (queue->timerFd >= 0)
        close(queue->timerFd);
    delete queue;
}

}  // namespace vxp

using vxp::LayerLock;

ATOM RegisterClassExW(const WNDCLASSEXW* windowClass) {
    if (!windowClass || windowClass->cbSize != sizeof(WNDCLASSEXW) || !windowClass->lpszClassName ||
        vxp::IsAtom(windowClass->lpszClassName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> guard(LayerLock());
    if (vxp::FindClassLocked(windowClass->lpszClassName)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    vxp::UserState& user = vxp::User();
    auto* entry = new vxp::WindowClass{vxp::ClassKey(windowClass->lpszClassName), user.nextAtom,
                                       windowClass->lpfnWndProc, windowClass->hInstance, 0};
    user.nextAtom = static_cast<ATOM>(user.nextAtom == 0xFFFF ? 0xC000 : user.nextAtom + 1);
    user.classes.push_back(entry);
    return entry->atom;
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE) {
    if (!className) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    vxp::WindowClass* entry = nullptr;
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        entry = vxp::FindClassLocked(className);
        if (!entry) {
            SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
            return FALSE;
        }
        if (entry->windows > 0) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
        auto& classes = vxp::User().classes;
        classes.erase(std::find(classes.begin(), classes.end(), entry));
    }
    delete entry;
    return TRUE;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID parameter) {
    if (!className) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    vxp::ThreadState& self = vxp::Self();
    vxp::MessageQueue& queue = vxp::QueueOf(self);
    HWND handle;
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        vxp::WindowClass* windowClass = vxp::FindClassLocked(className);
        if (!windowClass) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        if (parent && parent != HWND_MESSAGE && !vxp::FindWindowLocked(parent)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        vxp::UserState& user = vxp::User();
        handle = reinterpret_cast<HWND>(user.nextWindow);
        user.nextWindow += 2;
        auto* window =
            new vxp::Window{handle, &queue, self.id, windowClass->procedure, 0, windowClass, false};
        user.windows.emplace(reinterpret_cast<uintptr_t>(handle), window);
        windowClass->windows++;
    }
    CREATESTRUCTW create{
        parameter,  instance,  menu,   parent, height, width, y, x, static_cast<LONG>(style),
        windowName, className, exStyle};
    if (!vxp::CallWindow(handle, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create))) {
        vxp::CallWindow(handle, WM_NCDESTROY, 0, 0);
        vxp::ForgetWindow(handle);
        return nullptr;
    }
    if (vxp::CallWindow(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
        DestroyWindow(handle);
        return nullptr;
    }
    return handle;
}

BOOL DestroyWindow(HWND handle) {
    vxp::ThreadState& self = vxp::Self();
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        vxp::Window* window = vxp::FindWindowLocked(handle);
        if (!window) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (window->queue != self.queue) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (window->destroying)
            return TRUE;  // called again from its own WM_DESTROY
        window->destroying = true;
    }
    vxp::CallWindow(handle, WM_DESTROY, 0, 0);
    vxp::CallWindow(handle, WM_NCDESTROY, 0, 0);
    vxp::ForgetWindow(handle);
    return TRUE;
}

BOOL IsWindow(HWND handle) {
    std::lock_guard<std::mutex> guard(LayerLock());
    return vxp::FindWindowLocked(handle) ? TRUE : FALSE;
}

DWORD GetWindowThreadProcessId(HWND handle, LPDWORD processId) {
    std::lock_guard<std::mutex> guard(LayerLock());
    vxp::Window* window = vxp::FindWindowLocked(handle);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (processId)
        *processId = static_cast<DWORD>(getpid());
    return window->threadId;
}

LONG_PTR SetWindowLongPtrW(HWND handle, int index, LONG_PTR value) {
    std::lock_guard<std::mutex> guard(LayerLock());
    vxp::Window* window = vxp::FindWindowLocked(handle);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG_PTR previous;
    switch (index) {
        case GWLP_WNDPROC:
            previous = reinterpret_cast<LONG_PTR>(window->procedure);
            window->procedure = reinterpret_cast<WNDPROC>(value);
            return previous;
        case GWLP_USERDATA:
            previous = window->userData;
            window->userData = value;
            return previous;
        default:
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
    }
}

LONG_PTR GetWindowLongPtrW(HWND handle, int index) {
    std::lock_guard<std::mutex> guard(LayerLock());
    vxp::Window* window = vxp::FindWindowLocked(handle);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    switch (index) {
        case GWLP_WNDPROC:
            return reinterpret_cast<LONG_PTR>(window->procedure);
        case GWLP_USERDATA:
            return window->userData;
        default:
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
    }
}

LRESULT CallWindowProcW(WNDPROC procedure, HWND window, UINT message, WPARAM wParam,
                        LPARAM lParam) {
    return procedure ? procedure(window, message, wParam, lParam) : 0;
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM, LPARAM) {
    switch (message) {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        default:
            return 0;
    }
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!window)
        return PostThreadMessageW(GetCurrentThreadId(), message, wParam, lParam);
    const DWORD time = GetTickCount();
    std::lock_guard<std::mutex> guard(LayerLock());
    vxp::Window* target = vxp::FindWindowLocked(window);
    if (!target) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return vxp::PostLocked(*target->queue, {window, message, wParam, lParam, time});
}

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    const DWORD time = GetTickCount();
    std::lock_guard<std::mutex> guard(LayerLock());
    vxp::ThreadObject* thread = vxp::FindThreadLocked(threadId);
    if (!thread || !thread->state || !thread->state->queue) {
        // As on Windows, a thread without a message queue cannot be posted to.
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return vxp::PostLocked(*thread->state->queue, {nullptr, message, wParam, lParam, time});
}

BOOL PeekMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
    vxp::MessageQueue& queue = vxp::QueueOf(vxp::Self());
    if (!message) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!vxp::ValidFilter(window))
        return FALSE;
    return vxp::Retrieve(queue, message, window, filterMin, filterMax, removeFlags) ? TRUE : FALSE;
}

BOOL GetMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax) {
    vxp::MessageQueue& queue = vxp::QueueOf(vxp::Self());
    if (!message) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!vxp::ValidFilter(window))
        return -1;
    for (;;) {
        if (vxp::Retrieve(queue, message, window, filterMin, filterMax, PM_REMOVE)) {
            return message->message == WM_QUIT ? FALSE : TRUE;
        }
        vxp::WaitCommon(0, nullptr, false, INFINITE, &queue, QS_ALLINPUT, vxp::NextTimerDue(queue));
    }
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;  // no keyboard input, so nothing to translate
}

LRESULT DispatchMessageW(const MSG* message) {
    if (!message) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (message->message == WM_TIMER && message->lParam != 0) {
        // Only a timer procedure of one of the thread's timers is called.
        vxp::ThreadState& self = vxp::Self();
        const auto procedure = reinterpret_cast<TIMERPROC>(message->lParam);
        const vxp::Timer* timer =
            self.queue ? self.queue->timers.Find(message->hwnd, message->wParam) : nullptr;
        if (timer && timer->procedure == procedure)
            procedure(message->hwnd, WM_TIMER, message->wParam, GetTickCount());
        return 0;
    }
    if (!message->hwnd)
        return 0;  // a thread message has no procedure
    WNDPROC procedure = vxp::ProcedureOf(message->hwnd);
    if (!procedure) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return procedure(message->hwnd, message->message, message->wParam, message->lParam);
}

VOID PostQuitMessage(int exitCode) {
    vxp::MessageQueue& queue = vxp::QueueOf(vxp::Self());
    std::lock_guard<std::mutex> guard(LayerLock());
    queue.quitPending = true;
    queue.quitCode = exitCode;
    vxp::SignalInputLocked(queue, QS_POSTMESSAGE | QS_ALLPOSTMESSAGE);
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    vxp::ThreadState& self = vxp::Self();
    WNDPROC procedure = nullptr;
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        vxp::Window* target = vxp::FindWindowLocked(window);
        if (!target) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (target->queue != self.queue) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return 0;
        }
        procedure = target->procedure;
    }
    return procedure ? procedure(window, message, wParam, lParam) : 0;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask) {
    if (count >= MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    vxp::MessageQueue& queue = vxp::QueueOf(vxp::Self());
    vxp::ApplyRemoteKills(queue);
    if (!queue.timers.empty())
        vxp::AnnounceDueTimers(queue, vxp::Clock::now());
    const vxp::Clock::time_point timerDue =
        (wakeMask & QS_TIMER) != 0 ? vxp::NextTimerDue(queue) : vxp::Clock::time_point::max();
    return vxp::WaitCommon(count, objects, waitAll != FALSE, milliseconds, &queue, wakeMask,
                           timerDue);
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC procedure) {
    vxp::ThreadState& self = vxp::Self();
    vxp::MessageQueue& queue = vxp::QueueOf(self);
    if (window) {
        std::lock_guard<std::mutex> guard(LayerLock());
        vxp::Window* target = vxp::FindWindowLocked(window);
        if (!target) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (target->queue != &queue) {
            // Windows accepts a window timer only from the window's thread.
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
    }
    vxp::ApplyRemoteKills(queue);
    const UINT interval = std::min(std::max(elapse, vxp::kTimerMinimum), vxp::kTimerMaximum);
    const vxp::Clock::time_point due = vxp::Clock::now() + std::chrono::milliseconds(interval);
    auto& timers = queue.timers;
    std::unique_lock<std::mutex> guard(LayerLock());
    vxp::Timer* existing = window || id != 0 ? timers.Find(window, id) : nullptr;
    if (existing) {
        // Replacing a timer restarts its interval.
        existing->interval = interval;
        existing->procedure = procedure;
        timers.Reschedule(*existing, due);
    } else {
        if (!window)
            id = vxp::gNextThreadTimerId.fetch_add(1, std::memory_order_relaxed);
        timers.Add(vxp::Timer{window, id, interval, procedure, due, false, 0});
    }
    guard.unlock();
    vxp::UpdateTimerFd(queue);
    return window ? (id != 0 ? id : 1) : id;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    vxp::ThreadState& self = vxp::Self();
    if (window) {
        std::lock_guard<std::mutex> guard(LayerLock());
        vxp::Window* target = vxp::FindWindowLocked(window);
        if (!target) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (target->queue != self.queue) {
            // A window of another thread of the process: as on Windows the
            // timer stops; its thread removes it before it next looks for
            // input, so no WM_TIMER of it is retrieved after this call.
            vxp::MessageQueue& owner = *target->queue;
            const bool known = owner.timers.Find(window, id) != nullptr &&
                               std::find(owner.killed.begin(), owner.killed.end(),
                                         std::make_pair(window, id)) == owner.killed.end();
            if (!known) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            owner.killed.emplace_back(window, id);
            owner.killPending.store(true, std::memory_order_release);
            return TRUE;
        }
    }
    if (self.queue) {
        vxp::ApplyRemoteKills(*self.queue);
        bool removed;
        {
            std::lock_guard<std::mutex> guard(LayerLock());
            removed = self.queue->timers.Erase(window, id);
        }
        if (removed) {
            vxp::UpdateTimerFd(*self.queue);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

int VxGetMessageQueueFd() {
    vxp::MessageQueue& queue = vxp::QueueOf(vxp::Self());
    if (queue.pollFd >= 0)
        return queue.pollFd;
    const int eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const int timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    const int pollFd = epoll_create1(EPOLL_CLOEXEC);
    epoll_event in{};
    in.events = EPOLLIN;
    if (eventFd < 0 || timerFd < 0 || pollFd < 0 ||
        epoll_ctl(pollFd, EPOLL_CTL_ADD, eventFd, &in) != 0 ||
        epoll_ctl(pollFd, EPOLL_CTL_ADD, timerFd, &in) != 0) {
        vxp::SetLastErrorFromErrno(errno);
        for (int fd : {eventFd, timerFd, pollFd}) {
            if (fd >= 0)
                close(fd);
        }
        return -1;
    }
    queue.timerFd = timerFd;
    queue.pollFd = pollFd;
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        queue.eventFd = eventFd;
        if (!queue.posted.empty() || queue.quitPending) {
            const uint64_t one = 1;
            queue.eventArmed = write(eventFd, &one, sizeof one) == static_cast<ssize_t>(sizeof one);
        }
    }
    vxp::UpdateTimerFd(queue);
    return pollFd;
}
