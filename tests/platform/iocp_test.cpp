// iocp_test.cpp: conformance of completion ports and the overlapped socket
// calls: every started operation completes exactly once as a packet, failed
// ones as FALSE with their OVERLAPPED and error.
#include <cstring>
#include <string>

#include "conformance.h"
#include "support/loopback.h"

namespace {

using vxtest::SocketPair;

constexpr ULONG_PTR kKey = 0x5A17;

struct Dequeued {
    BOOL ok = FALSE;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED overlapped = nullptr;
    DWORD error = 0;
};

Dequeued Dequeue(HANDLE port, DWORD ms = vxtest::kWaitMs) {
    Dequeued d;
    SetLastError(0xdeadbeef);
    d.ok = GetQueuedCompletionStatus(port, &d.bytes, &d.key, &d.overlapped, ms);
    d.error = GetLastError();
    return d;
}

class IocpTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
        ASSERT_NE(nullptr, port_);
    }
    void TearDown() override {
        if (port_)
            CloseHandle(port_);
    }
    void Associate(SOCKET sock) {
        ASSERT_EQ(port_,
                  CreateIoCompletionPort(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(sock)),
                                         port_, kKey, 0));
    }
    // Nothing else is queued.
    void ExpectEmpty() {
        const Dequeued d = Dequeue(port_, 50);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(nullptr, d.overlapped);
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), d.error);
    }
    int StartReceive(SOCKET sock, OVERLAPPED* overlapped, char* buffer, ULONG size) {
        WSABUF wsabuf = {size, buffer};
        DWORD received = 0;
        DWORD flags = 0;
        std::memset(overlapped, 0, sizeof(*overlapped));
        if (WSARecv(sock, &wsabuf, 1, &received, &flags, overlapped, nullptr) == 0)
            return 0;
        return WSAGetLastError();
    }
    // With nothing to read, a receive pends; bytes sent later complete it as
    // one packet.
    void ExpectPendingReceiveCompletes(const SocketPair& pair, OVERLAPPED* overlapped) {
        char buffer[16] = {};
        EXPECT_EQ(WSA_IO_PENDING, StartReceive(pair.server, overlapped, buffer, sizeof(buffer)));
        ExpectEmpty();
        ASSERT_TRUE(vxtest::SendAll(pair.client, "hello"));
        const Dequeued d = Dequeue(port_);
        EXPECT_TRUE(d.ok);
        EXPECT_EQ(5u, d.bytes);
        EXPECT_EQ(overlapped, d.overlapped);
        EXPECT_EQ(0, std::memcmp(buffer, "hello", 5));
    }

    vxtest::WinsockSession winsock_;
    HANDLE port_ = nullptr;
};

TEST_F(IocpTest, PostedPacketsComeBackInOrderWithTheirValues) {
    OVERLAPPED a = {}, b = {};
    ASSERT_TRUE(PostQueuedCompletionStatus(port_, 11, 1, &a));
    ASSERT_TRUE(PostQueuedCompletionStatus(port_, 22, 2, &b));
    ASSERT_TRUE(PostQueuedCompletionStatus(port_, 0, 0, nullptr));
    const Dequeued first = Dequeue(port_);
    EXPECT_TRUE(first.ok);
    EXPECT_EQ(11u, first.bytes);
    EXPECT_EQ(1u, first.key);
    EXPECT_EQ(&a, first.overlapped);
    const Dequeued second = Dequeue(port_);
    EXPECT_EQ(&b, second.overlapped);
    const Dequeued stop = Dequeue(port_);
    EXPECT_TRUE(stop.ok);
    EXPECT_EQ(nullptr, stop.overlapped);
    EXPECT_EQ(0u, stop.key);
    ExpectEmpty();
}

TEST_F(IocpTest, ClosingThePortWakesAWaiterWithFailure) {
    Dequeued result;
    vxtest::Event entered;
    HANDLE port = port_;
    vxtest::TestThread waiter([&]() -> DWORD {
        entered.Set();
        result = Dequeue(port, INFINITE);
        return 0;
    });
    ASSERT_TRUE(entered.WaitSet());
    Sleep(50);  // let it block; the outcome is the same if it has not yet
    ASSERT_TRUE(CloseHandle(port_));
    port_ = nullptr;
    const bool woke = waiter.Join(5000);
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine, woke,
                               "Wine leaves a waiter blocked when its port is closed");
    if (!woke) {
        TerminateThread(waiter.handle(), 0);
        return;
    }
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(nullptr, result.overlapped);
}

