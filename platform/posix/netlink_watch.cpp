// netlink_watch.cpp: see netlink_watch.h.
#include "platform/posix/netlink_watch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace vxp {
namespace netlink {
namespace {

int OpenAddressSocket() {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    sockaddr_nl local;
    std::memset(&local, 0, sizeof(local));
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_IFADDR;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool CarriesAddressChange(const char* data, long length) {
    auto header = reinterpret_cast<const nlmsghdr*>(data);
    for (; NLMSG_OK(header, static_cast<unsigned>(length)); header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_type == RTM_NEWADDR || header->nlmsg_type == RTM_DELADDR)
            return true;
    }
    return false;
}

// Lives as long as the process: it owns nothing but its descriptor.
void Watch(int fd, void (*onChange)()) {
    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        const long n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == ENOBUFS) {  // changes were lost: report one
            onChange();
            continue;
        }
        if (n <= 0)
            break;
        if (CarriesAddressChange(buffer, n))
            onChange();
    }
    ::close(fd);
}

}  // namespace

bool WatchAddressChanges(void (*onChange)()) {
    static std::mutex lock;
    static bool started = false;
    std::lock_guard<std::mutex> guard(lock);
    if (started)
        return true;
    const int fd = OpenAddressSocket();
    if (fd < 0)
        return false;
    std::thread(&Watch, fd, onChange).detach();
    started = true;
    return true;
}

}  // namespace netlink
}  // namespace vxp
