// errors_test.cpp: per-thread last error and the error codes failing calls
// report.
#include <string>
#include <vector>

#include "tests/platform/conformance.h"

namespace {

using vxtest::TestThread;

TEST(LastError, RoundTripsAnyValue) {
    for (DWORD value : {0u, 6u, 87u, 1400u, 0xdeadbeefu, 0xffffffffu}) {
        SetLastError(value);
        EXPECT_EQ(value, GetLastError());
    }
}

TEST(LastError, IsKeptPerThread) {
    SetLastError(1111);
    DWORD seenByOther = 0;
    TestThread other([&] {
        seenByOther = GetLastError();  // a new thread starts with 0
        SetLastError(2222);
        return GetLastError();
    });
    ASSERT_TRUE(other.Join());
    DWORD otherFinal = 0;
    ASSERT_TRUE(GetExitCodeThread(other.handle(), &otherFinal));
    EXPECT_EQ(0u, seenByOther);
    EXPECT_EQ(2222u, otherFinal);
    EXPECT_EQ(1111u, GetLastError());
}

HANDLE BogusHandle() {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff0bad0));
}

HWND BogusWindow() {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7ff0bad0));
}

struct FailingCall {
    const char* what;
    std::function<bool()> fails;  // runs the call, true when it reported failure
    DWORD error;
    const char* wineGap = nullptr;  // why Wine reports another code, if it does
};

TEST(LastError, FailingCallsReportWin32Codes) {
    const HANDLE bogus = BogusHandle();
    const std::vector<FailingCall> table = {
        {"CloseHandle(null)", [] { return !CloseHandle(nullptr); }, ERROR_INVALID_HANDLE},
        {"CloseHandle(bogus)", [&] { return !CloseHandle(bogus); }, ERROR_INVALID_HANDLE},
        {"SetEvent(bogus)", [&] { return !SetEvent(bogus); }, ERROR_INVALID_HANDLE},
        {"ResetEvent(null)", [] { return !ResetEvent(nullptr); }, ERROR_INVALID_HANDLE},
        {"WaitForSingleObject(bogus)", [&] { return WaitForSingleObject(bogus, 0) == WAIT_FAILED; },
         ERROR_INVALID_HANDLE},
        {"WaitForMultipleObjects(0)",
         [&] { return WaitForMultipleObjects(0, &bogus, FALSE, 0) == WAIT_FAILED; },
         ERROR_INVALID_PARAMETER},
        {"GetExitCodeThread(bogus)",
         [&] {
             DWORD code;
             return !GetExitCodeThread(bogus, &code);
         },
         ERROR_INVALID_HANDLE},
        {"GetThreadPriority(bogus)",
         [&] { return GetThreadPriority(bogus) == THREAD_PRIORITY_ERROR_RETURN; },
         ERROR_INVALID_HANDLE},
        {"SetThreadPriority(current, 3)", [] { return !SetThreadPriority(GetCurrentThread(), 3); },
         ERROR_INVALID_PARAMETER},
        {"TerminateThread(bogus)", [&] { return !TerminateThread(bogus, 0); },
         ERROR_INVALID_HANDLE},
        {"PostMessageW(bogus)", [] { return !PostMessageW(BogusWindow(), WM_USER, 0, 0); },
         ERROR_INVALID_WINDOW_HANDLE},
        {"PostThreadMessageW(unknown id)",
         [] { return !PostThreadMessageW(0x7ffffffc, WM_USER, 0, 0); }, ERROR_INVALID_THREAD_ID,
         "Wine reports ERROR_INVALID_PARAMETER for an unknown thread id"},
        {"DestroyWindow(bogus)", [] { return !DestroyWindow(BogusWindow()); },
         ERROR_INVALID_WINDOW_HANDLE, "Wine reports ERROR_ACCESS_DENIED for an unknown window"},
        {"GetWindowLongPtrW(bogus)",
         [] { return GetWindowLongPtrW(BogusWindow(), GWLP_USERDATA) == 0; },
         ERROR_INVALID_WINDOW_HANDLE},
        {"SendMessageW(bogus)", [] { return SendMessageW(BogusWindow(), WM_USER, 0, 0) == 0; },
         ERROR_INVALID_WINDOW_HANDLE},
        {"UnregisterClassW(unknown)",
         [] { return !UnregisterClassW(L"vx-no-such-class", nullptr); },
         ERROR_CLASS_DOES_NOT_EXIST},
        {"CreateWindowExW(unknown class)",
         [] {
             return CreateWindowExW(0, L"vx-no-such-class", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, nullptr, nullptr) == nullptr;
         },
         ERROR_CANNOT_FIND_WND_CLASS, "Wine reports ERROR_CLASS_DOES_NOT_EXIST"},
        {"MsgWaitForMultipleObjects(64)",
         [&] {
             HANDLE many[MAXIMUM_WAIT_OBJECTS] = {};
             return MsgWaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, FALSE, 0, QS_ALLINPUT) ==
                    WAIT_FAILED;
         },
         ERROR_INVALID_PARAMETER},
    };
    for (const FailingCall& call : table) {
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(call.fails()) << call.what;
        if (call.wineGap) {
            VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine, call.error == GetLastError(),
                                       call.wineGap);
        } else {
            EXPECT_EQ(call.error, GetLastError()) << call.what;
        }
    }
}

}  // namespace
