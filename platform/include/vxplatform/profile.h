// profile.h: private-profile (INI) functions and the module file name of the
// Linux layer. Conformance tests: tests/platform/profile_test.cpp.
#pragma once

#include "vxplatform/base.h"

#define ERROR_FILE_EXISTS 80u
#define ERROR_MOD_NOT_FOUND 126u

// The engine follows the documented Win32 behaviour: section and key names
// compare case-insensitively after trimming, values are trimmed and lose one
// pair of surrounding quotes (" or ') on reading, lines without '=' and lines
// starting with ';' are kept but never returned as keys, and a write touches
// only the lines it changes (comments, blank and unknown lines stay as they
// are). Files are read as UTF-8 (the ANSI code page of the layer; a UTF-8
// byte order mark is kept), UTF-16LE or UTF-16BE with a byte order mark, and
// written back in their own encoding; a new file is UTF-8 without a mark and
// uses CR LF line ends. There is no cache: every call reads the file, so
// other processes' writes are seen at once.
//
// Writes replace the file atomically (a temporary file in the same folder,
// then rename), so a crash leaves the old or the new file, never a mix, and
// are serialised across threads and processes by an advisory lock (flock)
// on the file, so concurrent writers never lose each other's updates.
//
// Deviation: a relative file name is resolved against the current folder
// (Windows looks for a bare name in the Windows folder), '\' is an ordinary
// character, and there is no win.ini: a null file name reads nothing and
// fails writes with ERROR_INVALID_PARAMETER.
// Deviation: a file whose owner may not write it (no S_IWUSR) is read-only
// even for root, as the read-only attribute is on Windows; and because the
// replacement is atomic, the folder must be writable as well as the file.
// Deviation: deleting a key or a section of a missing file does not create
// an empty file (Windows does; Wine does not).
// Deviation: letter case is folded with the C library's Unicode tables
// (C.UTF-8 locale, independent of the process locale); Windows' own table
// differs for a few letters (for example the Turkish dotless i).

// Copies the value of lpKeyName in lpAppName into lpReturnedString, or
// lpDefault (trailing blanks removed, null = empty) when the key is missing;
// a null lpKeyName lists the section's keys and a null lpAppName the file's
// sections, as strings ended by an empty one. Returns the characters copied
// without the terminator; nSize - 1 (nSize - 2 for lists) when truncated.
// The last error is ERROR_FILE_NOT_FOUND when the file, section or key was
// missing.
VXP_API DWORD GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                                       LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName);

// The key's value read as GetPrivateProfileStringW does, then converted: an
// optional sign, a 0x/0o/0b prefix, digits up to the first non-digit, kept
// modulo 2^32. nDefault when the key is missing or its value is empty.
VXP_API UINT GetPrivateProfileIntW(LPCWSTR lpAppName, LPCWSTR lpKeyName, INT nDefault,
                                   LPCWSTR lpFileName);

// Sets lpKeyName in lpAppName to lpString (leading blanks removed), creating
// the file, section and key as needed; a null lpString deletes the key and a
// null lpKeyName the whole section. A null lpAppName fails with
// ERROR_FILE_NOT_FOUND (all three null: the documented flush request, which
// has nothing to flush and returns FALSE). Errors: ERROR_PATH_NOT_FOUND for
// a missing folder, ERROR_ACCESS_DENIED for a read-only file or folder.
VXP_API BOOL WritePrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpString,
                                        LPCWSTR lpFileName);

// The full path of the executable (hModule null), from /proc/self/exe.
// Truncated to nSize - 1 characters and a terminator, returning nSize with
// ERROR_INSUFFICIENT_BUFFER, when the buffer is too small.
// Deviation: only the executable is known by this call; any other module
// handle fails with ERROR_MOD_NOT_FOUND.
VXP_API DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
