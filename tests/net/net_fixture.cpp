// net_fixture.cpp: fixtures of the socket class tests.
#include "net/net_fixture.h"

namespace vxtest {

using namespace VexloTool;

SocketRecorder::SocketRecorder()
    : core_(std::make_shared<Core>()),
      recv_([core = core_](const char* data, unsigned int length) {
          core->log.offThread |= GetCurrentThreadId() != core->thread;
          core->log.received.append(data, length);
          ++core->log.chunks;
          if (length > core->log.largestChunk)
              core->log.largestChunk = length;
          if (core->onData)
              core->onData(data, length);
      }),
      sent_([core = core_] {
          core->log.offThread |= GetCurrentThreadId() != core->thread;
          ++core->log.sent;
          if (core->onSent)
              core->onSent();
      }),
      close_([core = core_](unsigned int error) {
          core->log.offThread |= GetCurrentThreadId() != core->thread;
          core->log.closes.push_back(error);
          core->log.order.push_back("close");
      }),
      connect_([core = core_](unsigned int sock) {
          core->log.offThread |= GetCurrentThreadId() != core->thread;
          core->log.connects.push_back(sock);
          core->log.order.push_back("connect");
      }),
      slots_{&recv_, &sent_, &close_, &connect_} {
    core_->thread = GetCurrentThreadId();
}

void NetTest::SetUp() {
    CFuncDispatch::Instance().Init(window_.hwnd());
    ASSERT_TRUE(controller_.init());
}

void NetTest::TearDown() {
    controller_.uninit();
    PumpPending();
    CFuncDispatch::Instance().UnInit();
}

SOCKET NetTest::Connect(SocketRecorder& recorder, unsigned short port) {
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    NoDelay(sock);
    controller_.addsocket(static_cast<unsigned int>(sock), recorder.slots());
    EXPECT_TRUE(controller_.connectto(static_cast<unsigned int>(sock), "127.0.0.1",
                                      static_cast<short>(port)));
    return sock;
}

TestServer::TestServer(std::function<void(unsigned int)> onAccept)
    : onAccept_(std::make_shared<std::function<void(unsigned int)>>(std::move(onAccept))) {
    TcpServerSignal::slot_type accept([hook = onAccept_](unsigned int sock) { (*hook)(sock); });
    tagTcpServerSlots slots = {&accept, nullptr};
    server_.reset(new CTcpServer(&slots));
    EXPECT_TRUE(server_->init());
    EXPECT_TRUE(server_->bind("127.0.0.1", 0));
    sockaddr_in address = {};
    int length = sizeof(address);
    getsockname(static_cast<SOCKET>(server_->getsock()), reinterpret_cast<sockaddr*>(&address),
                &length);
    port_ = ntohs(address.sin_port);
    EXPECT_TRUE(server_->listen(5));
}

TestServer::~TestServer() {
    server_->uninit();
    *onAccept_ = [](unsigned int sock) { closesocket(static_cast<SOCKET>(sock)); };
}

EchoServer::EchoServer(CCompletePortController& controller)
    : controller_(controller), server_([this](unsigned int sock) {
          recorders_.emplace_back(new SocketRecorder);
          SocketRecorder& recorder = *recorders_.back();
          CCompletePortController* echo = &controller_;
          recorder.core().onData = [echo, sock](const char* data, unsigned int length) {
              echo->send(sock, data, length, true);
          };
          sockets_.push_back(sock);
          NoDelay(static_cast<SOCKET>(sock));
          controller_.addsocket(sock, recorder.slots());
      }) {}

EchoServer::~EchoServer() {
    for (unsigned int sock : sockets_) {
        controller_.removesocket(sock);
        closesocket(static_cast<SOCKET>(sock));
    }
}

}  // namespace vxtest