TEST_F(IocpTest, ReceiveThatFinishesAtOnceStillQueuesOnePacket) {
    SocketPair pair;
    Associate(pair.server);
    ASSERT_TRUE(vxtest::SendAll(pair.client, "abc"));
    Sleep(20);  // let the bytes arrive; a pending start is checked the same way
    OVERLAPPED overlapped;
    char buffer[16] = {};
    const int started = StartReceive(pair.server, &overlapped, buffer, sizeof(buffer));
    EXPECT_TRUE(started == 0 || started == WSA_IO_PENDING) << started;
    const Dequeued d = Dequeue(port_);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(3u, d.bytes);
    EXPECT_EQ(kKey, d.key);
    EXPECT_EQ(&overlapped, d.overlapped);
    EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));
    ExpectEmpty();
}

TEST_F(IocpTest, PendingReceiveCompletesWhenDataArrives) {
    SocketPair pair;
    Associate(pair.server);
    OVERLAPPED overlapped;
    ExpectPendingReceiveCompletes(pair, &overlapped);
}

TEST_F(IocpTest, OrderlyCloseCompletesAReceiveWithZeroBytes) {
    SocketPair pair;
    Associate(pair.server);
    OVERLAPPED overlapped;
    char buffer[16];
    StartReceive(pair.server, &overlapped, buffer, sizeof(buffer));
    ::shutdown(pair.client, SD_SEND);
    const Dequeued d = Dequeue(port_);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(0u, d.bytes);
    EXPECT_EQ(&overlapped, d.overlapped);
}

// Failures a pending receive can meet, each reported as FALSE with the
// OVERLAPPED and a non-zero error.
TEST_F(IocpTest, FailedReceivesDequeueAsFalseWithTheirError) {
    enum Cause { PeerReset, LocalClose, Cancel };
    for (Cause cause : {PeerReset, LocalClose, Cancel}) {
        SocketPair pair;
        Associate(pair.server);
        OVERLAPPED overlapped;
        char buffer[16];
        ASSERT_EQ(WSA_IO_PENDING, StartReceive(pair.server, &overlapped, buffer, sizeof(buffer)));
        if (cause == PeerReset) {
            vxtest::CloseWithReset(pair.client);
            pair.client = INVALID_SOCKET;
        } else if (cause == LocalClose) {
            closesocket(pair.server);
            pair.server = INVALID_SOCKET;
        } else {
            EXPECT_TRUE(CancelIoEx(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(pair.server)),
                                   &overlapped));
        }
        const Dequeued d = Dequeue(port_);
        EXPECT_FALSE(d.ok) << cause;
        EXPECT_EQ(&overlapped, d.overlapped) << cause;
        EXPECT_NE(0u, d.error) << cause;
        if (cause == Cancel) {
            EXPECT_EQ(ERROR_OPERATION_ABORTED, d.error);
        }
        ExpectEmpty();
    }
}

TEST_F(IocpTest, CancelWithNothingPendingIsNotFound) {
    SocketPair pair;
    Associate(pair.server);
    OVERLAPPED overlapped = {};
    EXPECT_FALSE(
        CancelIoEx(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(pair.server)), &overlapped));
    EXPECT_EQ(ERROR_NOT_FOUND, GetLastError());
}

TEST_F(IocpTest, SendCompletesWithAllItsBytes) {
    SocketPair pair;
    Associate(pair.client);
    const std::string data = vxtest::Pattern(1 << 20);
    WSABUF wsabuf = {static_cast<ULONG>(data.size()), const_cast<char*>(data.data())};
    OVERLAPPED overlapped = {};
    DWORD sent = 0;
    const int result = WSASend(pair.client, &wsabuf, 1, &sent, 0, &overlapped, nullptr);
    EXPECT_TRUE(result == 0 || WSAGetLastError() == WSA_IO_PENDING);
    EXPECT_EQ(data, vxtest::ReceiveAll(pair.server, data.size()));
    const Dequeued d = Dequeue(port_);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(data.size(), d.bytes);
    EXPECT_EQ(&overlapped, d.overlapped);
    ExpectEmpty();
}

// ConnectEx, loaded through WSAIoctl as Winsock requires.
LPFN_CONNECTEX LoadConnectEx(SOCKET sock) {
    GUID guid = WSAID_CONNECTEX;
    LPFN_CONNECTEX function = nullptr;
    DWORD returned = 0;
    if (WSAIoctl(sock, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof(guid), &function,
                 sizeof(function), &returned, nullptr, nullptr) != 0)
        return nullptr;
    return function;
}

SOCKET BoundSocket() {
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in local = vxtest::LoopbackAddress(0);
    local.sin_addr.s_addr = INADDR_ANY;
    ::bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof(local));
    return sock;
}

