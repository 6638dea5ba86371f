// winsock_test.cpp: conformance of the Winsock subset: startup, the socket
// calls on loopback, options, blocking modes and WSA error values.
#include <cstring>
#include <string>

#include "conformance.h"
#include "support/loopback.h"

namespace {

using vxtest::ConnectTo;
using vxtest::Listener;
using vxtest::LoopbackAddress;
using vxtest::SocketPair;

class WinsockTest : public ::testing::Test {
protected:
    vxtest::WinsockSession winsock_;
};

TEST(WinsockStartup, CallsBeforeStartupFailWithNotInitialised) {
    WSASetLastError(0);
    EXPECT_EQ(INVALID_SOCKET, ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, closesocket(1234));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
}

TEST(WinsockStartup, StartupGivesVersionAndCleanupBalances) {
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    EXPECT_EQ(MAKEWORD(2, 2), data.wVersion);
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(INVALID_SOCKET, sock);
    EXPECT_EQ(0, closesocket(sock));
    EXPECT_EQ(0, WSACleanup());
}

TEST(WinsockAddress, ByteOrderAndDottedAddresses) {
    EXPECT_EQ(0x3412, htons(0x1234));
    EXPECT_EQ(0x1234, ntohs(htons(0x1234)));
    EXPECT_EQ(htonl(0x7F000001u), inet_addr("127.0.0.1"));
    EXPECT_EQ(htonl(0x0A000102u), inet_addr("10.0.1.2"));
    const char* bad[] = {"not an address", "1.2.3.4.5", "256.1.1.1"};
    for (const char* text : bad)
        EXPECT_EQ(INADDR_NONE, inet_addr(text)) << text;
}

TEST_F(WinsockTest, LoopbackConnectAcceptSendReceive) {
    Listener listener;
    SOCKET client = ConnectTo(listener.port());
    ASSERT_NE(INVALID_SOCKET, client);
    sockaddr_in from = {};
    int length = sizeof(from);
    SOCKET server = ::accept(listener.sock(), reinterpret_cast<sockaddr*>(&from), &length);
    ASSERT_NE(INVALID_SOCKET, server);
    EXPECT_EQ(AF_INET, from.sin_family);
    EXPECT_EQ(inet_addr("127.0.0.1"), from.sin_addr.s_addr);

    sockaddr_in peer = {};
    length = sizeof(peer);
    ASSERT_EQ(0, getpeername(client, reinterpret_cast<sockaddr*>(&peer), &length));
    EXPECT_EQ(listener.port(), ntohs(peer.sin_port));

    EXPECT_EQ(5, ::send(client, "hello", 5, 0));
    EXPECT_EQ("hello", vxtest::ReceiveAll(server, 5));
    closesocket(client);
    closesocket(server);
}

TEST_F(WinsockTest, ListenOnAnEphemeralPortReportedByGetsockname) {
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = LoopbackAddress(0);
    ASSERT_EQ(0, ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, ::listen(sock, SOMAXCONN));
    int length = sizeof(address);
    ASSERT_EQ(0, getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length));
    EXPECT_NE(0, ntohs(address.sin_port));
    SOCKET client = ConnectTo(ntohs(address.sin_port));
    EXPECT_NE(INVALID_SOCKET, client);
    closesocket(client);
    closesocket(sock);
}

TEST_F(WinsockTest, ErrorValues) {
    // Nothing listens: refused.
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = LoopbackAddress(vxtest::UnusedPort());
    EXPECT_EQ(SOCKET_ERROR,
              ::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    EXPECT_EQ(WSAECONNREFUSED, WSAGetLastError());
    closesocket(sock);

    // The port of a listener: in use.
    Listener listener;
    sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    address = LoopbackAddress(listener.port());
    EXPECT_EQ(SOCKET_ERROR, ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError());
    closesocket(sock);

    // Not a socket.
    EXPECT_EQ(SOCKET_ERROR, closesocket(static_cast<SOCKET>(0x7FFF0)));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());

    // Not connected.
    sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int length = sizeof(address);
    EXPECT_EQ(SOCKET_ERROR, getpeername(sock, reinterpret_cast<sockaddr*>(&address), &length));
    EXPECT_EQ(WSAENOTCONN, WSAGetLastError());
    closesocket(sock);
}

