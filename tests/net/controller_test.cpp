// controller_test.cpp: CCompletePortController on loopback: lifecycle,
// echo traffic, ordering of large sends, closes, resets, refusals, removal
// and many sockets at once. Every notification must arrive on the window
// thread.
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/net_fixture.h"

namespace {

using namespace VexloTool;
using vxtest::EchoServer;
using vxtest::PumpUntil;
using vxtest::SocketLog;
using vxtest::SocketRecorder;

using ControllerTest = vxtest::NetTest;

TEST(ControllerLifecycle, NotInitialisedDoesNothing) {
    vxtest::WinsockSession winsock;
    CCompletePortController controller;
    SocketRecorder recorder;
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const unsigned int s = static_cast<unsigned int>(sock);
    controller.addsocket(s, recorder.slots());
    controller.removesocket(s);
    controller.removeall();
    EXPECT_EQ(0, controller.socketnum());
    EXPECT_FALSE(controller.send(s, "x", 1, true));
    EXPECT_FALSE(controller.sendto(s, nullptr, 0, "x", 1, true));
    EXPECT_FALSE(controller.connectto(s, "127.0.0.1", 1));
    controller.uninit();
    EXPECT_TRUE(controller.init());
    EXPECT_TRUE(controller.init());  // starts nothing more
    controller.uninit();
    controller.uninit();
    closesocket(sock);
}

TEST_F(ControllerTest, EchoServerWithClientsOnTheController) {
    EchoServer echo(controller_);
    const int kClients = 8;
    std::vector<std::unique_ptr<SocketRecorder>> clients;
    std::vector<SOCKET> sockets;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back(new SocketRecorder);
        SocketRecorder& client = *clients.back();
        const std::string message = vxtest::Pattern(100000 + i, static_cast<unsigned>(i));
        SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        client.core().onData = nullptr;
        CCompletePortController* controller = &controller_;
        // The first send goes from the connect slot, as a host would.
        SocketRecorder::Core& core = client.core();
        (void)core;
        controller_.addsocket(static_cast<unsigned int>(sock), client.slots());
        sockets.push_back(sock);
        ASSERT_TRUE(controller->connectto(static_cast<unsigned int>(sock), "127.0.0.1",
                                          static_cast<short>(echo.port())));
    }
    ASSERT_TRUE(PumpUntil([&] {
        for (auto& c : clients) {
            if (c->log().connects.size() != 1)
                return false;
        }
        return true;
    }));
    for (int i = 0; i < kClients; ++i) {
        EXPECT_EQ(static_cast<unsigned int>(sockets[i]), clients[i]->log().connects[0]);
        const std::string message = vxtest::Pattern(100000 + i, static_cast<unsigned>(i));
        ASSERT_TRUE(controller_.send(static_cast<unsigned int>(sockets[i]), message.data(),
                                     static_cast<unsigned int>(message.size()), true));
    }
    ASSERT_TRUE(PumpUntil([&] {
        for (int i = 0; i < kClients; ++i) {
            if (clients[i]->log().received.size() < 100000u + i)
                return false;
        }
        return true;
    }));
    for (int i = 0; i < kClients; ++i) {
        const SocketLog& log = clients[i]->log();
        EXPECT_EQ(vxtest::Pattern(100000 + i, static_cast<unsigned>(i)), log.received);
        EXPECT_EQ(1, log.sent);
        const size_t largest = CCompletePortController::kRecvSize;
        EXPECT_LE(log.largestChunk, largest);
        EXPECT_TRUE(log.closes.empty());
        EXPECT_FALSE(log.offThread);
    }
    EXPECT_EQ(2 * kClients, controller_.socketnum());
    for (SOCKET sock : sockets) {
        controller_.removesocket(static_cast<unsigned int>(sock));
        closesocket(sock);
    }
}

// Many sends queued at once through a small send buffer: the peer gets the
// bytes in call order, and each send gets exactly one onSent.
TEST_F(ControllerTest, LargeTransferThroughASmallSendBufferKeepsTheOrder) {
    const size_t kPiece = 1 << 20;
    const int kPieces = 64;
    vxtest::Listener listener;
    SocketRecorder recorder;
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const int small = 65536;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof(small));
    controller_.addsocket(static_cast<unsigned int>(sock), recorder.slots());
    ASSERT_TRUE(controller_.connectto(static_cast<unsigned int>(sock), "127.0.0.1",
                                      static_cast<short>(listener.port())));
    SOCKET peer = listener.Accept();
    ASSERT_NE(INVALID_SOCKET, peer);
    ASSERT_TRUE(PumpUntil([&] { return recorder.log().connects.size() == 1; }));

    std::string received;
    std::thread reader([&] { received = vxtest::ReceiveAll(peer, kPiece * kPieces); });
    std::string piece;
    for (int i = 0; i < kPieces; ++i) {
        piece = vxtest::Pattern(kPiece, 0, kPiece * i);
        ASSERT_TRUE(controller_.send(static_cast<unsigned int>(sock), piece.data(),
                                     static_cast<unsigned int>(piece.size()), true));
        piece.assign(piece.size(), '\xEE');  // the caller's buffer is free at once
    }
    const bool allSent = PumpUntil([&] { return recorder.log().sent == kPieces; },
                                   std::chrono::milliseconds(120000));
    reader.join();
    ASSERT_TRUE(allSent);
    ASSERT_EQ(kPiece * kPieces, received.size());
    EXPECT_TRUE(received == vxtest::Pattern(kPiece * kPieces)) << "bytes out of order";
    EXPECT_TRUE(recorder.log().closes.empty());
    controller_.removesocket(static_cast<unsigned int>(sock));
    closesocket(sock);
    closesocket(peer);
}

