// extras.cpp (Windows): thread naming by the debugger convention and by the
// thread description where the system has one.
// Conformance tests: tests/platform/extras_test.cpp.
#include <string>

#include "vxplatform.h"

namespace {

constexpr DWORD kSetThreadNameException = 0x406D1388;

// A debugger sees the exception first; without one this handler lets the
// raise return, so mingw code needs no structured exception handling.
LONG CALLBACK ContinueAfterThreadName(EXCEPTION_POINTERS* info) {
    return info->ExceptionRecord->ExceptionCode == kSetThreadNameException
               ? EXCEPTION_CONTINUE_EXECUTION
               : EXCEPTION_CONTINUE_SEARCH;
}

void RaiseThreadNameException(DWORD threadId, const char* name) {
    // The record {type 0x1000, name, thread id, flags 0} as four arguments.
    const ULONG_PTR record[4] = {0x1000, reinterpret_cast<ULONG_PTR>(name), threadId, 0};
    PVOID handler = AddVectoredExceptionHandler(1, ContinueAfterThreadName);
    if (!handler)
        return;
    RaiseException(kSetThreadNameException, 0, 4, record);
    RemoveVectoredExceptionHandler(handler);
}

void SetDescription(DWORD threadId, const char* name) {
    using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC proc = kernel ? GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    if (!proc)
        return;
    auto setDescription = reinterpret_cast<SetThreadDescriptionFn>(reinterpret_cast<void*>(proc));
    const int length = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
    if (length <= 0)
        return;
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, name, -1, &wide[0], length);
    HANDLE thread = OpenThread(THREAD_SET_LIMITED_INFORMATION, FALSE, threadId);
    if (!thread)
        return;
    setDescription(thread, wide.c_str());
    CloseHandle(thread);
}

}  // namespace

void VxSetThreadName(DWORD threadId, const char* name) {
    if (!name)
        return;
    RaiseThreadNameException(threadId, name);
    SetDescription(threadId, name);
}

// Large pages need a privilege hosts rarely hold; the hint has no effect.
void VxAdviseLargeBuffer(void*, size_t) {}
