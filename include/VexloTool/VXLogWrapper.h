/// @file
/// VXLogWrapper.h: the process-wide asynchronous log writer for the host.
///
/// Threads: WriteLog, Save, SetLogType, Enable from any thread; Init and UnInit
/// by the host, in pairs and not concurrently with each other; one writer
/// thread (below normal priority, unnamed) appends queued entries to the file.
/// Locks: the drain lock (order of writes to the file) before the queue lock;
/// formatting and encoding run under neither, and no host code runs under
/// either.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "vxplatform.h"
#include "VexloTool/Export.h"
#include "VexloTool/SingletonImpl.h"

namespace VexloTool {

/// Importance of an entry: greater is more important. Any 32-bit value may be
/// passed; these name the usual ones.
enum VXLogType : int {
    VXLOG_TRACE = 0,    ///< admitted only by SetLogType
    VXLOG_DEBUG = 1,    ///< admitted by Enable(true)
    VXLOG_VERBOSE = 2,  ///< admitted by Enable(true)
    VXLOG_INFO = 3,     ///< the threshold after Init and Enable(false)
    VXLOG_WARNING = 4,
    VXLOG_ERROR = 5,
};

VEXLOTOOL_SINGLETON(CVXLogWrapper);

/// The log file is UTF-8 with a byte order mark; each entry is one line,
/// "HH:MM:SS", three blanks, the message, CR LF, in the order the calls were
/// accepted.
class VEXLOTOOL_API CVXLogWrapper : public SingletonImpl<CVXLogWrapper, 0> {
public:
    /// If the host did not call UnInit: writes the entries still queued,
    /// closes the file and lets the writer thread end (without pumping
    /// messages or terminating it).
    ~CVXLogWrapper() override;

    /// Creates or truncates the file, writes the byte order mark and starts
    /// the writer; sets the threshold to VXLOG_INFO. A file that cannot be
    /// opened (a missing folder is not created) still returns true: entries
    /// are then accepted and discarded. Returns false for a null path or when
    /// the writer cannot be started. Called while running, it first finishes
    /// the current file as UnInit does.
    bool Init(const wchar_t* path);
    /// Stops the writer, which first writes every entry accepted before the
    /// call, and closes the file; a bounded wait (about 3 s, pumping the
    /// caller's messages). A writer still stuck in the file system after the
    /// bound keeps its file and what it had not written; the caller never
    /// writes the backlog itself. Later WriteLog and Save calls do nothing
    /// until the next Init.
    void UnInit();

    /// Entries of a type lower than the threshold are not written.
    void SetLogType(VXLogType type);
    /// true: threshold VXLOG_DEBUG; false: VXLOG_INFO.
    void Enable(bool enable);

    /// Formats with the Windows wide printf rules (%s takes a wide string, %S
    /// a narrow one), stamps the local time and queues the entry; never waits
    /// for the disk. Does nothing before Init, after UnInit, below the
    /// threshold, or when the format cannot be formatted. Messages have no
    /// length limit.
    void WriteLog(VXLogType type, const wchar_t* format, ...);
    /// Writes every queued entry on the calling thread and flushes the file.
    void Save();

    /// The path given to Init, and its folder (up to the last '\' or '/').
    /// Valid until the next Init.
    const wchar_t* GetLogPath();
    const wchar_t* GetLogDir();

private:
    friend class SingletonImpl<CVXLogWrapper, 0>;
    CVXLogWrapper();
    CVXLogWrapper(const CVXLogWrapper&) = delete;
    CVXLogWrapper& operator=(const CVXLogWrapper&) = delete;

    // The open file of one Init, with the drain lock that orders writes to
    // it. Kept across Inits; left to a writer that UnInit had to give up on.
    struct Sink;

    // Moves queued entries to the file, in order, until the queue is empty;
    // does nothing once the log is stopped. Returns whether it wrote any.
    bool WriteLogs();
    // The same without the stop check; the caller holds the sink's lock.
    bool DrainLocked(Sink& sink);
    static DWORD WINAPI ThreadProc(LPVOID param);
    // Writes what is still queued, then closes the file.
    void CloseFile();

    // Complete entries awaiting the writer, oldest first, back to back.
    std::string queue_;  // guarded by queueLock_
    CRITICAL_SECTION queueLock_;
    std::atomic<Sink*> sink_{nullptr};
    std::wstring path_;
    HANDLE thread_ = nullptr;
    HANDLE wakeEvent_ = nullptr;  // auto-reset; set when the queue stops being empty
    // 1 whenever entries are refused: before Init and after UnInit. Changed
    // under queueLock_.
    std::atomic<int> stop_{1};
    std::atomic<int> threshold_{VXLOG_INFO};
    std::wstring dir_;
    // Set by the writer thread as it returns; unset means it was terminated.
    std::atomic<int> writerDone_{0};
};

}  // namespace VexloTool