// Received chunks wait for the window thread while later ones keep arriving,
// and may still be queued once their controller is gone: each keeps its own
// bytes until its slot has run.
TEST_F(ControllerTest, ChunksQueuedForTheWindowThreadKeepTheirBytes) {
    const size_t kFirst = 4 << 20;
    const size_t kSecond = 1 << 20;
    const std::string stream = vxtest::Pattern(kFirst + kSecond, 7);
    vxtest::SocketPair pair;
    SocketRecorder recorder;
    std::unique_ptr<CCompletePortController> controller(new CCompletePortController);
    ASSERT_TRUE(controller->init());
    controller->addsocket(static_cast<unsigned int>(pair.client), recorder.slots());
    // The peer sends while this (the window) thread pumps nothing.
    auto sendUnpumped = [&](size_t offset, size_t length) {
        std::promise<bool> sent;
        std::future<bool> done = sent.get_future();
        std::thread sender(
            [&] { sent.set_value(vxtest::SendAll(pair.server, stream.substr(offset, length))); });
        const bool ready = done.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
        if (!ready)
            shutdown(pair.server, SD_BOTH);  // lets the sender return
        sender.join();
        return ready && done.get();
    };
    ASSERT_TRUE(sendUnpumped(0, kFirst));
    ASSERT_TRUE(PumpUntil([&] { return recorder.log().received.size() >= kFirst; },
                          std::chrono::milliseconds(60000)));
    ASSERT_EQ(kFirst, recorder.log().received.size());
    EXPECT_TRUE(recorder.log().received == stream.substr(0, kFirst)) << "chunk bytes changed";

    ASSERT_TRUE(sendUnpumped(kFirst, kSecond));
    controller->uninit();
    controller.reset();
    vxtest::PumpPending();
    const std::string& received = recorder.log().received;
    EXPECT_TRUE(received == stream.substr(0, received.size())) << "chunk bytes changed";
    EXPECT_FALSE(recorder.log().offThread);
}

// A zero-length send keeps the socket and gets its onSent in turn.
TEST_F(ControllerTest, ZeroLengthSendKeepsTheSocket) {
    vxtest::SocketPair pair;
    SocketRecorder recorder;
    controller_.addsocket(static_cast<unsigned int>(pair.client), recorder.slots());
    const unsigned int s = static_cast<unsigned int>(pair.client);
    EXPECT_TRUE(controller_.send(s, "ab", 2, true));
    EXPECT_TRUE(controller_.send(s, "", 0, true));
    EXPECT_TRUE(controller_.send(s, nullptr, 0, true));
    EXPECT_TRUE(controller_.send(s, "cd", 2, true));
    ASSERT_TRUE(PumpUntil([&] { return recorder.log().sent == 4; }));
    EXPECT_EQ("abcd", vxtest::ReceiveAll(pair.server, 4));
    EXPECT_TRUE(recorder.log().closes.empty());
    EXPECT_EQ(1, controller_.socketnum());
    // Still receiving.
    ASSERT_TRUE(vxtest::SendAll(pair.server, "back"));
    ASSERT_TRUE(PumpUntil([&] { return recorder.log().received == "back"; }));
}

// How the peer (or the host) ends a connection, and what onClose carries.
TEST_F(ControllerTest, EndsOfAConnection) {
    enum End { PeerCloses, PeerResets, HostCloses };
    for (End end : {PeerCloses, PeerResets, HostCloses}) {
        vxtest::SocketPair pair;
        SocketRecorder recorder;
        controller_.addsocket(static_cast<unsigned int>(pair.client), recorder.slots());
        ASSERT_EQ(1, controller_.socketnum());
        if (end == PeerCloses) {
            closesocket(pair.server);
            pair.server = INVALID_SOCKET;
        } else if (end == PeerResets) {
            vxtest::CloseWithReset(pair.server);
            pair.server = INVALID_SOCKET;
        } else {
            closesocket(pair.client);
            pair.client = INVALID_SOCKET;
        }
        ASSERT_TRUE(PumpUntil([&] { return !recorder.log().closes.empty(); })) << end;
        ASSERT_EQ(1u, recorder.log().closes.size()) << end;
        if (end == PeerCloses) {
            EXPECT_EQ(0u, recorder.log().closes[0]);
        } else {
            EXPECT_NE(0u, recorder.log().closes[0]) << end;
        }
        EXPECT_EQ(0, controller_.socketnum()) << end;
        EXPECT_TRUE(recorder.log().connects.empty());
    }
}

