// winsock.h: the Winsock 2 and I/O completion port subset of the Linux
// layer. Conformance tests: tests/platform/winsock_test.cpp,
// tests/platform/iocp_test.cpp.
//
// How Winsock names that are also POSIX names stay apart from the C library:
// - socket, bind, listen, accept, connect, send, recv, shutdown,
//   getpeername, getsockname, setsockopt, getsockopt, htons, ntohs, htonl,
//   ntohl and inet_addr are declared here with C++ linkage and Winsock
//   signatures (SOCKET is unsigned int, lengths are int). Their link names
//   are mangled (bind is _Z4bindjPK8sockaddri), so they never interpose on
//   the C library's bind, nor does the C library's bind satisfy them.
// - This header and the system socket headers (<sys/socket.h>,
//   <netinet/in.h>, <arpa/inet.h>) never meet in one translation unit:
//   both define struct sockaddr, so a mix fails to compile instead of mixing
//   silently. Outside platform/ no OS header is included at all
//   (scripts/check-platform.sh); inside, only platform/posix/bsd_socket.cpp
//   sees the system headers and talks to the rest through plain types.
// - Constants carry their Winsock values (SOL_SOCKET 0xFFFF, SO_REUSEADDR 4,
//   SOMAXCONN 0x7FFFFFFF); the layer translates them.
// So host code and the library write socket(AF_INET, SOCK_STREAM, 0) or
// ::bind(s, ...) the same way on both targets. A translation unit that has
// included the system socket headers before this one (Boost.Asio does), or
// defines VXP_NO_WINSOCK, gets no Winsock names from here.
//
// Deviation: where this layer differs from Winsock:
// - Only IPv4 TCP (and UDP creation) are provided; other families fail with
//   WSAEAFNOSUPPORT.
// - Overlapped operations need the socket associated with a completion port
//   (WSAEINVAL otherwise); event-signalled OVERLAPPEDs and completion
//   routines are not provided.
// - An overlapped send completes once all its bytes are sent, never in part
//   (as Windows does in practice for stream sockets).
// - Completion ports accept only sockets; the concurrency value is ignored.
// - SO_REUSEADDR has the Linux meaning: it does not let a socket bind a port
//   that another socket listens on. SO_SNDBUF and SO_RCVBUF read back as the
//   kernel's doubled values.
// - A socket number is its descriptor, reused at once after closesocket.
#pragma once

#include "vxplatform/base.h"

#if !defined(_SYS_SOCKET_H) && !defined(VXP_NO_WINSOCK)

#ifndef PASCAL
#define PASCAL
#endif

typedef unsigned int SOCKET;
typedef unsigned char u_char;
typedef unsigned short u_short;
typedef unsigned int u_int;
typedef unsigned long u_long;
typedef unsigned short USHORT;
typedef unsigned char UCHAR;
typedef ULONG_PTR* PULONG_PTR;
typedef void* PVOID;

#define INVALID_SOCKET (~0u)
#define SOCKET_ERROR (-1)

#define MAKEWORD(low, high) ((WORD)(((BYTE)(low)) | (((WORD)((BYTE)(high))) << 8)))

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
} WSADATA, *LPWSADATA;

#define AF_UNSPEC 0
#define AF_INET 2
#define PF_INET AF_INET
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define IPPROTO_IP 0
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17

#define SOL_SOCKET 0xFFFF
#define SO_REUSEADDR 0x0004
#define SO_KEEPALIVE 0x0008
#define SO_LINGER 0x0080
#define SO_SNDBUF 0x1001
#define SO_RCVBUF 0x1002
#define SO_ERROR 0x1007
#define SO_TYPE 0x1008
#define TCP_NODELAY 0x0001

#define SOMAXCONN 0x7FFFFFFF
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2
#define FIONBIO ((long)0x8004667Eu)

#define INADDR_ANY 0x00000000u
#define INADDR_LOOPBACK 0x7F000001u
#define INADDR_NONE 0xFFFFFFFFu

// Winsock error codes: the same values on both targets.
#define WSA_IO_PENDING 997
#define WSA_OPERATION_ABORTED 995
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065
#define WSANOTINITIALISED 10093

