// wininet.h: the WinINet subset of the Linux layer: blocking, pull-style
// HTTP handles over libcurl. Conformance tests: tests/platform/wininet_test.cpp.
//
// Thread affinity: a handle is used by one thread at a time, except
// InternetCloseHandle, which any thread may call; a call blocked on the
// closed handle (or on a child of it) then fails with
// ERROR_INTERNET_OPERATION_CANCELLED.
#pragma once

#include "vxplatform/base.h"

typedef void* HINTERNET;
typedef WORD INTERNET_PORT;
typedef int INTERNET_SCHEME;

#define INTERNET_OPEN_TYPE_PRECONFIG 0
#define INTERNET_OPEN_TYPE_DIRECT 1
#define INTERNET_OPEN_TYPE_PROXY 3

#define INTERNET_SERVICE_HTTP 3
#define INTERNET_INVALID_PORT_NUMBER 0
#define INTERNET_DEFAULT_HTTP_PORT 80
#define INTERNET_DEFAULT_HTTPS_PORT 443

#define INTERNET_SCHEME_UNKNOWN (-1)
#define INTERNET_SCHEME_DEFAULT 0
#define INTERNET_SCHEME_FTP 1
#define INTERNET_SCHEME_HTTP 3
#define INTERNET_SCHEME_HTTPS 4
#define INTERNET_SCHEME_FILE 5

#define INTERNET_FLAG_RELOAD 0x80000000u
#define INTERNET_FLAG_NO_CACHE_WRITE 0x04000000u
#define INTERNET_FLAG_SECURE 0x00800000u
#define INTERNET_FLAG_KEEP_CONNECTION 0x00400000u
#define INTERNET_FLAG_NO_AUTO_REDIRECT 0x00200000u
#define INTERNET_FLAG_FORMS_SUBMIT 0x00000040u

#define HTTP_ADDREQ_FLAG_ADD_IF_NEW 0x10000000u
#define HTTP_ADDREQ_FLAG_ADD 0x20000000u
#define HTTP_ADDREQ_FLAG_COALESCE 0x40000000u
#define HTTP_ADDREQ_FLAG_REPLACE 0x80000000u

#define HTTP_QUERY_CONTENT_LENGTH 5
#define HTTP_QUERY_STATUS_CODE 19
#define HTTP_QUERY_RAW_HEADERS_CRLF 22
#define HTTP_QUERY_FLAG_NUMBER 0x20000000u

#define HSR_INITIATE 0x00000008u

#define INTERNET_OPTION_CONNECT_TIMEOUT 2
#define INTERNET_OPTION_SEND_TIMEOUT 5
#define INTERNET_OPTION_RECEIVE_TIMEOUT 6
#define INTERNET_OPTION_SECURITY_FLAGS 31
#define INTERNET_OPTION_CONNECTED_STATE 50

#define INTERNET_STATE_CONNECTED 0x00000001u
#define INTERNET_STATE_DISCONNECTED 0x00000002u
#define ISO_FORCE_DISCONNECTED 0x00000001u

#define SECURITY_FLAG_SECURE 0x00000001u
#define SECURITY_FLAG_IGNORE_REVOCATION 0x00000080u
#define SECURITY_FLAG_IGNORE_UNKNOWN_CA 0x00000100u
#define SECURITY_FLAG_IGNORE_WRONG_USAGE 0x00000200u
#define SECURITY_FLAG_IGNORE_CERT_CN_INVALID 0x00001000u
#define SECURITY_FLAG_IGNORE_CERT_DATE_INVALID 0x00002000u

#define ERROR_INTERNET_TIMEOUT 12002u
#define ERROR_INTERNET_INTERNAL_ERROR 12004u
#define ERROR_INTERNET_INVALID_URL 12005u
#define ERROR_INTERNET_UNRECOGNIZED_SCHEME 12006u
#define ERROR_INTERNET_NAME_NOT_RESOLVED 12007u
#define ERROR_INTERNET_INVALID_OPTION 12009u
#define ERROR_INTERNET_OPERATION_CANCELLED 12017u
#define ERROR_INTERNET_INCORRECT_HANDLE_TYPE 12018u
#define ERROR_INTERNET_INCORRECT_HANDLE_STATE 12019u
#define ERROR_INTERNET_CANNOT_CONNECT 12029u
#define ERROR_INTERNET_CONNECTION_ABORTED 12030u
#define ERROR_INTERNET_CONNECTION_RESET 12031u
#define ERROR_INTERNET_SEC_CERT_DATE_INVALID 12037u
#define ERROR_INTERNET_SEC_CERT_CN_INVALID 12038u
#define ERROR_INTERNET_INVALID_CA 12045u
#define ERROR_HTTP_HEADER_NOT_FOUND 12150u
#define ERROR_HTTP_INVALID_SERVER_RESPONSE 12152u
#define ERROR_HTTP_INVALID_HEADER 12153u
#define ERROR_HTTP_INVALID_QUERY_REQUEST 12154u
#define ERROR_HTTP_HEADER_ALREADY_EXISTS 12155u
#define ERROR_HTTP_REDIRECT_FAILED 12156u
#define ERROR_INTERNET_SECURITY_CHANNEL_ERROR 12157u

typedef struct {
    DWORD dwConnectedState;
    DWORD dwFlags;
} INTERNET_CONNECTED_INFO, *LPINTERNET_CONNECTED_INFO;