TEST_F(IocpTest, ConnectExCompletesAsAPacket) {
    vxtest::Listener listener;
    SOCKET sock = BoundSocket();
    Associate(sock);
    LPFN_CONNECTEX connectEx = LoadConnectEx(sock);
    ASSERT_NE(nullptr, connectEx);
    sockaddr_in target = vxtest::LoopbackAddress(listener.port());
    OVERLAPPED overlapped = {};
    const BOOL started = connectEx(sock, reinterpret_cast<sockaddr*>(&target), sizeof(target),
                                   nullptr, 0, nullptr, &overlapped);
    EXPECT_TRUE(started || WSAGetLastError() == WSA_IO_PENDING);
    const Dequeued d = Dequeue(port_);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(0u, d.bytes);
    EXPECT_EQ(&overlapped, d.overlapped);
    SOCKET accepted = listener.Accept();
    EXPECT_NE(INVALID_SOCKET, accepted);
    closesocket(accepted);
    closesocket(sock);
}

TEST_F(IocpTest, RefusedConnectExDequeuesAsFalse) {
    SOCKET sock = BoundSocket();
    Associate(sock);
    LPFN_CONNECTEX connectEx = LoadConnectEx(sock);
    ASSERT_NE(nullptr, connectEx);
    sockaddr_in target = vxtest::LoopbackAddress(vxtest::UnusedPort());
    OVERLAPPED overlapped = {};
    EXPECT_FALSE(connectEx(sock, reinterpret_cast<sockaddr*>(&target), sizeof(target), nullptr, 0,
                           nullptr, &overlapped));
    EXPECT_EQ(WSA_IO_PENDING, WSAGetLastError());
    const Dequeued d = Dequeue(port_);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(&overlapped, d.overlapped);
    EXPECT_EQ(ERROR_CONNECTION_REFUSED, d.error);
    closesocket(sock);
}

TEST_F(IocpTest, ConnectExNeedsABoundSocket) {
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    Associate(sock);
    LPFN_CONNECTEX connectEx = LoadConnectEx(sock);
    ASSERT_NE(nullptr, connectEx);
    sockaddr_in target = vxtest::LoopbackAddress(vxtest::UnusedPort());
    OVERLAPPED overlapped = {};
    EXPECT_FALSE(connectEx(sock, reinterpret_cast<sockaddr*>(&target), sizeof(target), nullptr, 0,
                           nullptr, &overlapped));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    ExpectEmpty();
    closesocket(sock);
}

// With FILE_SKIP_COMPLETION_PORT_ON_SUCCESS, an operation that succeeds
// within its call queues no packet; one that pends still completes as one.
TEST_F(IocpTest, SkipOnSuccessQueuesPacketsOnlyForOperationsThatPend) {
    SocketPair pair;
    Associate(pair.client);
    Associate(pair.server);
    for (SOCKET sock : {pair.client, pair.server}) {
        ASSERT_TRUE(SetFileCompletionNotificationModes(
            reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(sock)),
            FILE_SKIP_COMPLETION_PORT_ON_SUCCESS));
    }
    // A small send into an empty buffer is done at once.
    char bytes[] = "abc";
    WSABUF wsabuf = {3, bytes};
    OVERLAPPED sendOverlapped = {};
    DWORD sent = 0;
    ASSERT_EQ(0, WSASend(pair.client, &wsabuf, 1, &sent, 0, &sendOverlapped, nullptr));
    EXPECT_EQ(3u, sent);
    ExpectEmpty();
    // The bytes may still be on their way: a receive either takes them at
    // once, without a packet, or pends and completes as one.
    OVERLAPPED recvOverlapped;
    char buffer[16] = {};
    WSABUF recvBuffer = {sizeof(buffer), buffer};
    DWORD received = 0;
    DWORD flags = 0;
    std::memset(&recvOverlapped, 0, sizeof(recvOverlapped));
    if (WSARecv(pair.server, &recvBuffer, 1, &received, &flags, &recvOverlapped, nullptr) == 0) {
        EXPECT_EQ(3u, received);
    } else {
        ASSERT_EQ(WSA_IO_PENDING, WSAGetLastError());
        const Dequeued d = Dequeue(port_);
        EXPECT_TRUE(d.ok);
        EXPECT_EQ(3u, d.bytes);
        EXPECT_EQ(&recvOverlapped, d.overlapped);
    }
    EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));
    ExpectEmpty();
    ExpectPendingReceiveCompletes(pair, &recvOverlapped);
    ExpectEmpty();
}

TEST_F(IocpTest, ImmediateSendFailureQueuesNoPacket) {
    SocketPair pair;
    Associate(pair.client);
    ::shutdown(pair.client, SD_SEND);
    char byte = 'x';
    WSABUF wsabuf = {1, &byte};
    OVERLAPPED overlapped = {};
    DWORD sent = 0;
    EXPECT_EQ(SOCKET_ERROR, WSASend(pair.client, &wsabuf, 1, &sent, 0, &overlapped, nullptr));
    EXPECT_EQ(WSAESHUTDOWN, WSAGetLastError());
    ExpectEmpty();
}

}  // namespace
