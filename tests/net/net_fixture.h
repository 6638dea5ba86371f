// net_fixture.h: a window thread with the dispatcher, started Winsock, and a
// recorder of one socket's notifications, for the socket class tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "VexloTool/CompletePortController.h"
#include "VexloTool/FuncDispatch.h"
#include "VexloTool/TcpServer.h"
#include "support/loopback.h"
#include "support/message_loop.h"

namespace vxtest {

// Everything one socket reported; slots check that they run on the window
// thread.
struct SocketLog {
    std::string received;
    size_t chunks = 0;
    size_t largestChunk = 0;
    int sent = 0;
    std::vector<unsigned int> closes;
    std::vector<unsigned int> connects;
    std::vector<std::string> order;  // "connect", "close"
    bool offThread = false;
};

// Slots writing into a log. The slots share the log and the hooks, so a
// notification still queued after the recorder is gone stays harmless.
class SocketRecorder {
public:
    struct Core {
        SocketLog log;
        DWORD thread = 0;
        std::function<void(const char*, unsigned int)> onData;
        std::function<void()> onSent;
    };

    SocketRecorder();
    // A tagSocketSlots for addsocket.
    void* slots() { return &slots_; }
    SocketLog& log() { return core_->log; }
    Core& core() { return *core_; }

private:
    std::shared_ptr<Core> core_;
    VexloTool::SocketRecvSignal::slot_type recv_;
    VexloTool::SocketSentSignal::slot_type sent_;
    VexloTool::SocketCloseSignal::slot_type close_;
    VexloTool::SocketConnectSignal::slot_type connect_;
    VexloTool::tagSocketSlots slots_;
};

class NetTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A socket not yet connected, registered and connecting to the port.
    SOCKET Connect(SocketRecorder& recorder, unsigned short port);

    WinsockSession winsock_;
    TestWindow window_;
    VexloTool::CCompletePortController controller_;
};

// A listener built from CTcpServer on 127.0.0.1 and an ephemeral port whose
// accepted sockets are handed to a function on the window thread.
class TestServer {
public:
    explicit TestServer(std::function<void(unsigned int)> onAccept);
    ~TestServer();
    unsigned short port() const { return port_; }
    VexloTool::CTcpServer& server() { return *server_; }

private:
    std::shared_ptr<std::function<void(unsigned int)>> onAccept_;
    std::unique_ptr<VexloTool::CTcpServer> server_;
    unsigned short port_ = 0;
};

// An echo server on the controller: every accepted socket sends back what it
// receives. Accepted sockets are closed by the destructor.
class EchoServer {
public:
    explicit EchoServer(VexloTool::CCompletePortController& controller);
    ~EchoServer();
    unsigned short port() const { return server_.port(); }
    size_t accepted() const { return sockets_.size(); }
    std::vector<unsigned int> closes;

private:
    VexloTool::CCompletePortController& controller_;
    std::vector<std::unique_ptr<SocketRecorder>> recorders_;
    std::vector<unsigned int> sockets_;
    TestServer server_;
};

}  // namespace vxtest