TEST_F(WinsockTest, SocketOptions) {
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const int one = 1;
    const int size = 8192;
    struct Case {
        int name;
        const void* value;
        int length;
    } cases[] = {
        {SO_REUSEADDR, &one, sizeof(one)},
        {SO_SNDBUF, &size, sizeof(size)},
        {SO_RCVBUF, &size, sizeof(size)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(0,
                  setsockopt(sock, SOL_SOCKET, c.name, static_cast<const char*>(c.value), c.length))
            << c.name;
    }
    int value = 0;
    int length = sizeof(value);
    EXPECT_EQ(0, getsockopt(sock, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&value), &length));
    EXPECT_GE(value, size);

    linger option = {1, 0};
    EXPECT_EQ(0, setsockopt(sock, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
                            sizeof(option)));
    linger back = {0, 7};
    length = sizeof(back);
    EXPECT_EQ(0, getsockopt(sock, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&back), &length));
    EXPECT_EQ(1, back.l_onoff);
    EXPECT_EQ(0, back.l_linger);

    EXPECT_EQ(SOCKET_ERROR, setsockopt(sock, SOL_SOCKET, 0x7777,
                                       reinterpret_cast<const char*>(&one), sizeof(one)));
    EXPECT_EQ(WSAENOPROTOOPT, WSAGetLastError());
    closesocket(sock);
}

TEST_F(WinsockTest, NonBlockingReceiveWouldBlock) {
    SocketPair pair;
    u_long on = 1;
    ASSERT_EQ(0, ioctlsocket(pair.server, FIONBIO, &on));
    char byte = 0;
    EXPECT_EQ(SOCKET_ERROR, ::recv(pair.server, &byte, 1, 0));
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
    u_long off = 0;
    ASSERT_EQ(0, ioctlsocket(pair.server, FIONBIO, &off));
    EXPECT_EQ(1, ::send(pair.client, "x", 1, 0));
    EXPECT_EQ(1, ::recv(pair.server, &byte, 1, 0));
    EXPECT_EQ('x', byte);
}

TEST_F(WinsockTest, ShutdownSendGivesPeerEndOfStream) {
    SocketPair pair;
    EXPECT_EQ(0, ::send(pair.client, "", 0, 0));
    EXPECT_EQ(0, ::shutdown(pair.client, SD_SEND));
    char byte = 0;
    EXPECT_EQ(0, ::recv(pair.server, &byte, 1, 0));
}

TEST_F(WinsockTest, LingerZeroCloseResetsThePeer) {
    SocketPair pair;
    vxtest::CloseWithReset(pair.client);
    pair.client = INVALID_SOCKET;
    char byte = 0;
    const int got = ::recv(pair.server, &byte, 1, 0);
    const int error = WSAGetLastError();
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine, got == SOCKET_ERROR && error == WSAECONNRESET,
                               "Wine reports a reset as an orderly end of stream");
}

TEST_F(WinsockTest, CloseFromAnotherThreadEndsBlockedAccept) {
    Listener listener;
    SOCKET result = 0;
    int error = 0;
    vxtest::Event entered;
    vxtest::TestThread thread([&]() -> DWORD {
        entered.Set();
        result = ::accept(listener.sock(), nullptr, nullptr);
        error = WSAGetLastError();
        return 0;
    });
    ASSERT_TRUE(entered.WaitSet());
    Sleep(50);  // let it block in accept; the result holds either way
    listener.Close();
    ASSERT_TRUE(thread.Join());
    EXPECT_EQ(INVALID_SOCKET, result);
    EXPECT_NE(0, error);
}

}  // namespace
