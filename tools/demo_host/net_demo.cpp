// net_demo.cpp: the demo host's sockets part: an echo server built from
// CTcpServer and CCompletePortController, and clients on the same controller,
// all reporting to this thread's window through the dispatcher.
#include <cstdio>
#include <string>
#include <vector>

#include "VexloTool/CompletePortController.h"
#include "VexloTool/FuncDispatch.h"
#include "VexloTool/TcpServer.h"
#include "vxplatform.h"

using namespace VexloTool;

namespace {

struct NetDemo {
    CCompletePortController controller;
    std::vector<unsigned int> accepted;
    std::vector<SOCKET> clients;
    std::vector<std::string> echoes;
    int connects = 0;
    int closes = 0;
};

HWND CreateDemoWindow() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"VexloToolNetDemo";
    RegisterClassExW(&wc);
    return CreateWindowExW(0, L"VexloToolNetDemo", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           nullptr, nullptr);
}

// Pumps this thread's messages until the condition holds or 20 s pass.
template <class Condition>
bool PumpUntil(Condition done) {
    const DWORD start = GetTickCount();
    MSG msg;
    while (!done()) {
        if (GetTickCount() - start > 20000)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
    return true;
}

// The echo side: each accepted socket sends back what it receives.
void OnAccept(NetDemo& demo, unsigned int sock) {
    demo.accepted.push_back(sock);
    CCompletePortController* controller = &demo.controller;
    SocketRecvSignal::slot_type echo([controller, sock](const char* data, unsigned int length) {
        controller->send(sock, data, length, true);
    });
    tagSocketSlots slots = {&echo, nullptr, nullptr, nullptr};
    demo.controller.addsocket(sock, &slots);
}

// One client: says hello once connected and keeps what comes back.
void StartClient(NetDemo& demo, size_t index, unsigned short port) {
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    demo.clients.push_back(sock);
    NetDemo* self = &demo;
    SocketRecvSignal::slot_type recv([self, index](const char* data, unsigned int length) {
        self->echoes[index].append(data, length);
    });
    SocketCloseSignal::slot_type close([self](unsigned int) { ++self->closes; });
    SocketConnectSignal::slot_type connected([self, index](unsigned int s) {
        ++self->connects;
        const std::string hello = "hello from client " + std::to_string(index);
        self->controller.send(s, hello.data(), static_cast<unsigned int>(hello.size()), true);
    });
    tagSocketSlots slots = {&recv, nullptr, &close, &connected};
    demo.controller.addsocket(static_cast<unsigned int>(sock), &slots);
    demo.controller.connectto(static_cast<unsigned int>(sock), "127.0.0.1",
                              static_cast<short>(port));
}

}  // namespace

// Runs the echo server and three clients; true when every client got its
// own greeting back.
bool RunSocketDemo() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    HWND hwnd = CreateDemoWindow();
    CFuncDispatch::Instance().Init(hwnd);
    NetDemo demo;
    demo.controller.init();

    TcpServerSignal::slot_type accept([&demo](unsigned int sock) { OnAccept(demo, sock); });
    tagTcpServerSlots serverSlots = {&accept, nullptr};
    CTcpServer server(&serverSlots);
    bool ok = server.init() && server.bind("127.0.0.1", 0);
    sockaddr_in address = {};
    int length = sizeof(address);
    getsockname(static_cast<SOCKET>(server.getsock()), reinterpret_cast<sockaddr*>(&address),
                &length);
    ok = ok && server.listen(SOMAXCONN);
    const unsigned short port = ntohs(address.sin_port);

    const size_t kClients = 3;
    demo.echoes.resize(kClients);
    for (size_t i = 0; ok && i < kClients; ++i)
        StartClient(demo, i, port);
    ok = ok && PumpUntil([&] {
             for (size_t i = 0; i < kClients; ++i) {
                 if (demo.echoes[i] != "hello from client " + std::to_string(i))
                     return false;
             }
             return true;
         });

    server.uninit();
    demo.controller.uninit();
    for (SOCKET sock : demo.clients)
        closesocket(sock);
    for (unsigned int sock : demo.accepted)
        closesocket(static_cast<SOCKET>(sock));
    CFuncDispatch::Instance().UnInit();
    DestroyWindow(hwnd);
    WSACleanup();
    std::printf("sockets %s: %d connects, %u accepted, %u echoes, %d closes\n",
                ok ? "finished" : "FAILED", demo.connects,
                static_cast<unsigned>(demo.accepted.size()), static_cast<unsigned>(kClients),
                demo.closes);
    return ok;
}