// A peer that sends a request and closes its side gets every reply the host
// makes from its receive slots, although the window thread sees the chunks
// only after the workers saw the close. Once onClose has run, sends are
// refused as for any socket that left the table.
TEST_F(ControllerTest, RepliesToTheLastChunksReachAPeerThatClosedItsSide) {
    vxtest::SocketPair pair;
    SocketRecorder recorder;
    const unsigned int s = static_cast<unsigned int>(pair.client);
    int refused = 0;
    recorder.core().onData = [&](const char* data, unsigned int length) {
        if (!controller_.send(s, data, length, true))
            ++refused;
    };
    controller_.addsocket(s, recorder.slots());
    const std::string request = vxtest::Pattern(300000, 7);
    ASSERT_TRUE(vxtest::SendAll(pair.server, request));
    ASSERT_EQ(0, ::shutdown(pair.server, SD_SEND));
    // The window thread stays away until the workers have handled the close.
    ASSERT_TRUE(vxtest::WaitUntil([&] { return controller_.socketnum() == 0; }));
    EXPECT_FALSE(controller_.connectto(s, "127.0.0.1", 1));
    ASSERT_TRUE(PumpUntil([&] { return !recorder.log().closes.empty(); }));
    ASSERT_EQ(0, refused);  // else the peer would wait for bytes that never come
    EXPECT_EQ(std::vector<unsigned int>{0u}, recorder.log().closes);
    EXPECT_EQ(request, vxtest::ReceiveAll(pair.server, request.size()));
    ASSERT_TRUE(
        PumpUntil([&] { return recorder.log().sent == static_cast<int>(recorder.log().chunks); }));
    EXPECT_FALSE(controller_.send(s, "late", 4, true));
    EXPECT_EQ(0, controller_.socketnum());
}

TEST_F(ControllerTest, RefusedConnectGivesCloseWithoutConnect) {
    SocketRecorder recorder;
    SOCKET sock = Connect(recorder, vxtest::UnusedPort());
    ASSERT_TRUE(PumpUntil([&] { return !recorder.log().closes.empty(); }));
    EXPECT_NE(0u, recorder.log().closes[0]);
    vxtest::PumpPending();
    EXPECT_TRUE(recorder.log().connects.empty());
    EXPECT_EQ(0, controller_.socketnum());
    closesocket(sock);
}

TEST_F(ControllerTest, ConnectToATextThatIsNotAnAddressFails) {
    SocketRecorder recorder;
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    controller_.addsocket(static_cast<unsigned int>(sock), recorder.slots());
    const bool started = controller_.connectto(static_cast<unsigned int>(sock), "not an ip", 80);
    if (started) {
        ASSERT_TRUE(PumpUntil([&] { return !recorder.log().closes.empty(); }));
    } else {
        vxtest::PumpPending();
    }
    EXPECT_TRUE(recorder.log().connects.empty());
    EXPECT_EQ(0, controller_.socketnum());
    closesocket(sock);
}

TEST_F(ControllerTest, ConnectOfAnUnregisteredSocketIsRefused) {
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_FALSE(controller_.connectto(static_cast<unsigned int>(sock), "127.0.0.1", 80));
    EXPECT_FALSE(controller_.send(static_cast<unsigned int>(sock), "x", 1, true));
    closesocket(sock);
}

TEST_F(ControllerTest, RemovedSocketReportsNothingMore) {
    vxtest::SocketPair pair;
    SocketRecorder recorder;
    controller_.addsocket(static_cast<unsigned int>(pair.client), recorder.slots());
    ASSERT_TRUE(vxtest::SendAll(pair.server, "one"));
    ASSERT_TRUE(PumpUntil([&] { return recorder.log().received == "one"; }));
    controller_.removesocket(static_cast<unsigned int>(pair.client));
    EXPECT_EQ(0, controller_.socketnum());
    ASSERT_TRUE(vxtest::SendAll(pair.server, "two"));
    closesocket(pair.server);
    pair.server = INVALID_SOCKET;
    // Absence can only be shown over a while: pump for a short time.
    PumpUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ("one", recorder.log().received);
    EXPECT_TRUE(recorder.log().closes.empty());
    // The socket is still the host's and open.
    EXPECT_EQ(0, ::shutdown(pair.client, SD_SEND));
}

