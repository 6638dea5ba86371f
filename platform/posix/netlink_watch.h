// netlink_watch.h: the watcher behind address-list-change notification, a
// netlink socket subscribed to IPv4 address changes. Behind plain types:
// only netlink_watch.cpp sees the system socket headers.
// Conformance tests: tests/platform/address_change_test.cpp.
#pragma once

namespace vxp {
namespace netlink {

// Starts the watcher thread once, in the calling thread's network namespace;
// it calls onChange for every IPv4 address added or removed. False, with
// errno kept, when no netlink socket can be opened; a later call tries again.
bool WatchAddressChanges(void (*onChange)());

}  // namespace netlink
}  // namespace vxp
