// Conformance tests of socket events and address-list-change notification:
// WSACreateEvent, WSAEventSelect(FD_ADDRESS_LIST_CHANGE),
// WSAIoctl(SIO_ADDRESS_LIST_CHANGE) on a non-blocking socket,
// WSAEnumNetworkEvents, and waits that mix such an event with an ordinary
// one. Real address changes happen in a network namespace of the test's own.
#include <string>

#include "platform/conformance.h"
#include "support/loopback.h"
#include "support/private_network.h"

namespace {

// A non-blocking UDP socket with FD_ADDRESS_LIST_CHANGE selected on an event.
class AddressWatch {
public:
    AddressWatch() : event_(WSACreateEvent()), sock_(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {
        u_long on = 1;
        ioctlsocket(sock_, FIONBIO, &on);
        selected_ = WSAEventSelect(sock_, event_, FD_ADDRESS_LIST_CHANGE);
    }
    ~AddressWatch() {
        closesocket(sock_);
        WSACloseEvent(event_);
    }
    AddressWatch(const AddressWatch&) = delete;
    AddressWatch& operator=(const AddressWatch&) = delete;

    // The result and the last error of one request.
    std::pair<int, int> Request() {
        DWORD bytes = 0;
        const int result = WSAIoctl(sock_, SIO_ADDRESS_LIST_CHANGE, nullptr, 0, nullptr, 0, &bytes,
                                    nullptr, nullptr);
        return {result, WSAGetLastError()};
    }
    long Enumerate() {
        WSANETWORKEVENTS events = {};
        EXPECT_EQ(WSAEnumNetworkEvents(sock_, event_, &events), 0);
        return events.lNetworkEvents;
    }
    bool Signalled(DWORD ms = 0) { return WaitForSingleObject(event_, ms) == WAIT_OBJECT_0; }

    WSAEVENT event() const { return event_; }
    SOCKET sock() const { return sock_; }
    int selected() const { return selected_; }

private:
    WSAEVENT event_;
    SOCKET sock_;
    int selected_;
};

class AddressChange : public ::testing::Test {
protected:
    vxtest::WinsockSession winsock_;
};

TEST_F(AddressChange, SocketEventIsAManualResetEventNotSignalled) {
    WSAEVENT event = WSACreateEvent();
    ASSERT_NE(event, WSA_INVALID_EVENT);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(WSASetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // manual reset
    EXPECT_TRUE(WSAResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(WSACloseEvent(event));
}

TEST_F(AddressChange, WaitsTogetherWithAnOrdinaryEvent) {
    AddressWatch watch;
    vxtest::Event stop;
    const HANDLE both[2] = {stop.get(), watch.event()};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
    WSASetEvent(watch.event());
    EXPECT_EQ(WSAWaitForMultipleEvents(2, both, FALSE, 0, FALSE), WAIT_OBJECT_0 + 1);
    stop.Set();
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);  // lowest index first
}

TEST_F(AddressChange, RequestOnNonBlockingSocketWouldBlockWhilePending) {
    AddressWatch watch;
    ASSERT_EQ(watch.selected(), 0);
    for (int attempt = 0; attempt < 2; ++attempt) {  // also while one is already pending
        const std::pair<int, int> request = watch.Request();
        EXPECT_EQ(request.first, SOCKET_ERROR);
        EXPECT_EQ(request.second, WSAEWOULDBLOCK);
    }
    EXPECT_FALSE(watch.Signalled());
    EXPECT_EQ(watch.Enumerate(), 0);
}

TEST_F(AddressChange, BadInput) {
    WSANETWORKEVENTS events;
    EXPECT_EQ(WSAEnumNetworkEvents(INVALID_SOCKET, nullptr, &events), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(WSAEventSelect(INVALID_SOCKET, nullptr, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    DWORD bytes = 0;
    EXPECT_EQ(WSAIoctl(INVALID_SOCKET, SIO_ADDRESS_LIST_CHANGE, nullptr, 0, nullptr, 0, &bytes,
                       nullptr, nullptr),
              SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

// Adding and removing an address each complete one armed request: the
// event is set, FD_ADDRESS_LIST_CHANGE is recorded once, and enumeration
// resets the event.
TEST_F(AddressChange, AddedAndRemovedAddressSignalsArmedRequest) {
    std::string why;
    if (!vxtest::EnterPrivateNetwork(&why))
        GTEST_SKIP() << "address changes need a private network namespace: " << why;
    AddressWatch watch;
    const std::string device = std::string(" dev ") + vxtest::kTestInterface;
    for (const char* change : {"addr add 10.77.0.1/24", "addr del 10.77.0.1/24"}) {
        ASSERT_EQ(watch.Request().second, WSAEWOULDBLOCK);
        ASSERT_TRUE(vxtest::RunIp(change + device)) << change;
        ASSERT_TRUE(watch.Signalled(vxtest::kWaitMs)) << change;
        EXPECT_EQ(watch.Enumerate(), FD_ADDRESS_LIST_CHANGE) << change;
        EXPECT_FALSE(watch.Signalled()) << change;
        EXPECT_EQ(watch.Enumerate(), 0) << change;
    }
}

// A change with no request armed is not reported.
TEST_F(AddressChange, UnarmedSocketIsNotSignalled) {
    std::string why;
    if (!vxtest::EnterPrivateNetwork(&why))
        GTEST_SKIP() << "address changes need a private network namespace: " << why;
    AddressWatch unarmed;
    AddressWatch armed;  // tells when the change has been seen
    ASSERT_EQ(armed.Request().second, WSAEWOULDBLOCK);
    ASSERT_TRUE(vxtest::RunIp(std::string("addr add 10.77.0.2/24 dev ") + vxtest::kTestInterface));
    ASSERT_TRUE(armed.Signalled(vxtest::kWaitMs));
    EXPECT_FALSE(unarmed.Signalled());
    EXPECT_EQ(unarmed.Enumerate(), 0);
}

}  // namespace
