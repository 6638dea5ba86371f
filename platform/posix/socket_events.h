// socket_events.h: the address-list-change notification of the Winsock
// family (winsock_events.cpp), as seen from winsock.cpp.
// Conformance tests: tests/platform/address_change_test.cpp.
#pragma once

#include "platform/posix/iocp.h"

namespace vxp {

// WSAIoctl(SIO_ADDRESS_LIST_CHANGE) on a known socket.
int RequestAddressListChange(SOCKET s, SocketState& state, LPWSAOVERLAPPED overlapped,
                             LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
// closesocket: drops the socket's selection and recorded events.
void ForgetSocketEvents(SOCKET s);

}  // namespace vxp
