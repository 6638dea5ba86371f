// conformance.h: shared helpers of the platform conformance tests: markers
// for known, deliberate differences between the Linux layer and Win32 (or
// Wine), threads for tests, and event waits with generous deadlines.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "support/wait.h"
#include "vxplatform.h"

namespace vxtest {

// Where a known difference shows.
enum class Side {
    LinuxLayer,  // our Linux layer deviates from Win32 on purpose
    Wine,        // Wine lacks a Win32 behaviour (Windows build under Wine)
};

inline bool RunningUnderWine() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

inline bool OnSide(Side side) {
#if defined(_WIN32)
    return side == Side::Wine && RunningUnderWine();
#else
    return side == Side::LinuxLayer;
#endif
}

// Generous deadline for anything that should happen "soon".
constexpr DWORD kWaitMs = 20000;

// A thread running a std::function; joined (waited for and closed) by the
// destructor.
class TestThread {
public:
    explicit TestThread(std::function<DWORD()> body) : body_(std::move(body)) {
        handle_ = CreateThread(nullptr, 0, &TestThread::Main, this, 0, &id_);
    }
    ~TestThread() {
        if (handle_) {
            WaitForSingleObject(handle_, kWaitMs);
            CloseHandle(handle_);
        }
    }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;

    HANDLE handle() const { return handle_; }
    DWORD id() const { return id_; }
    bool Join(DWORD ms = kWaitMs) const {
        return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0;
    }

private:
    static DWORD WINAPI Main(LPVOID self) { return static_cast<TestThread*>(self)->body_(); }

    std::function<DWORD()> body_;
    HANDLE handle_ = nullptr;
    DWORD id_ = 0;
};

// An event handle closed on scope exit.
class Event {
public:
    explicit Event(bool manualReset = true, bool initial = false)
        : handle_(CreateEventW(nullptr, manualReset, initial, nullptr)) {}
    ~Event() {
        if (handle_)
            CloseHandle(handle_);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    HANDLE get() const { return handle_; }
    void Set() const { SetEvent(handle_); }
    bool WaitSet(DWORD ms = kWaitMs) const {
        return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0;
    }
    // Consumes an auto-reset event.
    bool IsSet() const { return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }

private:
    HANDLE handle_;
};

}  // namespace vxtest

// Checks a Win32 behaviour that is known to differ on one side: there the
// check is expected to fail, and an unexpected pass fails the test so that
// the marker (and the Deviation it documents) gets removed.
#define VX_EXPECT_UNLESS_DEVIATION(side, condition, reason)                           \
    do {                                                                              \
        const bool vxConforms = static_cast<bool>(condition);                         \
        if (vxtest::OnSide(side)) {                                                   \
            if (vxConforms) {                                                         \
                ADD_FAILURE() << "unexpected pass of a known deviation (" << (reason) \
                              << "): remove the marker";                              \
            } else {                                                                  \
                std::printf("[ DEVIATION] %s: %s\n", #condition, (reason));           \
            }                                                                         \
        } else {                                                                      \
            EXPECT_TRUE(vxConforms) << #condition;                                    \
        }                                                                             \
    } while (0)
