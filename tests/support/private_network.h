// private_network.h: a network namespace of the test's own (Linux, as
// root) with loopback and one test interface, so a test may add and remove
// addresses without touching the machine's network.
#pragma once

#include <string>

namespace vxtest {

// The test interface's name; its peer (when it is a veth pair) is "vxtest1".
constexpr const char* kTestInterface = "vxtest0";

// Moves the calling thread (and every thread it starts afterwards) into a
// new network namespace with loopback up and the test interface up: a dummy
// interface, or a veth pair where the kernel has no dummy driver. False with
// the reason (no namespaces, not root, Windows) otherwise.
bool EnterPrivateNetwork(std::string* why);

// Runs `ip ARGUMENTS` in the namespace; false when it fails.
bool RunIp(const std::string& arguments);

}  // namespace vxtest
