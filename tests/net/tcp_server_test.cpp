// tcp_server_test.cpp: CTcpServer on loopback: the idle calls, accepting,
// stop and restart, the accept thread's own end, and a peer that is not
// ours (socat) talking to an echo server built from the listener and the
// controller.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "net/net_fixture.h"

namespace {

using namespace VexloTool;
using vxtest::PumpUntil;
using vxtest::TestServer;

using TcpServerTest = vxtest::NetTest;

// What getsock returns without a socket: INVALID_SOCKET as a 32-bit value.
const unsigned int kNoSocket = static_cast<unsigned int>(INVALID_SOCKET);

TEST_F(TcpServerTest, IdleListenerRefusesBindAndListen) {
    tagTcpServerSlots slots = {nullptr, nullptr};
    CTcpServer server(&slots);
    EXPECT_EQ(kNoSocket, server.getsock());
    EXPECT_FALSE(server.bind("127.0.0.1", 0));
    EXPECT_FALSE(server.listen(5));
    EXPECT_TRUE(server.stop());
    EXPECT_TRUE(server.stop());
    server.uninit();
}

TEST(TcpServerStartup, InitWithoutWinsockReportsTheError) {
    vxtest::TestWindow window;
    CFuncDispatch::Instance().Init(window.hwnd());
    std::vector<unsigned int> errors;
    TcpServerSignal::slot_type onError([&](unsigned int error) { errors.push_back(error); });
    tagTcpServerSlots slots = {nullptr, &onError};
    CTcpServer server(&slots);
    EXPECT_FALSE(server.init());
    EXPECT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(static_cast<unsigned int>(WSANOTINITIALISED), errors[0]);
    CFuncDispatch::Instance().UnInit();
}

TEST_F(TcpServerTest, AcceptedSocketsArriveOnTheWindowThreadAndStayOpen) {
    std::vector<unsigned int> accepted;
    const DWORD windowThread = GetCurrentThreadId();
    bool offThread = false;
    TestServer server([&](unsigned int sock) {
        offThread |= GetCurrentThreadId() != windowThread;
        accepted.push_back(sock);
    });
    SOCKET clients[3];
    for (SOCKET& client : clients)
        client = vxtest::ConnectTo(server.port());
    ASSERT_TRUE(PumpUntil([&] { return accepted.size() == 3; }));
    EXPECT_FALSE(offThread);
    EXPECT_TRUE(server.server().stop());
    EXPECT_EQ(kNoSocket, server.server().getsock());
    // Accepted sockets are the host's and still connected.
    EXPECT_EQ(2, ::send(static_cast<SOCKET>(accepted[0]), "ok", 2, 0));
    EXPECT_EQ("ok", vxtest::ReceiveAll(clients[0], 2));
    for (unsigned int sock : accepted)
        closesocket(static_cast<SOCKET>(sock));
    for (SOCKET client : clients)
        closesocket(client);
}

TEST_F(TcpServerTest, StopEndsTheAcceptThreadQuicklyAndTheListenerStartsAgain) {
    std::vector<unsigned int> accepted;
    TestServer server([&](unsigned int sock) { accepted.push_back(sock); });
    CTcpServer& listener = server.server();
    for (int round = 0; round < 3; ++round) {
        const DWORD start = GetTickCount();
        EXPECT_TRUE(listener.stop());
        EXPECT_LT(GetTickCount() - start, 1500u) << round;
        EXPECT_EQ(kNoSocket, listener.getsock());
        ASSERT_TRUE(listener.init());
        ASSERT_TRUE(listener.bind("127.0.0.1", 0));
        ASSERT_TRUE(listener.listen(0));
        sockaddr_in address = {};
        int length = sizeof(address);
        getsockname(static_cast<SOCKET>(listener.getsock()), reinterpret_cast<sockaddr*>(&address),
                    &length);
        SOCKET client = vxtest::ConnectTo(ntohs(address.sin_port));
        ASSERT_NE(INVALID_SOCKET, client);
        ASSERT_TRUE(PumpUntil([&] { return accepted.size() == static_cast<size_t>(round + 1); }));
        closesocket(client);
    }
    for (unsigned int sock : accepted)
        closesocket(static_cast<SOCKET>(sock));
}

// The listening socket breaks under the accept thread (the host closes it):
// the thread ends at once, the listener is idle and can start again.
TEST_F(TcpServerTest, AcceptThreadEndsAtOnceWhenAcceptFailsByItself) {
    std::vector<unsigned int> accepted;
    TestServer server([&](unsigned int sock) { accepted.push_back(sock); });
    CTcpServer& listener = server.server();
    closesocket(static_cast<SOCKET>(listener.getsock()));
    ASSERT_TRUE(vxtest::WaitUntil([&] { return listener.getsock() == kNoSocket; }));
    const DWORD start = GetTickCount();
    EXPECT_TRUE(listener.stop());
    EXPECT_LT(GetTickCount() - start, 1500u);
    ASSERT_TRUE(listener.init());
    ASSERT_TRUE(listener.bind("127.0.0.1", 0));
    EXPECT_TRUE(listener.listen(5));
}

TEST_F(TcpServerTest, BindToAnAddressThatIsNotLocalFails) {
    tagTcpServerSlots slots = {nullptr, nullptr};
    CTcpServer server(&slots);
    ASSERT_TRUE(server.init());
    EXPECT_FALSE(server.bind("203.0.113.9", 0));
    server.uninit();
}

#if defined(_WIN32)
TEST_F(TcpServerTest, ForeignPeerThroughTheEchoServer) {
    GTEST_SKIP() << "the peer is Python's socket module, a Linux program here";
}
#else
// Python's socket module, a client that is not ours, sends 1 MiB through an
// echo server made of CTcpServer and the controller, reads the echo back in
// full before it closes, and writes it to a file. (The echo server stops
// echoing once the peer shuts its side down: the socket then leaves the
// table, so the peer must not half-close early.)
TEST_F(TcpServerTest, ForeignPeerThroughTheEchoServer) {
    if (std::system("python3 -c pass > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3 is not installed";
    vxtest::EchoServer echo(controller_);
    const std::string out = ::testing::TempDir() + "vx_python_echo.bin";
    const size_t size = 1 << 20;
    std::ostringstream command;
    command << "python3 -c \"\n"
            << "import socket, threading\n"
            << "data = bytes((i * 131 + (i >> 11) + 63) & 255 for i in range(" << size << "))\n"
            << "s = socket.create_connection(('127.0.0.1', " << echo.port() << "), timeout=30)\n"
            << "threading.Thread(target=s.sendall, args=(data,)).start()\n"
            << "got = bytearray()\n"
            << "while len(got) < len(data):\n"
            << "    chunk = s.recv(65536)\n"
            << "    if not chunk: break\n"
            << "    got += chunk\n"
            << "open('" << out << "', 'wb').write(got)\n"
            << "s.close()\n\"";
    int status = -1;
    std::atomic<bool> done{false};  // read by the pumping thread
    std::thread peer([&] {
        status = std::system(command.str().c_str());
        done = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return done.load(); }, std::chrono::milliseconds(60000)));
    peer.join();
    EXPECT_EQ(0, status);
    std::ifstream result(out, std::ios::binary);
    const std::string echoed((std::istreambuf_iterator<char>(result)),
                             std::istreambuf_iterator<char>());
    EXPECT_EQ(size, echoed.size());
    EXPECT_TRUE(echoed == vxtest::Pattern(size, 9));
    std::remove(out.c_str());
}
#endif

}  // namespace