typedef struct {
    DWORD dwStructSize;
    LPWSTR lpszScheme;
    DWORD dwSchemeLength;
    INTERNET_SCHEME nScheme;
    LPWSTR lpszHostName;
    DWORD dwHostNameLength;
    INTERNET_PORT nPort;
    LPWSTR lpszUserName;
    DWORD dwUserNameLength;
    LPWSTR lpszPassword;
    DWORD dwPasswordLength;
    LPWSTR lpszUrlPath;
    DWORD dwUrlPathLength;
    LPWSTR lpszExtraInfo;
    DWORD dwExtraInfoLength;
} URL_COMPONENTSW, *LPURL_COMPONENTSW;

typedef struct _INTERNET_BUFFERSW {
    DWORD dwStructSize;
    struct _INTERNET_BUFFERSW* Next;
    LPCWSTR lpcszHeader;
    DWORD dwHeadersLength;
    DWORD dwHeadersTotal;
    LPVOID lpvBuffer;
    DWORD dwBufferLength;
    DWORD dwBufferTotal;
    DWORD dwOffsetLow;
    DWORD dwOffsetHigh;
} INTERNET_BUFFERSW, *LPINTERNET_BUFFERSW;

// Root handle. Proxies: PRECONFIG reads http_proxy, https_proxy and
// no_proxy from the environment; DIRECT uses none; PROXY uses lpszProxy.
VXP_API HINTERNET InternetOpenW(LPCWSTR lpszAgent, DWORD dwAccessType, LPCWSTR lpszProxy,
                                LPCWSTR lpszProxyBypass, DWORD dwFlags);
// Remembers server and port; nothing is contacted until a request is sent.
VXP_API HINTERNET InternetConnectW(HINTERNET hInternet, LPCWSTR lpszServerName,
                                   INTERNET_PORT nServerPort, LPCWSTR lpszUserName,
                                   LPCWSTR lpszPassword, DWORD dwService, DWORD dwFlags,
                                   DWORD_PTR dwContext);
VXP_API HINTERNET HttpOpenRequestW(HINTERNET hConnect, LPCWSTR lpszVerb, LPCWSTR lpszObjectName,
                                   LPCWSTR lpszVersion, LPCWSTR lpszReferrer,
                                   LPCWSTR* lplpszAcceptTypes, DWORD dwFlags, DWORD_PTR dwContext);
// Closes the handle and its children; safe from any thread.
VXP_API BOOL InternetCloseHandle(HINTERNET hInternet);
VXP_API BOOL InternetCrackUrlW(LPCWSTR lpszUrl, DWORD dwUrlLength, DWORD dwFlags,
                               LPURL_COMPONENTSW lpUrlComponents);
// Deviation: always ERROR_SUCCESS; there is no dial-up state to enter.
VXP_API DWORD InternetAttemptConnect(DWORD dwReserved);
VXP_API BOOL InternetQueryOptionW(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                                  LPDWORD lpdwBufferLength);
VXP_API BOOL InternetSetOptionW(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                                DWORD dwBufferLength);
VXP_API BOOL HttpAddRequestHeadersW(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength,
                                    DWORD dwModifiers);
// Sends the request and returns once the final response headers arrived
// (redirects are followed unless INTERNET_FLAG_NO_AUTO_REDIRECT).
VXP_API BOOL HttpSendRequestW(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength,
                              LPVOID lpOptional, DWORD dwOptionalLength);
// Starts a request whose body follows through InternetWriteFile. Its length
// is the request's Content-Length header, else dwBufferTotal.
VXP_API BOOL HttpSendRequestExW(HINTERNET hRequest, LPINTERNET_BUFFERSW lpBuffersIn,
                                LPINTERNET_BUFFERSW lpBuffersOut, DWORD dwFlags,
                                DWORD_PTR dwContext);
// Returns once the bytes have been handed to the connection.
VXP_API BOOL InternetWriteFile(HINTERNET hFile, LPCVOID lpBuffer, DWORD dwNumberOfBytesToWrite,
                               LPDWORD lpdwNumberOfBytesWritten);
VXP_API BOOL HttpEndRequestW(HINTERNET hRequest, LPINTERNET_BUFFERSW lpBuffersOut, DWORD dwFlags,
                             DWORD_PTR dwContext);
VXP_API BOOL HttpQueryInfoW(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer,
                            LPDWORD lpdwBufferLength, LPDWORD lpdwIndex);
// Returns what has arrived (at least one byte), or 0 bytes at the end of
// the body. Deviation: a body cut short of its Content-Length or a broken
// chunked encoding fails with ERROR_INTERNET_CONNECTION_ABORTED instead of
// ending as if complete.
VXP_API BOOL InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                              LPDWORD lpdwNumberOfBytesRead);

// Code pages: on Linux the ANSI and thread code pages are UTF-8.
#define CP_ACP 0
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
// Multi-byte text of wide text; cchWideChar -1 includes the terminator.
// With cbMultiByte 0 returns the size needed. Deviation: every code page is
// UTF-8, and a character UTF-8 cannot carry becomes '?'.
VXP_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                LPCSTR lpDefaultChar, BOOL* lpUsedDefaultChar);

// Errors of file reads behind an upload.
#define ERROR_READ_FAULT 30u
#define ERROR_HANDLE_EOF 38u
#define ERROR_FILE_TOO_LARGE 223u

// Connectivity check (network monitor; platform/posix/wininet_check.cpp).
// Conformance tests: tests/platform/connection_check_test.cpp.
#define FLAG_ICC_FORCE_CONNECTION 0x00000001u
// With FLAG_ICC_FORCE_CONNECTION: TRUE when a TCP connection to the URL's
// host and port can be made now (nothing is sent). No proxy is used.
// Deviation: a null URL or a call without the flag fails with
// ERROR_NOT_SUPPORTED; a connection attempt gives up after 20 seconds.
VXP_API BOOL InternetCheckConnectionW(LPCWSTR lpszUrl, DWORD dwFlags, DWORD dwReserved);
