// console_win32.cpp: the console seam of vexlo on Windows: wide arguments,
// console control events, consoles and the raw standard input.
#include <cstdio>

#include "tools/vexlo/vexlo.h"  // windows.h first: shellapi.h builds on it

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

namespace vexlo {

namespace {
volatile LONG g_stop = 0;

BOOL WINAPI OnControl(DWORD) {
    InterlockedExchange(&g_stop, 1);
    return TRUE;  // the window thread ends the work and the process
}
}  // namespace

// The narrow arguments are in the ANSI code page; the wide ones carry every
// name, so they are taken and converted to UTF-8 like on Linux.
std::vector<std::string> CommandLine(int, char**) {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wide && i < count; ++i)
        args.push_back(Narrow(wide[i]));
    LocalFree(wide);
    return args;
}

void InstallStopHandler() {
    SetConsoleCtrlHandler(OnControl, TRUE);
}

bool StopSignalled() {
    return InterlockedCompareExchange(&g_stop, 0, 0) != 0;
}

bool IsTerminal(FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

void SetBinary(FILE* stream) {
    _setmode(_fileno(stream), _O_BINARY);
}

long ReadStandardInput(char* buffer, unsigned long size, unsigned long& error) {
    DWORD read = 0;
    if (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, size, &read, nullptr))
        return static_cast<long>(read);
    error = GetLastError();
    return error == ERROR_BROKEN_PIPE ? 0 : -1;  // a pipe whose writer has gone
}

void RemoveFile(const std::string& path) {
    _wremove(Widen(path).c_str());
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return path;
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    full.resize(length);
    return full;
}

}  // namespace vexlo
