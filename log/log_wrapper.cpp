// log_wrapper.cpp: the asynchronous log writer: entries are formatted on the
// caller's thread and appended to the file by one background thread.
#include "VexloTool/VXLogWrapper.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "core/thread_helpers.h"
#include "log/log_text.h"

namespace VexloTool {

// Exported through the declaration in the header.
template class SingletonImpl<CVXLogWrapper, 0>;

namespace {

class Guard {
public:
    explicit Guard(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
    ~Guard() { LeaveCriticalSection(&lock_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    CRITICAL_SECTION& lock_;
};

// Most messages fit here; longer ones are measured and formatted again.
constexpr size_t kStackMessage = 512;
// Most entries are encoded here.
constexpr size_t kStackEntry = 1024;
// Larger than the stream's default, so the writer calls the system rarely.
constexpr size_t kFileBuffer = 64 * 1024;
// A write buffer grown past this by a burst is released after the burst.
constexpr size_t kKeptBuffer = 1024 * 1024;
// How long the writer lets entries gather after writing.
constexpr DWORD kGatherMs = 1;
const unsigned char kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};

// Formats into the stack buffer or, when the text is longer, into `heap`.
// Returns the text and sets `length`, or returns null when the format
// cannot be formatted.
const wchar_t* FormatText(wchar_t (&stack)[kStackMessage], std::wstring& heap,
                          const wchar_t* format, va_list args, size_t& length) {
    va_list attempt;
    va_copy(attempt, args);
    int n = _vsnwprintf(stack, kStackMessage, format, attempt);
    va_end(attempt);
    if (n >= 0) {
        length = static_cast<size_t>(n);
        return stack;
    }
    // Cut short, or not formattable at all: the count tells which.
    va_copy(attempt, args);
    const int count = _vscwprintf(format, attempt);
    va_end(attempt);
    if (count < 0)
        return nullptr;
    heap.resize(static_cast<size_t>(count) + 1);
    va_copy(attempt, args);
    n = _vsnwprintf(&heap[0], heap.size(), format, attempt);
    va_end(attempt);
    if (n < 0)
        return nullptr;
    length = static_cast<size_t>(n);
    return heap.data();
}

}  // namespace

struct CVXLogWrapper::Sink {
    Sink() { InitializeCriticalSection(&lock); }
    ~Sink() { DeleteCriticalSection(&lock); }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    CRITICAL_SECTION lock;  // the drain lock
    FILE* file = nullptr;   // guarded by lock; null when not open
    std::string writing;    // entries being written; guarded by lock
    // Set when UnInit gave up on the writer: its drain ends at once.
    std::atomic<bool> abandoned{false};
};

CVXLogWrapper::CVXLogWrapper() {
    InitializeCriticalSection(&queueLock_);
    sink_.store(new Sink);
}

CVXLogWrapper::~CVXLogWrapper() {
    if (thread_) {
        // The host did not call UnInit. The entries accepted so far reach the
        // file and the writer is asked to end; it is neither pumped for nor
        // terminated here (at process exit on Windows it is already gone).
        {
            Guard guard(queueLock_);
            stop_.store(1);
            SetEvent(wakeEvent_);
        }
        CloseFile();
        // A writer that does not end leaves its locks and handles in place.
        if (WaitForSingleObject(thread_, kThreadStopBoundMs) != WAIT_OBJECT_0)
            return;
        CloseHandle(thread_);
        CloseHandle(wakeEvent_);
    }
    CloseFile();
    if (!sink_.load()->abandoned.load())
        delete sink_.load();
    DeleteCriticalSection(&queueLock_);
}

bool CVXLogWrapper::Init(const wchar_t* path) {
    if (!path)
        return false;
    if (thread_)
        UnInit();
    threshold_.store(VXLOG_INFO);
    writerDone_.store(0);
    try {
        path_ = path;
        dir_ = logtext::DirectoryOf(path_);
        // The last writer was given up on: it keeps its sink.
        if (sink_.load()->abandoned.load())
            sink_.store(new Sink);
        Sink& sink = *sink_.load();
        {
            Guard guard(sink.lock);
            // Binary: entries carry their own CR LF. The C runtime opens the
            // file shared for reading and writing.
            sink.file = _wfopen(path, L"wb");
            if (sink.file) {
                std::setvbuf(sink.file, nullptr, _IOFBF, kFileBuffer);
                std::fwrite(kByteOrderMark, 1, sizeof(kByteOrderMark), sink.file);
            }
        }
        wakeEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (wakeEvent_) {
            DWORD id = 0;
            thread_ = CreateThread(nullptr, 0, &CVXLogWrapper::ThreadProc, this, 0, &id);
        }
    } catch (...) {
        thread_ = nullptr;
    }
    if (!thread_) {
        // Without a writer nothing would ever reach the file: refuse.
        if (wakeEvent_)
            CloseHandle(wakeEvent_);
        wakeEvent_ = nullptr;
        CloseFile();
        return false;
    }
    SetThreadPriority(thread_, THREAD_PRIORITY_BELOW_NORMAL);
    Guard guard(queueLock_);
    stop_.store(0);
    return true;
}

void CVXLogWrapper::UnInit() {
    if (!thread_)
        return;
    {
        Guard guard(queueLock_);
        stop_.store(1);
        SetEvent(wakeEvent_);
    }
    // The writer, seeing the log stopped, writes every accepted entry and
    // ends; the wait for it is bounded, and this thread never writes (a
    // writer stuck in a slow write would hold it without bound).
    // Below normal priority it could be starved past the stop bound.
    SetThreadPriority(thread_, THREAD_PRIORITY_NORMAL);
    StopThreadBounded(thread_);
    CloseHandle(thread_);
    thread_ = nullptr;
    CloseHandle(wakeEvent_);
    wakeEvent_ = nullptr;
    if (writerDone_.load()) {
        CloseFile();
    } else {
        // Terminated: it may have died holding the drain lock (or, on Linux,
        // still be inside a write). Its sink is left to it; the next Init
        // makes a new one.
        sink_.load()->abandoned.store(true);
    }
}

void CVXLogWrapper::SetLogType(VXLogType type) {
    threshold_.store(type, std::memory_order_relaxed);
}

void CVXLogWrapper::Enable(bool enable) {
    threshold_.store(enable ? VXLOG_DEBUG : VXLOG_INFO, std::memory_order_relaxed);
}

void CVXLogWrapper::WriteLog(VXLogType type, const wchar_t* format, ...) {
    if (stop_.load(std::memory_order_acquire) != 0)
        return;
    if (type < threshold_.load(std::memory_order_relaxed) || !format)
        return;
    va_list args;
    va_start(args, format);
    try {
        wchar_t stack[kStackMessage];
        std::wstring heap;
        size_t length = 0;
        const wchar_t* text = FormatText(stack, heap, format, args, length);
        if (text) {
            SYSTEMTIME now;
            GetLocalTime(&now);
            // The entry is encoded outside the lock; the lock only copies it.
            const size_t size = logtext::kStampLength + logtext::Utf8Length(text, length) + 2;
            char small[kStackEntry];
            std::string large;
            char* entry = small;
            if (size > sizeof(small)) {
                large.resize(size);
                entry = &large[0];
            }
            char* end = logtext::WriteStamp(entry, now.wHour, now.wMinute, now.wSecond);
            end = logtext::WriteUtf8(end, text, length);
            end[0] = '\r';
            end[1] = '\n';

            Guard guard(queueLock_);
            // UnInit may have begun since the check above: then refused.
            if (stop_.load(std::memory_order_relaxed) == 0) {
                const bool wasEmpty = queue_.empty();
                queue_.append(entry, size);
                if (wasEmpty)
                    SetEvent(wakeEvent_);
            }
        }
    } catch (...) {
        // Memory exhaustion drops this one entry; the host is not disturbed.
    }
    va_end(args);
}

void CVXLogWrapper::Save() {
    if (stop_.load(std::memory_order_acquire) != 0)
        return;
    WriteLogs();
    Sink& sink = *sink_.load();
    Guard guard(sink.lock);
    if (sink.file && !std::ferror(sink.file))
        std::fflush(sink.file);
}

const wchar_t* CVXLogWrapper::GetLogPath() {
    return path_.c_str();
}

const wchar_t* CVXLogWrapper::GetLogDir() {
    return dir_.c_str();
}

bool CVXLogWrapper::WriteLogs() {
    // The drain lock keeps concurrent drains (writer thread, Save, UnInit)
    // from interleaving, so entries reach the file in queue order while
    // WriteLog callers wait only for the queue lock, never for the disk.
    Sink& sink = *sink_.load();
    Guard drain(sink.lock);
    if (stop_.load(std::memory_order_acquire) != 0)
        return false;
    return DrainLocked(sink);
}

bool CVXLogWrapper::DrainLocked(Sink& sink) {
    bool wrote = false;
    std::string& writing = sink.writing;
    while (!sink.abandoned.load(std::memory_order_relaxed)) {
        {
            // The two buffers trade places and keep their capacity, so a
            // steady stream of entries needs no allocation.
            Guard guard(queueLock_);
            writing.swap(queue_);
        }
        if (writing.empty())
            return wrote;
        wrote = true;
        // After a failed write the stream stays in error and later entries
        // are dropped; without a file they are dropped at once.
        if (sink.file && !std::ferror(sink.file))
            std::fwrite(writing.data(), 1, writing.size(), sink.file);
        writing.clear();
        if (writing.capacity() > kKeptBuffer)
            std::string().swap(writing);
    }
    return wrote;
}

DWORD WINAPI CVXLogWrapper::ThreadProc(LPVOID param) {
    auto* self = static_cast<CVXLogWrapper*>(param);
    Sink& sink = *self->sink_.load();
    for (;;) {
        WaitForSingleObject(self->wakeEvent_, INFINITE);
        const bool wrote = self->WriteLogs();
        // Given up on by UnInit while inside a write: the object may be gone
        // by now (the host may even be exiting); only the sink, which is left
        // to this thread, is still safe to touch.
        if (sink.abandoned.load(std::memory_order_acquire))
            return 0;
        if (self->stop_.load(std::memory_order_acquire) != 0) {
            // Stopped by UnInit: everything accepted before it goes out.
            Guard drain(sink.lock);
            self->DrainLocked(sink);
            break;
        }
        // After work, let entries gather for a moment: one wake-up per burst
        // instead of one per entry. An empty queue is waited for without
        // limit.
        if (wrote)
            Sleep(kGatherMs);
    }
    self->writerDone_.store(1);
    return 0;
}

void CVXLogWrapper::CloseFile() {
    Sink& sink = *sink_.load();
    if (sink.abandoned.load())
        return;  // its writer may still hold the lock and use the file
    Guard guard(sink.lock);
    DrainLocked(sink);
    if (sink.file)
        std::fclose(sink.file);
    sink.file = nullptr;
}

}  // namespace VexloTool
