// bsd_socket.cpp: the BSD socket calls under the Winsock family; the one
// file of the layer that includes the system socket headers.
// Conformance tests: tests/platform/winsock_test.cpp.
#include "platform/posix/bsd_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace vxp {
namespace bsd {

namespace {

// Winsock option levels and names (see vxplatform/winsock.h).
constexpr int kWinSolSocket = 0xFFFF;
constexpr int kWinIpProtoTcp = 6;
constexpr int kWinLinger = 0x0080;

struct OptionMapping {
    int winLevel;
    int winName;
    int level;
    int name;
};

constexpr OptionMapping kOptions[] = {
    {kWinSolSocket, 0x0004, SOL_SOCKET, SO_REUSEADDR},
    {kWinSolSocket, 0x0008, SOL_SOCKET, SO_KEEPALIVE},
    {kWinSolSocket, kWinLinger, SOL_SOCKET, SO_LINGER},
    {kWinSolSocket, 0x1001, SOL_SOCKET, SO_SNDBUF},
    {kWinSolSocket, 0x1002, SOL_SOCKET, SO_RCVBUF},
    {kWinSolSocket, 0x1007, SOL_SOCKET, SO_ERROR},
    {kWinSolSocket, 0x1008, SOL_SOCKET, SO_TYPE},
    {kWinIpProtoTcp, 0x0001, IPPROTO_TCP, TCP_NODELAY},
};

const OptionMapping* FindOption(int level, int name) {
    for (const OptionMapping& m : kOptions) {
        if (m.winLevel == level && m.winName == name)
            return &m;
    }
    return nullptr;
}

struct WinLinger {
    unsigned short onoff;
    unsigned short seconds;
};

long Result(long value) {
    return value < 0 ? -errno : value;
}

msghdr Message(const Slice* slices, int count) {
    msghdr message{};
    message.msg_iov = reinterpret_cast<iovec*>(const_cast<Slice*>(slices));
    message.msg_iovlen = static_cast<size_t>(count);
    return message;
}

static_assert(sizeof(Slice) == sizeof(iovec), "Slice mirrors iovec");

}  // namespace

int Socket(int af, int type, int protocol) {
    if (af != AF_INET)
        return -EAFNOSUPPORT;
    return static_cast<int>(Result(::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol)));
}

int Close(int fd) {
    return static_cast<int>(Result(::close(fd)));
}

int Bind(int fd, const void* address, int length) {
    return static_cast<int>(
        Result(::bind(fd, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length))));
}

int Listen(int fd, int backlog) {
    return static_cast<int>(Result(::listen(fd, backlog < 0 ? 0 : backlog)));
}

int Accept(int fd, void* address, int* length) {
    socklen_t size = length ? static_cast<socklen_t>(*length) : 0;
    const int result = ::accept4(fd, address ? static_cast<sockaddr*>(address) : nullptr,
                                 address ? &size : nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (result >= 0 && length && address)
        *length = static_cast<int>(size);
    return static_cast<int>(Result(result));
}

int Connect(int fd, const void* address, int length) {
    return static_cast<int>(Result(
        ::connect(fd, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length))));
}

int Shutdown(int fd, int how) {
    return static_cast<int>(Result(::shutdown(fd, how)));
}

long Receive(int fd, const Slice* slices, int count, int flags) {
    msghdr message = Message(slices, count);
    return Result(::recvmsg(fd, &message, flags | MSG_DONTWAIT));
}

long Send(int fd, const Slice* slices, int count, int flags) {
    msghdr message = Message(slices, count);
    return Result(::sendmsg(fd, &message, flags | MSG_DONTWAIT | MSG_NOSIGNAL));
}

int PeerName(int fd, void* address, int* length) {
    socklen_t size = static_cast<socklen_t>(*length);
    const int result = ::getpeername(fd, static_cast<sockaddr*>(address), &size);
    if (result == 0)
        *length = static_cast<int>(size);
    return static_cast<int>(Result(result));
}

int SockName(int fd, void* address, int* length) {
    socklen_t size = static_cast<socklen_t>(*length);
    const int result = ::getsockname(fd, static_cast<sockaddr*>(address), &size);
    if (result == 0)
        *length = static_cast<int>(size);
    return static_cast<int>(Result(result));
}

int SetOption(int fd, int level, int name, const void* value, int length) {
    const OptionMapping* option = FindOption(level, name);
    if (!option)
        return -ENOPROTOOPT;
    if (name == kWinLinger && level == kWinSolSocket) {
        if (length < static_cast<int>(sizeof(WinLinger)))
            return -EFAULT;
        const auto* win = static_cast<const WinLinger*>(value);
        ::linger native{win->onoff ? 1 : 0, win->seconds};
        return static_cast<int>(
            Result(::setsockopt(fd, SOL_SOCKET, SO_LINGER, &native, sizeof(native))));
    }
    if (length < static_cast<int>(sizeof(int)))
        return -EFAULT;
    int native = *static_cast<const int*>(value);
    return static_cast<int>(
        Result(::setsockopt(fd, option->level, option->name, &native, sizeof(native))));
}

int GetOption(int fd, int level, int name, void* value, int* length) {
    const OptionMapping* option = FindOption(level, name);
    if (!option)
        return -ENOPROTOOPT;
    if (name == kWinLinger && level == kWinSolSocket) {
        if (*length < static_cast<int>(sizeof(WinLinger)))
            return -EFAULT;
        ::linger native{};
        socklen_t size = sizeof(native);
        if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &native, &size) != 0)
            return -errno;
        *static_cast<WinLinger*>(value) = {static_cast<unsigned short>(native.l_onoff ? 1 : 0),
                                           static_cast<unsigned short>(native.l_linger)};
        *length = sizeof(WinLinger);
        return 0;
    }
    if (*length < static_cast<int>(sizeof(int)))
        return -EFAULT;
    int native = 0;
    socklen_t size = sizeof(native);
    if (::getsockopt(fd, option->level, option->name, &native, &size) != 0)
        return -errno;
    *static_cast<int*>(value) = native;
    *length = sizeof(int);
    return 0;
}

int PendingError(int fd) {
    int error = 0;
    socklen_t size = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return errno;
    return error;
}

int WaitReady(int fd, bool write) {
    pollfd entry{fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    int result;
    do {
        result = ::poll(&entry, 1, -1);
    } while (result < 0 && errno == EINTR);
    return static_cast<int>(Result(result));
}

unsigned long InetAddr(const char* text) {
    if (!text)
        return INADDR_NONE;
    in_addr address{};
    if (::inet_aton(text, &address) == 0)
        return INADDR_NONE;
    return address.s_addr;
}

}  // namespace bsd
}  // namespace vxp
