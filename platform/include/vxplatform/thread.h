// thread.h: threads, priorities, forced termination, processor count and
// the COM apartment pair of the Linux layer. Conformance tests:
// tests/platform/thread_test.cpp.
#pragma once

#include "vxplatform/base.h"

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);

#define STILL_ACTIVE 259u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN (MAXLONG)

// Creates a running thread. The handle is waitable (signalled once the
// thread has ended) and stays valid until closed. Thread ids are assigned by
// the layer (multiples of 4, not reused); they are not kernel tids.
// Creation flags other than STACK_SIZE_PARAM_IS_A_RESERVATION are refused
// with ERROR_INVALID_PARAMETER (CREATE_SUSPENDED is not provided).
VXP_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                            LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                            LPDWORD threadId);
VXP_API DWORD GetCurrentThreadId();
// A pseudo handle meaning "the calling thread"; needs no closing.
VXP_API HANDLE GetCurrentThread();
VXP_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);

// Priorities are validated and remembered. Deviation: on Linux only the
// lowering ones take effect, as a nice value of the thread (IDLE 19,
// LOWEST 10, BELOW_NORMAL 5); raising needs privileges that a desktop
// process lacks, so NORMAL and above apply nice 0 where permitted and are
// otherwise just remembered.
VXP_API BOOL SetThreadPriority(HANDLE thread, int priority);
VXP_API int GetThreadPriority(HANDLE thread);

// Deviation: there is no safe way to stop a thread at an arbitrary point on
// Linux. TerminateThread marks the thread; when it is blocked in, or later
// enters, any wait of the layer (WaitFor*, MsgWaitForMultipleObjects,
// Sleep/SleepEx, GetMessageW) that wait unwinds the thread's stack and the
// thread ends with the given exit code; its handle is then signalled. No lock
// of the layer is held across the unwinding. A thread busy in code that never
// enters a layer wait cannot be stopped. A thread that catches the unwinding
// (catch (...)) and carries on is stopped again by its next wait, and its
// exit code is the given one whatever its function returns. Waits inside a
// noexcept function (a destructor) of a terminated thread end the process.
VXP_API BOOL TerminateThread(HANDLE thread, DWORD exitCode);

typedef struct _SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;

VXP_API void GetSystemInfo(LPSYSTEM_INFO info);

// COM apartments: a per-thread counter without COM behind it. The first
// initialisation of a thread returns S_OK, later ones S_FALSE (each to be
// balanced by CoUninitialize); asking for the other apartment kind while one
// is entered returns RPC_E_CHANGED_MODE.
#define COINIT_MULTITHREADED 0x0u
#define COINIT_APARTMENTTHREADED 0x2u
VXP_API HRESULT CoInitialize(LPVOID reserved);
VXP_API HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
VXP_API void CoUninitialize();
