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

CVXLogWrapper::CVXLogWrapper() {
    InitializeCriticalSection(&queueLock_);
    InitializeCriticalSection(&drainLock_);
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
    DeleteCriticalSection(&drainLock_);
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
        {
            Guard guard(drainLock_);
            // Binary: entries carry their own CR LF. The C runtime opens the
            // file shared for reading and writing.
            file_ = _wfopen(path, L"wb");
            if (file_) {
                std::setvbuf(file_, nullptr, _IOFBF, kFileBuffer);
                std::fwrite(kByteOrderMark, 1, sizeof(kByteOrderMark), file_);
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
    // Every accepted entry is written before the file closes. The caller
    // drains: the writer, seeing the log stopped, only ends.
    {
        Guard drain(drainLock_);
        DrainLocked();
    }
    // Below normal priority it could be starved past the stop bound.
    SetThreadPriority(thread_, THREAD_PRIORITY_NORMAL);
    StopThreadBounded(thread_);
    CloseHandle(thread_);
    thread_ = nullptr;
    CloseHandle(wakeEvent_);
    wakeEvent_ = nullptr;
    // A writer that had to be terminated may have died holding the drain
    // lock (or, on Linux, still run); its file is then left alone.
    if (writerDone_.load()) {
        CloseFile();
    } else {
        file_ = nullptr;
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
    Guard guard(drainLock_);
    if (file_ && !std::ferror(file_))
        std::fflush(file_);
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
    Guard drain(drainLock_);
    if (stop_.load(std::memory_order_acquire) != 0)
        return false;
    return DrainLocked();
}

bool CVXLogWrapper::DrainLocked() {
    bool wrote = false;
    for (;;) {
        {
            // The two buffers trade places and keep their capacity, so a
            // steady stream of entries needs no allocation.
            Guard guard(queueLock_);
            writing_.swap(queue_);
        }
        if (writing_.empty())
            return wrote;
        wrote = true;
        // After a failed write the stream stays in error and later entries
        // are dropped; without a file they are dropped at once.
        if (file_ && !std::ferror(file_))
            std::fwrite(writing_.data(), 1, writing_.size(), file_);
        writing_.clear();
        if (writing_.capacity() > kKeptBuffer)
            std::string().swap(writing_);
    }
}

DWORD WINAPI CVXLogWrapper::ThreadProc(LPVOID param) {
    auto* self = static_cast<CVXLogWrapper*>(param);
    for (;;) {
        WaitForSingleObject(self->wakeEvent_, INFINITE);
        const bool wrote = self->WriteLogs();
        if (self->stop_.load(std::memory_order_acquire) != 0)
            break;
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
    Guard guard(drainLock_);
    DrainLocked();
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

}  // namespace VexloTool
