// file.h: C runtime file streams opened by wide path for the Linux layer.
// Conformance tests: tests/platform/file_test.cpp.
#pragma once

#include <cstdio>

#include "vxplatform/base.h"

// Opens a C stream on a wide path, which is converted to UTF-8. The mode is
// that of fopen; 'b' and 't' are accepted and change nothing, as are the
// Windows-only letters c, n, N, S, R, T and D. A mode with "ccs=" fails
// (EINVAL). Other processes may open the file meanwhile, as Windows allows
// with its default sharing.
// Deviation: the descriptor is not inherited by child processes (Windows
// inherits it only into children created to inherit handles).
VXP_API FILE* _wfopen(const wchar_t* path, const wchar_t* mode);