// Win32 codes a failed completion carries (the system's translation of the
// transport status), as GetQueuedCompletionStatus reports them.
#define ERROR_NETNAME_DELETED 64u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_ABANDONED_WAIT_0 735u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_PENDING 997u
#define ERROR_CONNECTION_REFUSED 1225u
#define ERROR_NETWORK_UNREACHABLE 1231u
#define ERROR_HOST_UNREACHABLE 1232u
#define ERROR_CONNECTION_ABORTED 1236u
#define ERROR_NOT_FOUND 1168u

struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};
typedef struct sockaddr SOCKADDR;

struct in_addr {
    union {
        struct {
            u_char s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        struct {
            u_short s_w1, s_w2;
        } S_un_w;
        ULONG S_addr;
    } S_un;
};
#define s_addr S_un.S_addr
typedef struct in_addr IN_ADDR;

struct sockaddr_in {
    short sin_family;
    u_short sin_port;
    struct in_addr sin_addr;
    char sin_zero[8];
};
typedef struct sockaddr_in SOCKADDR_IN;

struct linger {
    u_short l_onoff;
    u_short l_linger;
};

VXP_API int WSAStartup(WORD versionRequested, LPWSADATA data);
VXP_API int WSACleanup();
// The same per-thread value as GetLastError, as on Windows.
VXP_API int WSAGetLastError();
VXP_API void WSASetLastError(int error);

// Sockets are blocking until ioctlsocket(FIONBIO) says otherwise. A blocking
// call waiting in one thread returns WSAEINTR when another thread closes the
// socket. Every call fails with WSANOTINITIALISED before WSAStartup.
VXP_API SOCKET socket(int af, int type, int protocol);
VXP_API int closesocket(SOCKET s);
VXP_API int bind(SOCKET s, const struct sockaddr* name, int namelen);
VXP_API int listen(SOCKET s, int backlog);
VXP_API SOCKET accept(SOCKET s, struct sockaddr* addr, int* addrlen);
VXP_API int connect(SOCKET s, const struct sockaddr* name, int namelen);
VXP_API int shutdown(SOCKET s, int how);
VXP_API int send(SOCKET s, const char* buf, int len, int flags);
VXP_API int recv(SOCKET s, char* buf, int len, int flags);
VXP_API int getpeername(SOCKET s, struct sockaddr* name, int* namelen);
VXP_API int getsockname(SOCKET s, struct sockaddr* name, int* namelen);
VXP_API int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
VXP_API int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
VXP_API int ioctlsocket(SOCKET s, long cmd, u_long* argp);

VXP_API unsigned long inet_addr(const char* text);
inline u_short htons(u_short value) {
    return static_cast<u_short>((value >> 8) | (value << 8));
}
inline u_short ntohs(u_short value) {
    return htons(value);
}
inline u_long htonl(u_long value) {
    return static_cast<u_long>(__builtin_bswap32(static_cast<uint32_t>(value)));
}
inline u_long ntohl(u_long value) {
    return htonl(value);
}

// Overlapped operations and completion ports.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;      // the operation's completion code
    ULONG_PTR InternalHigh;  // bytes transferred
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;
typedef OVERLAPPED WSAOVERLAPPED;
typedef LPOVERLAPPED LPWSAOVERLAPPED;

typedef struct _WSABUF {
    ULONG len;
    CHAR* buf;
} WSABUF, *LPWSABUF;

typedef void(CALLBACK* LPWSAOVERLAPPED_COMPLETION_ROUTINE)(DWORD error, DWORD bytes,
                                                           LPWSAOVERLAPPED overlapped, DWORD flags);

typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;

#define SIO_GET_EXTENSION_FUNCTION_POINTER 0xC8000006u
#define WSAID_CONNECTEX                                    \
    {                                                      \
        0x25a207b9, 0xddf3, 0x4660, {                      \
            0x8e, 0xe9, 0x76, 0xe5, 0x8c, 0x74, 0x06, 0x3e \
        }                                                  \
    }
typedef BOOL(PASCAL* LPFN_CONNECTEX)(SOCKET s, const struct sockaddr* name, int namelen,
                                     PVOID sendBuffer, DWORD sendLength, LPDWORD bytesSent,
                                     LPOVERLAPPED overlapped);

// Starts an overlapped receive or send. Both report success (0) when the
// operation finished at once and SOCKET_ERROR with WSA_IO_PENDING when it is
// under way; in both cases exactly one packet reaches the port. Any other
// error means nothing was started and no packet follows. closesocket
// completes the operations still pending with ERROR_OPERATION_ABORTED.
VXP_API int WSARecv(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD bytesReceived, LPDWORD flags,
                    LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
VXP_API int WSASend(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD bytesSent, DWORD flags,
                    LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
// Only SIO_GET_EXTENSION_FUNCTION_POINTER with WSAID_CONNECTEX.
VXP_API int WSAIoctl(SOCKET s, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                     LPDWORD bytesReturned, LPWSAOVERLAPPED overlapped,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);

// A new port (file INVALID_HANDLE_VALUE), or the association of a socket,
// passed as (HANDLE)(ULONG_PTR)socket, with an existing port and a key. A
// socket keeps its first association.
VXP_API HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existingPort, ULONG_PTR key,
                                      DWORD concurrency);
// FALSE with an OVERLAPPED for a failed operation (its code in the last
// error), FALSE with no OVERLAPPED for a time-out (WAIT_TIMEOUT) or a port
// closed meanwhile (ERROR_ABANDONED_WAIT_0).
VXP_API BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, PULONG_PTR key,
                                       LPOVERLAPPED* overlapped, DWORD milliseconds);
VXP_API BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR key,
                                        LPOVERLAPPED overlapped);

