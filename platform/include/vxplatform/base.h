// base.h: Win32 base types, handles, constants and per-thread last error for
// the Linux layer. Conformance tests: tests/platform/errors_test.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__GNUC__)
#define VXP_API __attribute__((visibility("default")))
#else
#define VXP_API
#endif

#define WINAPI
#define CALLBACK
#define APIENTRY

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int INT;
typedef unsigned int UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR DWORD_PTR;
typedef ULONG_PTR SIZE_T;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef wchar_t WCHAR;
typedef char CHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef void* HANDLE;
typedef HANDLE* LPHANDLE;
typedef long HRESULT;
typedef int32_t volatile LONG_VOLATILE_;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFFu
#define MAX_PATH 260

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_FAIL ((HRESULT)0x80004005L)

// Win32 error codes; the same values on both targets.
#define ERROR_SUCCESS 0u
#define NO_ERROR 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_MORE_DATA 234u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_INVALID_WINDOW_HANDLE 1400u
#define ERROR_CLASS_ALREADY_EXISTS 1410u
#define ERROR_CLASS_DOES_NOT_EXIST 1411u
#define ERROR_INVALID_THREAD_ID 1444u
#define ERROR_NOT_ENOUGH_QUOTA 1816u
#define WAIT_TIMEOUT 258u

VXP_API DWORD GetLastError();
VXP_API void SetLastError(DWORD error);

// Opaque handle types: distinct so overloads and mistakes are caught as on
// Windows. Window handles are registry keys, never pointers.
struct HWND__;
typedef HWND__* HWND;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct HICON__;
typedef HICON__* HICON;
typedef HICON HCURSOR;
struct HBRUSH__;
typedef HBRUSH__* HBRUSH;
struct HMENU__;
typedef HMENU__* HMENU;
typedef WORD ATOM;
typedef void VOID;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define MAXLONG 0x7fffffff

// More Win32 error codes used by the threading and window layer.
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_BUSY 170u
#define ERROR_CANNOT_FIND_WND_CLASS 1407u
#define ERROR_WINDOW_OF_OTHER_THREAD 1408u
#define ERROR_CLASS_HAS_WINDOWS 1412u
#define ERROR_INVALID_INDEX 1413u
#define ERROR_NO_SYSTEM_RESOURCES 1450u
#define ERROR_TIMEOUT 1460u
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106L)

