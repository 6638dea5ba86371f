// wprintf.h: wide-character formatting with the Windows rules for the Linux
// layer. Conformance tests: tests/platform/wprintf_test.cpp.
//
// In a wide format %s and %c take wide arguments and %S and %C narrow ones;
// h forces narrow, l and w force wide. Narrow strings are read as UTF-8 (the
// ANSI code page on Linux). Also understood: the I, I32 and I64 size
// prefixes, zero padding of strings, %p as upper-case hex digits of pointer
// width, three-digit exponents, and a directive with an unknown conversion
// printing that character.
// Deviation: %n is refused (the call fails), rounding of exact ties in float
// conversions follows the C library (ties to even), and %a, infinities and
// NaNs are spelled as the C library spells them.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "vxplatform/base.h"

// Writes at most count characters. Returns the length of the whole text when
// it fits (terminated when there is room for the terminator), or -1 when it
// was cut to count characters or cannot be formatted.
VXP_API int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);

// The length of the formatted text without the terminator, or -1 when it
// cannot be formatted.
VXP_API int _vscwprintf(const wchar_t* format, va_list args);