// FILE_SKIP_COMPLETION_PORT_ON_SUCCESS: a WSARecv, WSASend or ConnectEx of
// the socket that succeeds at once queues no packet; its caller handles the
// completion. Operations that pend or fail are reported as before. Other
// flags are accepted and ignored. The mode stays with the socket.
#define FILE_SKIP_COMPLETION_PORT_ON_SUCCESS 0x1
#define FILE_SKIP_SET_EVENT_ON_HANDLE 0x2
VXP_API BOOL SetFileCompletionNotificationModes(HANDLE file, UCHAR flags);

// Cancels the socket's pending operations (all of them, or the one with this
// OVERLAPPED): each completes with ERROR_OPERATION_ABORTED. ERROR_NOT_FOUND
// when none is pending. Deviation: an operation the reactor is completing at
// that moment completes normally.
VXP_API BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);

// ---------------------------------------------------------------------------
// Socket events and address-list-change notification (network monitor).
// Conformance tests: tests/platform/address_change_test.cpp.
//
// Only FD_ADDRESS_LIST_CHANGE can be selected. WSAIoctl(SIO_ADDRESS_LIST_CHANGE)
// on a non-blocking socket arms one notification and fails with
// WSAEWOULDBLOCK; the next change of the local IPv4 address list (a netlink
// socket subscribed to IPv4 address changes, in the network namespace of the
// thread that first arms) records FD_ADDRESS_LIST_CHANGE and sets the event.
// Deviation: the blocking and overlapped forms are not provided (WSAEINVAL);
// an address list that cannot be watched (no netlink) fails with WSAENETDOWN.
typedef HANDLE WSAEVENT;
#define WSA_INVALID_EVENT ((WSAEVENT) nullptr)
#define WSA_WAIT_FAILED WAIT_FAILED
#define WSA_WAIT_TIMEOUT WAIT_TIMEOUT
#define WSA_INFINITE INFINITE

#define FD_ADDRESS_LIST_CHANGE_BIT 9
#define FD_ADDRESS_LIST_CHANGE (1 << FD_ADDRESS_LIST_CHANGE_BIT)
#define FD_MAX_EVENTS 10
#define SIO_ADDRESS_LIST_CHANGE 0x28000017u

typedef struct _WSANETWORKEVENTS {
    long lNetworkEvents;
    int iErrorCode[FD_MAX_EVENTS];
} WSANETWORKEVENTS, *LPWSANETWORKEVENTS;

// A manual-reset event, not signalled: an ordinary event handle, so it may be
// waited on together with other events.
VXP_API WSAEVENT WSACreateEvent();
VXP_API BOOL WSACloseEvent(WSAEVENT event);
VXP_API BOOL WSASetEvent(WSAEVENT event);
VXP_API BOOL WSAResetEvent(WSAEVENT event);
// Selects the events of networkEvents for the socket on this event; a new
// selection replaces the old one, 0 ends it. Other bits fail with WSAEINVAL.
VXP_API int WSAEventSelect(SOCKET s, WSAEVENT event, long networkEvents);
// Reports and clears the events recorded since the last call, and resets
// the event when one is given.
VXP_API int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, LPWSANETWORKEVENTS networkEvents);
VXP_API DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL waitAll,
                                       DWORD milliseconds, BOOL alertable);

#endif  // !_SYS_SOCKET_H && !VXP_NO_WINSOCK
