// module.cpp: GetModuleFileNameW of the Linux layer, for the executable.
// Conformance tests: tests/platform/profile_test.cpp.
#include "vxplatform.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include <unistd.h>

#include "platform/posix/errors.h"
#include "platform/posix/profile_text.h"

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    if (hModule) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    try {
        // The link's target may be longer than any fixed buffer: grow until it fits.
        std::string path(256, '\0');
        for (;;) {
            ssize_t n = readlink("/proc/self/exe", &path[0], path.size());
            if (n < 0) {
                vxp::SetLastErrorFromErrno(errno);
                return 0;
            }
            if (static_cast<size_t>(n) < path.size()) {
                path.resize(static_cast<size_t>(n));
                break;
            }
            path.resize(path.size() * 2);
        }
        // Bytes that are not UTF-8 survive the trip to wide text and back.
        std::wstring wide = vxp::profile::DecodeUtf8(path.data(), path.size());
        if (nSize == 0) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (wide.size() < nSize) {
            std::memcpy(lpFilename, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
            SetLastError(ERROR_SUCCESS);
            return static_cast<DWORD>(wide.size());
        }
        std::memcpy(lpFilename, wide.data(), (nSize - 1) * sizeof(WCHAR));
        lpFilename[nSize - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}
