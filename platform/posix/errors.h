// errors.h: the layer's errno-to-Win32 mapping, for every posix/ family.
// Conformance tests: tests/platform/errors_test.cpp.
#pragma once

#include "vxplatform/base.h"

namespace vxp {

// The Win32 error code that describes an errno value best; unknown values
// map to ERROR_GEN_FAILURE.
DWORD Win32ErrorFromErrno(int errnoValue);

// SetLastError(Win32ErrorFromErrno(errnoValue)).
void SetLastErrorFromErrno(int errnoValue);

// The Winsock code of a failed socket call (WSAE* values) and the Win32
// code a failed overlapped operation carries to its completion packet, for
// an errno value of the socket calls; one table holds both.
int WsaErrorFromErrno(int errnoValue);
DWORD CompletionErrorFromErrno(int errnoValue);

}  // namespace vxp
