// A listener and a client over loopback on one completion-port controller:
// the client sends "ping", the accepted socket answers "pong". Every
// notification runs on the window thread; the sockets stay the host's.
#include <cstdio>
#include <string>

#include "VexloTool/CompletePortController.h"
#include "VexloTool/FuncDispatch.h"
#include "VexloTool/TcpServer.h"
#include "vxplatform.h"

using namespace VexloTool;

int main() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);  // the host starts Winsock
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"SocketsExample";
    RegisterClassExW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
    CFuncDispatch::Instance().Init(hwnd);

    CCompletePortController controller;
    controller.init();
    std::string reply;
    SOCKET accepted = INVALID_SOCKET;

    // The server side: echo "pong" to whatever arrives.
    SocketRecvSignal::slot_type onServerRecv = [&](const char*, unsigned int) {
        controller.send(static_cast<unsigned int>(accepted), "pong", 4, true);
    };
    TcpServerSignal::slot_type onAccept = [&](unsigned int sock) {
        accepted = sock;
        tagSocketSlots slots = {&onServerRecv, nullptr, nullptr, nullptr};
        controller.addsocket(sock, &slots);
    };
    tagTcpServerSlots serverSlots = {&onAccept, nullptr};
    CTcpServer server(&serverSlots);
    if (!server.init() || !server.bind("127.0.0.1", 0) || !server.listen(SOMAXCONN))
        return 1;
    sockaddr_in address = {};
    int length = sizeof(address);
    getsockname(server.getsock(), reinterpret_cast<sockaddr*>(&address), &length);

    // The client side: connect, send, collect the answer.
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SocketRecvSignal::slot_type onRecv = [&](const char* data, unsigned int size) {
        reply.append(data, size);
        if (reply.size() >= 4)
            PostQuitMessage(0);
    };
    SocketConnectSignal::slot_type onConnect = [&](unsigned int sock) {
        controller.send(sock, "ping", 4, true);
    };
    SocketCloseSignal::slot_type onClose = [](unsigned int error) { PostQuitMessage(int(error)); };
    tagSocketSlots clientSlots = {&onRecv, nullptr, &onClose, &onConnect};
    controller.addsocket(static_cast<unsigned int>(client), &clientSlots);
    controller.connectto(static_cast<unsigned int>(client), "127.0.0.1",
                         short(ntohs(address.sin_port)));

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);

    server.stop();
    controller.uninit();  // drops the registrations; closing is ours
    closesocket(client);
    if (accepted != INVALID_SOCKET)
        closesocket(accepted);
    CFuncDispatch::Instance().UnInit();
    DestroyWindow(hwnd);
    WSACleanup();
    std::printf("reply: %s\n", reply.c_str());
    return reply == "pong" ? 0 : 1;
}