TEST_F(ControllerTest, RepeatedRegistrationKeepsTheFirstAndStartsNoSecondReceive) {
    vxtest::SocketPair pair;
    SocketRecorder first, second;
    const unsigned int s = static_cast<unsigned int>(pair.client);
    controller_.addsocket(s, first.slots());
    controller_.addsocket(s, second.slots());
    EXPECT_EQ(1, controller_.socketnum());
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        const std::string piece = vxtest::Pattern(5000, 3, expected.size());
        expected += piece;
        ASSERT_TRUE(vxtest::SendAll(pair.server, piece));
    }
    ASSERT_TRUE(PumpUntil([&] { return first.log().received.size() == expected.size(); }));
    EXPECT_TRUE(first.log().received == expected) << "chunks out of order";
    EXPECT_TRUE(second.log().received.empty());
}

TEST_F(ControllerTest, UninitEmptiesTheTableWithoutNotificationsAndKeepsSockets) {
    vxtest::SocketPair pair;
    SocketRecorder recorder;
    controller_.addsocket(static_cast<unsigned int>(pair.client), recorder.slots());
    controller_.uninit();
    EXPECT_EQ(0, controller_.socketnum());
    vxtest::PumpPending();
    EXPECT_TRUE(recorder.log().closes.empty());
    EXPECT_EQ(4, ::send(pair.client, "open", 4, 0));
    EXPECT_EQ("open", vxtest::ReceiveAll(pair.server, 4));
    EXPECT_TRUE(controller_.init());  // and again
}

// The host stops the controller from a slot while echo traffic circulates.
TEST_F(ControllerTest, UninitWithTrafficInFlightReturnsWithinTheBound) {
    EchoServer echo(controller_);
    std::vector<std::unique_ptr<SocketRecorder>> clients;
    std::vector<SOCKET> sockets;
    bool stopped = false;
    DWORD took = 0;
    CCompletePortController* controller = &controller_;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back(new SocketRecorder);
        SocketRecorder& client = *clients.back();
        SOCKET sock = Connect(client, echo.port());
        sockets.push_back(sock);
        SocketLog* log = &client.log();
        client.core().onData = [&, controller, log, sock](const char* data, unsigned int length) {
            if (stopped)
                return;
            if (log->received.size() < (4u << 20)) {
                controller->send(static_cast<unsigned int>(sock), data, length, true);
                return;
            }
            stopped = true;
            const DWORD start = GetTickCount();
            controller->uninit();
            took = GetTickCount() - start;
        };
    }
    ASSERT_TRUE(PumpUntil([&] { return clients.back()->log().connects.size() == 1; }));
    const std::string seed = vxtest::Pattern(1 << 20);
    for (SOCKET sock : sockets)
        controller_.send(static_cast<unsigned int>(sock), seed.data(),
                         static_cast<unsigned int>(seed.size()), true);
    ASSERT_TRUE(PumpUntil([&] { return stopped; }, std::chrono::milliseconds(60000)));
    EXPECT_LT(took, 10000u);
    EXPECT_EQ(0, controller_.socketnum());
    for (SOCKET sock : sockets)
        closesocket(sock);
}

// 500 connected pairs: 1,000 registered sockets, each echoing one message.
TEST_F(ControllerTest, AThousandSocketsAtOnce) {
    const int kPairs = 500;
    EchoServer echo(controller_);
    std::vector<std::unique_ptr<SocketRecorder>> clients;
    std::vector<SOCKET> sockets;
    for (int i = 0; i < kPairs; ++i) {
        clients.emplace_back(new SocketRecorder);
        sockets.push_back(Connect(*clients.back(), echo.port()));
    }
    ASSERT_TRUE(PumpUntil([&] { return echo.accepted() == static_cast<size_t>(kPairs); },
                          std::chrono::milliseconds(60000)));
    ASSERT_TRUE(PumpUntil([&] {
        for (auto& c : clients) {
            if (c->log().connects.empty())
                return false;
        }
        return true;
    }));
    EXPECT_EQ(2 * kPairs, controller_.socketnum());
    for (int i = 0; i < kPairs; ++i) {
        const std::string message = "message " + std::to_string(i);
        controller_.send(static_cast<unsigned int>(sockets[i]), message.data(),
                         static_cast<unsigned int>(message.size()), true);
    }
    ASSERT_TRUE(PumpUntil(
        [&] {
            for (int i = 0; i < kPairs; ++i) {
                if (clients[i]->log().received != "message " + std::to_string(i))
                    return false;
            }
            return true;
        },
        std::chrono::milliseconds(60000)));
    for (SOCKET sock : sockets) {
        controller_.removesocket(static_cast<unsigned int>(sock));
        closesocket(sock);
    }
}

}  // namespace
