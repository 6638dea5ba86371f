// private_network.cpp: see private_network.h.
#include "support/private_network.h"

#include <cstdlib>

#if !defined(_WIN32)
#include <sched.h>

#include <cerrno>
#include <cstring>
#endif

namespace vxtest {

#if defined(_WIN32)

bool EnterPrivateNetwork(std::string* why) {
    *why = "network namespaces are a Linux facility (not available under Windows or Wine)";
    return false;
}

bool RunIp(const std::string&) {
    return false;
}

#else

bool RunIp(const std::string& arguments) {
    return std::system(("ip " + arguments + " >/dev/null 2>&1").c_str()) == 0;
}

bool EnterPrivateNetwork(std::string* why) {
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("cannot make a network namespace (needs root): ") + std::strerror(errno);
        return false;
    }
    const std::string name = kTestInterface;
    const bool made = RunIp("link add " + name + " type dummy") ||
                      (RunIp("link add " + name + " type veth peer name vxtest1") &&
                       RunIp("link set vxtest1 up"));
    if (!RunIp("link set lo up") || !made || !RunIp("link set " + name + " up")) {
        *why = "cannot set up the test interface with `ip` in the new namespace";
        return false;
    }
    return true;
}

#endif

}  // namespace vxtest
