// wininet_errors.h: the one table from libcurl results to WinINet error
// codes. Conformance tests: tests/platform/wininet_test.cpp.
#pragma once

// libcurl brings the system socket headers.
#define VXP_NO_WINSOCK

#include <curl/curl.h>

#include "vxplatform.h"

namespace vxp {

// The WinINet code for a failed transfer; osErrno (CURLINFO_OS_ERRNO) tells
// a reset connection from an aborted one.
DWORD WinInetErrorFromCurl(CURLcode result, int osErrno);

}  // namespace vxp
