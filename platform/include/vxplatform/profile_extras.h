// profile_extras.h: profile-file helper without a Win32 name, for both targets.
#pragma once

#if defined(_WIN32) && !defined(VXP_API)
#if defined(VEXLOTOOL_BUILD)
#define VXP_API __declspec(dllexport)
#else
#define VXP_API __declspec(dllimport)
#endif
#endif

// Makes sure a profile file about to be written can hold any Unicode text.
// Windows writes Unicode only into a file that starts with a UTF-16LE byte
// order mark (anything else is ANSI, which loses characters), so a missing
// file is created empty with that mark; an existing file keeps its encoding.
// Linux: nothing to do, the layer's files are UTF-8. Returns TRUE when the
// file exists afterwards (or on Linux always); never changes an existing file.
VXP_API BOOL VxPrepareUnicodeProfile(LPCWSTR fileName);
