// bsd_socket.h: the BSD socket calls under the Winsock family, behind plain
// types. Only bsd_socket.cpp sees the system socket headers; everything
// else sees vxplatform/winsock.h, which defines the same struct names.
// Conformance tests: tests/platform/winsock_test.cpp.
//
// Every call returns its result (>= 0) or -errno. Descriptors are always
// non-blocking in the kernel; the Winsock family emulates blocking mode.
// Addresses are passed in the Winsock layout, which for IPv4 is the Linux
// layout byte for byte.
#pragma once

#include <cstddef>

namespace vxp {
namespace bsd {

struct Slice {
    void* data;
    size_t length;
};

int Socket(int af, int type, int protocol);
int Close(int fd);
int Bind(int fd, const void* address, int length);
int Listen(int fd, int backlog);
int Accept(int fd, void* address, int* length);
int Connect(int fd, const void* address, int length);
int Shutdown(int fd, int how);
// Winsock flags (MSG_OOB 1, MSG_PEEK 2) have the Linux values.
long Receive(int fd, const Slice* slices, int count, int flags);
long Send(int fd, const Slice* slices, int count, int flags);
int PeerName(int fd, void* address, int* length);
int SockName(int fd, void* address, int* length);
// Winsock levels and option names; SO_LINGER takes the Winsock struct linger.
int SetOption(int fd, int level, int name, const void* value, int length);
int GetOption(int fd, int level, int name, void* value, int* length);
// The pending error of the socket (SO_ERROR), as an errno value.
int PendingError(int fd);
// Blocks until the descriptor is readable (or writable), hung up or failed.
int WaitReady(int fd, bool write);
unsigned long InetAddr(const char* text);

}  // namespace bsd
}  // namespace vxp
