// profile_extras.cpp: VxPrepareUnicodeProfile on Windows: a missing profile
// file is created as UTF-16LE with a byte order mark, so the system's profile
// functions keep Unicode text in it.
#include "vxplatform.h"

#include <string>

namespace {

// The file the profile functions will use: a bare relative name lives in the
// Windows folder, anything else is resolved as usual.
std::wstring ProfilePath(LPCWSTR fileName) {
    std::wstring name = fileName;
    bool bare =
        name.find_first_of(L"\\/") == std::wstring::npos && !(name.size() >= 2 && name[1] == L':');
    if (!bare)
        return name;
    WCHAR folder[MAX_PATH];
    UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    return std::wstring(folder, length) + L"\\" + name;
}

}  // namespace

BOOL VxPrepareUnicodeProfile(LPCWSTR fileName) {
    if (!fileName || !*fileName)
        return FALSE;
    DWORD saved = GetLastError();
    std::wstring path = ProfilePath(fileName);
    BOOL exists = FALSE;
    if (!path.empty()) {
        // CREATE_NEW never touches an existing file, even one made by another
        // process a moment ago.
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            exists = GetLastError() == ERROR_FILE_EXISTS;
        } else {
            static const BYTE kMark[2] = {0xFF, 0xFE};
            DWORD written = 0;
            exists =
                WriteFile(file, kMark, sizeof kMark, &written, NULL) && written == sizeof kMark;
            CloseHandle(file);
            if (!exists)
                DeleteFileW(path.c_str());
        }
    }
    SetLastError(saved);
    return exists;
}
