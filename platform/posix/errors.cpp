// errors.cpp: per-thread last error and the one errno-to-Win32 table.
// Conformance tests: tests/platform/errors_test.cpp.
#include "platform/posix/errors.h"

#include <cerrno>

namespace {

// A plain thread_local without a destructor, so the last error works in any
// phase of a thread's life, including its exit.
thread_local DWORD tLastError = 0;

struct ErrnoMapping {
    int errnoValue;
    DWORD win32;
};

// Win32 codes without a macro of their own in base.h.
constexpr DWORD kErrorInvalidData = 13;
constexpr DWORD kErrorWriteProtect = 19;
constexpr DWORD kErrorNotSameDevice = 17;
constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorHandleEof = 38;
constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorBrokenPipe = 109;
constexpr DWORD kErrorBufferOverflow = 111;
constexpr DWORD kErrorDiskFull = 112;
constexpr DWORD kErrorCallNotImplemented = 120;
constexpr DWORD kErrorInvalidName = 123;
constexpr DWORD kErrorNegativeSeek = 131;
constexpr DWORD kErrorDirNotEmpty = 145;
constexpr DWORD kErrorFilenameExcedRange = 206;
constexpr DWORD kErrorDirectory = 267;
constexpr DWORD kErrorArithmeticOverflow = 534;
constexpr DWORD kErrorOperationAborted = 995;
constexpr DWORD kErrorIoPending = 997;
constexpr DWORD kErrorNoAccess = 998;
constexpr DWORD kErrorPossibleDeadlock = 1131;
constexpr DWORD kErrorTooManyLinks = 1142;

// Socket errnos are not here: Winsock codes have a table of their own.
constexpr ErrnoMapping kErrnoTable[] = {
    {0, ERROR_SUCCESS},
    {EPERM, ERROR_ACCESS_DENIED},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ESRCH, ERROR_INVALID_THREAD_ID},
    {EINTR, kErrorOperationAborted},
    {EIO, ERROR_GEN_FAILURE},
    {ENXIO, ERROR_FILE_NOT_FOUND},
    {E2BIG, ERROR_INVALID_PARAMETER},
    {EBADF, ERROR_INVALID_HANDLE},
    {EAGAIN, ERROR_NOT_ENOUGH_QUOTA},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EACCES, ERROR_ACCESS_DENIED},
    {EFAULT, kErrorNoAccess},
    {EBUSY, ERROR_BUSY},
    {EEXIST, kErrorFileExists},
    {EXDEV, kErrorNotSameDevice},
    {ENODEV, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, kErrorDirectory},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ETXTBSY, kErrorSharingViolation},
    {EFBIG, kErrorDiskFull},
    {ENOSPC, kErrorDiskFull},
    {ESPIPE, kErrorNegativeSeek},
    {EROFS, kErrorWriteProtect},
    {EMLINK, kErrorTooManyLinks},
    {EPIPE, kErrorBrokenPipe},
    {EDOM, ERROR_INVALID_PARAMETER},
    {ERANGE, kErrorArithmeticOverflow},
    {EDEADLK, kErrorPossibleDeadlock},
    {ENAMETOOLONG, kErrorFilenameExcedRange},
    {ENOSYS, kErrorCallNotImplemented},
    {ENOTEMPTY, kErrorDirNotEmpty},
    {ELOOP, kErrorInvalidName},
    {EOVERFLOW, kErrorBufferOverflow},
    {EILSEQ, kErrorInvalidData},
    {ENOTSUP, ERROR_NOT_SUPPORTED},
    {ETIMEDOUT, ERROR_TIMEOUT},
    {ECANCELED, kErrorOperationAborted},
    {EINPROGRESS, kErrorIoPending},
    {ENODATA, kErrorHandleEof},
    {EPROTO, ERROR_GEN_FAILURE},
    {ENOBUFS, ERROR_NOT_ENOUGH_MEMORY},
    {EDQUOT, kErrorDiskFull},
    {ENOLCK, ERROR_NOT_ENOUGH_MEMORY},
    {EOWNERDEAD, ERROR_GEN_FAILURE},
    {ENOTRECOVERABLE, ERROR_GEN_FAILURE},
    {ENOMSG, ERROR_GEN_FAILURE},
    {ECHILD, ERROR_INVALID_HANDLE},
    {ENOEXEC, ERROR_GEN_FAILURE},
    {EXFULL, kErrorDiskFull},
};

}  // namespace

DWORD GetLastError() {
    return tLastError;
}

void SetLastError(DWORD error) {
    tLastError = error;
}

namespace vxp {

DWORD Win32ErrorFromErrno(int errnoValue) {
    for (const ErrnoMapping& m : kErrnoTable) {
        if (m.errnoValue == errnoValue)
            return m.win32;
    }
    return ERROR_GEN_FAILURE;
}

void SetLastErrorFromErrno(int errnoValue) {
    tLastError = Win32ErrorFromErrno(errnoValue);
}

}  // namespace vxp
