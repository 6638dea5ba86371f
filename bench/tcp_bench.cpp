// tcp_bench.cpp: echo throughput of CCompletePortController with a
// CTcpServer listener, side by side with a Boost.Asio echo server and
// client on loopback; every byte of ours passes through the host's slots on
// the window thread (the main thread here). Also: memory per idle
// registered socket.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "VexloTool/CompletePortController.h"
#include "VexloTool/FuncDispatch.h"
#include "VexloTool/TcpServer.h"
#include "bench_timing.h"
#include "tcp_bench_asio.h"
#include "vxplatform.h"

using namespace VexloTool;

namespace {

const unsigned int kChunk = 65536;  // what a client hands to one send

HWND CreateBenchWindow() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"TcpBench";
    RegisterClassExW(&wc);
    return CreateWindowExW(0, L"TcpBench", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                           nullptr);
}

void PumpUntil(const std::function<bool()>& done) {
    MSG msg;
    while (!done() && GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
}

// Runs what is still queued for a while, so notifications of finished
// sockets never reach slots of a finished case.
void Drain() {
    const DWORD start = GetTickCount();
    MSG msg;
    while (GetTickCount() - start < 100) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        Sleep(5);
    }
}

void NoDelay(SOCKET sock) {
    const int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
}

// Echo server: CTcpServer accepts, the controller echoes from onRecv.
class Echo {
public:
    explicit Echo(CCompletePortController& controller) : controller_(controller) {
        TcpServerSignal::slot_type accept([this](unsigned int sock) { Accept(sock); });
        tagTcpServerSlots slots = {&accept, nullptr};
        server_.reset(new CTcpServer(&slots));
        server_->init();
        server_->bind("127.0.0.1", 0);
        sockaddr_in address = {};
        int length = sizeof(address);
        getsockname(static_cast<SOCKET>(server_->getsock()), reinterpret_cast<sockaddr*>(&address),
                    &length);
        port_ = ntohs(address.sin_port);
        server_->listen(SOMAXCONN);
    }
    ~Echo() {
        server_->uninit();
        for (unsigned int sock : sockets_) {
            controller_.removesocket(sock);
            closesocket(static_cast<SOCKET>(sock));
        }
    }
    unsigned short port() const { return port_; }

private:
    void Accept(unsigned int sock) {
        NoDelay(static_cast<SOCKET>(sock));
        sockets_.push_back(sock);
        CCompletePortController* controller = &controller_;
        SocketRecvSignal::slot_type recv([controller, sock](const char* data, unsigned int n) {
            controller->send(sock, data, n, true);
        });
        tagSocketSlots slots = {&recv, nullptr, nullptr, nullptr};
        controller_.addsocket(sock, &slots);
    }

    CCompletePortController& controller_;
    std::unique_ptr<CTcpServer> server_;
    std::vector<unsigned int> sockets_;
    unsigned short port_ = 0;
};

// One client: keeps at most `window` bytes unechoed.
struct Client {
    SOCKET sock = INVALID_SOCKET;
    size_t total = 0;
    size_t sent = 0;
    size_t received = 0;
};

double OursEchoSeconds(CCompletePortController& controller, size_t connections, size_t bytesEach) {
    Echo echo(controller);
    const std::string chunk(kChunk, 'x');
    const size_t window = 4 * kChunk;
    std::vector<Client> clients(connections);
    size_t finished = 0;
    auto pump = [&](Client& c) {
        while (c.sent < c.total && c.sent - c.received < window) {
            const unsigned int n =
                static_cast<unsigned int>(c.total - c.sent < kChunk ? c.total - c.sent : kChunk);
            controller.send(static_cast<unsigned int>(c.sock), chunk.data(), n, true);
            c.sent += n;
        }
    };
    const auto start = vxbench::Clock::now();
    for (Client& c : clients) {
        c.total = bytesEach;
        c.sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        NoDelay(c.sock);
        Client* self = &c;
        SocketRecvSignal::slot_type recv([&, self](const char*, unsigned int n) {
            self->received += n;
            if (self->received >= self->total)
                ++finished;
            else
                pump(*self);
        });
        SocketConnectSignal::slot_type connected([&, self](unsigned int) { pump(*self); });
        tagSocketSlots slots = {&recv, nullptr, nullptr, &connected};
        controller.addsocket(static_cast<unsigned int>(c.sock), &slots);
        controller.connectto(static_cast<unsigned int>(c.sock), "127.0.0.1",
                             static_cast<short>(echo.port()));
    }
    PumpUntil([&] { return finished == connections; });
    const double seconds = std::chrono::duration<double>(vxbench::Clock::now() - start).count();
    for (Client& c : clients) {
        controller.removesocket(static_cast<unsigned int>(c.sock));
        closesocket(c.sock);
    }
    Drain();
    return seconds;
}

// Resident memory in bytes (Linux); 0 where /proc is missing.
double ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    double pages = 0, resident = 0;
    if (!(statm >> pages >> resident))
        return 0;
    return resident * 4096.0;
}

// Memory per idle registered socket: 1,000 accepted sockets registered
// with one receive each in flight.
double BytesPerIdleSocket(CCompletePortController& controller) {
    const int kSockets = 1000;
    Echo echo(controller);
    std::vector<SOCKET> clients;
    const double before = ResidentBytes();
    for (int i = 0; i < kSockets; ++i) {
        SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(echo.port());
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        ::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        clients.push_back(sock);
    }
    PumpUntil([&] { return controller.socketnum() >= kSockets; });
    const double after = ResidentBytes();
    for (SOCKET sock : clients)
        closesocket(sock);
    Drain();
    return (after - before) / kSockets;
}

void Report(const char* name, double bytes, double ours, double asio) {
    const double oursRate = bytes / ours / 1e9;
    const double asioRate = bytes / asio / 1e9;
    std::printf("%-28s ours %6.3f GB/s   asio %6.3f GB/s   ratio %.2f\n", name, oursRate, asioRate,
                oursRate / asioRate);
}

}  // namespace

int main(int argc, char** argv) {
    const int scale = argc > 1 ? std::atoi(argv[1]) : 1024;  // MiB on one connection
    if (scale <= 0) {
        std::fprintf(stderr, "usage: tcp_bench [MiB echoed on one connection, default 1024]\n");
        return 2;
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    HWND hwnd = CreateBenchWindow();
    CFuncDispatch::Instance().Init(hwnd);
    CCompletePortController controller;
    controller.init();

    const size_t big = static_cast<size_t>(scale) << 20;
    const double ours1 = OursEchoSeconds(controller, 1, big);
    const double asio1 = vxbench::AsioEchoSeconds(1, big);
    Report("1 connection echoing", static_cast<double>(big), ours1, asio1);

    const double ours100 = OursEchoSeconds(controller, 100, 1 << 20);
    const double asio100 = vxbench::AsioEchoSeconds(100, 1 << 20);
    Report("100 connections x 1 MiB", 100.0 * (1 << 20), ours100, asio100);

    std::printf("memory per idle registered socket: %.0f bytes (receive buffer %u)\n",
                BytesPerIdleSocket(controller), CCompletePortController::kRecvSize);

    controller.uninit();
    CFuncDispatch::Instance().UnInit();
    DestroyWindow(hwnd);
    WSACleanup();
    return 0;
}
