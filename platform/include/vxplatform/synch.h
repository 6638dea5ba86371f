// synch.h: events, critical sections, interlocked operations, waits, sleeps
// and tick counts of the Linux layer. Conformance tests:
// tests/platform/synch_test.cpp, tests/platform/wait_test.cpp.
#pragma once

#include "vxplatform/base.h"

#define WAIT_OBJECT_0 0u
#define WAIT_ABANDONED_0 0x80u
#define WAIT_IO_COMPLETION 0xC0u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

// Events. Deviation: named events are not shared between calls or
// processes; a name is accepted and ignored, so each call makes a new event.
VXP_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                            LPCWSTR name);
VXP_API BOOL SetEvent(HANDLE event);
VXP_API BOOL ResetEvent(HANDLE event);

// Closes a handle of any layer object (events, threads, and the objects of
// other layer families); the object lives on while waits still use it.
VXP_API BOOL CloseHandle(HANDLE object);

// Waits. Waits are the points where a thread ended by TerminateThread
// really ends (see thread.h).
VXP_API DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
VXP_API DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll,
                                     DWORD milliseconds);
VXP_API void Sleep(DWORD milliseconds);
// Deviation: there are no APCs on Linux, so an alertable sleep is never cut
// short and the result is always 0 (never WAIT_IO_COMPLETION).
VXP_API DWORD SleepEx(DWORD milliseconds, BOOL alertable);

// Milliseconds since boot (suspend included), wrapping after 49.7 days.
VXP_API DWORD GetTickCount();
VXP_API ULONGLONG GetTickCount64();

// Critical sections: recursive locks living inside the caller's structure.
// A zero-filled structure must be initialised before use; initialising it
// again without deleting is harmless (no resources are held).
typedef struct _RTL_CRITICAL_SECTION {
    alignas(8) unsigned char Opaque[64];
} CRITICAL_SECTION, *LPCRITICAL_SECTION, *PCRITICAL_SECTION;

VXP_API void InitializeCriticalSection(LPCRITICAL_SECTION section);
VXP_API BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount);
VXP_API void EnterCriticalSection(LPCRITICAL_SECTION section);
VXP_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
VXP_API void LeaveCriticalSection(LPCRITICAL_SECTION section);
VXP_API void DeleteCriticalSection(LPCRITICAL_SECTION section);

// Interlocked operations: full barriers, as on Windows.
inline LONG InterlockedIncrement(LONG volatile* target) {
    return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* target) {
    return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
