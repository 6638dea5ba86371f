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

// Socket errnos are not here: Winsock codes have a table of their own
// (kSocketErrnoTable below).
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

// Socket calls: the Winsock code of a call that fails at once, and the code
// a completion packet carries when the operation fails later (Windows
// translates the transport status: a reset reads ERROR_NETNAME_DELETED, a
// refused connect ERROR_CONNECTION_REFUSED).
struct SocketErrnoMapping {
    int errnoValue;
    int wsa;
    DWORD completion;
};

constexpr SocketErrnoMapping kSocketErrnoTable[] = {
    {0, 0, ERROR_SUCCESS},
    {EINTR, 10004, kErrorOperationAborted},
    {EBADF, 10038, ERROR_INVALID_HANDLE},
    {ENOTSOCK, 10038, ERROR_INVALID_HANDLE},
    {EACCES, 10013, ERROR_ACCESS_DENIED},
    {EPERM, 10013, ERROR_ACCESS_DENIED},
    {EFAULT, 10014, kErrorNoAccess},
    {EINVAL, 10022, ERROR_INVALID_PARAMETER},
    {EMFILE, 10024, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, 10024, ERROR_TOO_MANY_OPEN_FILES},
    {EAGAIN, 10035, ERROR_NOT_ENOUGH_QUOTA},
    {EINPROGRESS, 10036, kErrorIoPending},
    {EALREADY, 10037, kErrorIoPending},
    {EDESTADDRREQ, 10039, ERROR_INVALID_PARAMETER},
    {EMSGSIZE, 10040, ERROR_INVALID_PARAMETER},
    {EPROTOTYPE, 10041, ERROR_INVALID_PARAMETER},
    {ENOPROTOOPT, 10042, ERROR_INVALID_PARAMETER},
    {EPROTONOSUPPORT, 10043, ERROR_NOT_SUPPORTED},
    {ESOCKTNOSUPPORT, 10044, ERROR_NOT_SUPPORTED},
    {EOPNOTSUPP, 10045, ERROR_NOT_SUPPORTED},
    {EAFNOSUPPORT, 10047, ERROR_NOT_SUPPORTED},
    {EADDRINUSE, 10048, 52u},
    {EADDRNOTAVAIL, 10049, 4323u},
    {ENETDOWN, 10050, 1231u},
    {ENETUNREACH, 10051, 1231u},
    {ENETRESET, 10052, 64u},
    {ECONNABORTED, 10053, 1236u},
    {ECONNRESET, 10054, 64u},
    {EPIPE, 10054, 64u},
    {ENOBUFS, 10055, ERROR_NOT_ENOUGH_MEMORY},
    {ENOMEM, 10055, ERROR_NOT_ENOUGH_MEMORY},
    {EISCONN, 10056, ERROR_INVALID_PARAMETER},
    {ENOTCONN, 10057, ERROR_INVALID_PARAMETER},
    {ESHUTDOWN, 10058, 64u},
    {ETIMEDOUT, 10060, 121u},
    {ECONNREFUSED, 10061, 1225u},
    {EHOSTDOWN, 10065, 1232u},
    {EHOSTUNREACH, 10065, 1232u},
    {ECANCELED, 995, kErrorOperationAborted},
};

const SocketErrnoMapping* FindSocketErrno(int errnoValue) {
    for (const SocketErrnoMapping& m : kSocketErrnoTable) {
        if (m.errnoValue == errnoValue)
            return &m;
    }
    return nullptr;
}

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

int WsaErrorFromErrno(int errnoValue) {
    const SocketErrnoMapping* m = FindSocketErrno(errnoValue);
    return m ? m->wsa : 10022;  // WSAEINVAL
}

DWORD CompletionErrorFromErrno(int errnoValue) {
    const SocketErrnoMapping* m = FindSocketErrno(errnoValue);
    return m ? m->completion : ERROR_GEN_FAILURE;
}

}  // namespace vxp
