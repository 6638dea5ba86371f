// profile_extras.cpp: VxPrepareUnicodeProfile on Windows: a missing profile
// file is created as UTF-16LE with a byte order mark, so the system's profile
// functions keep Unicode text in it.
#include "vxplatform.h"

BOOL VxPrepareUnicodeProfile(LPCWSTR fileName) {
    if (!fileName || !*fileName)
        return FALSE;
    DWORD saved = GetLastError();
    // CREATE_NEW never touches an existing file, even one made by another
    // process a moment ago.
    HANDLE file = CreateFileW(fileName, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    BOOL exists;
    if (file == INVALID_HANDLE_VALUE) {
        exists = GetLastError() == ERROR_FILE_EXISTS;
    } else {
        static const BYTE kMark[2] = {0xFF, 0xFE};
        DWORD written = 0;
        exists = WriteFile(file, kMark, sizeof kMark, &written, NULL) && written == sizeof kMark;
        CloseHandle(file);
        if (!exists)
            DeleteFileW(fileName);
    }
    SetLastError(saved);
    return exists;
}
