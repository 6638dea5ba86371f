// profile_extras.h: profile-file helper without a Win32 name, for both targets.
#pragma once

// Included from extras.h, which defines VXP_API for both targets.

// Makes sure a profile file about to be written can hold any Unicode text.
// Windows writes Unicode only into a file that starts with a UTF-16LE byte
// order mark (anything else is ANSI, which loses characters), so a missing
// file is created empty with that mark; an existing file keeps its encoding.
// Linux: nothing to do, the layer's files are UTF-8. Returns TRUE when the
// file exists afterwards (or on Linux always); never changes an existing file.
VXP_API BOOL VxPrepareUnicodeProfile(LPCWSTR fileName);
