// Demo of the network monitor: the check is pointed at a probe server that
// the demo runs on loopback, so no traffic leaves the machine. Stopping the
// server and starting it again are reported as availability changes.
#include <atomic>
#include <cstdio>
#include <string>

#include "VexloTool/NetworkMonitorWrapper.h"
#include "vxplatform.h"

using namespace VexloTool;

namespace {

// Longer than the monitor's re-check interval.
const DWORD kChangeDeadlineMs = CNetworkMonitorWrapper::kRecheckIntervalMs + 10000;

// A listening socket: the kernel completes the monitor's connections.
class ProbeServer {
public:
    bool Start(unsigned short port) {
        sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        const BOOL reuse = TRUE;
        setsockopt(sock_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                   sizeof(reuse));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(sock_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(sock_, SOMAXCONN) != 0) {
            Stop();
            return false;
        }
        int length = sizeof(address);
        getsockname(sock_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        return true;
    }
    // Listens on the port it had again. While it was closed, another program
    // may have taken the port for a moment (a client's connection, say).
    bool Restart() {
        for (DWORD waited = 0; waited < kChangeDeadlineMs; waited += 100) {
            if (Start(port_))
                return true;
            Sleep(100);
        }
        return false;
    }
    // Waits until a check has connected (the monitor's first answer is in).
    bool AwaitCheck() {
        u_long nonBlocking = 1;
        ioctlsocket(sock_, FIONBIO, &nonBlocking);
        for (DWORD waited = 0; waited < kChangeDeadlineMs; waited += 20) {
            const SOCKET peer = accept(sock_, nullptr, nullptr);
            if (peer != INVALID_SOCKET) {
                closesocket(peer);
                return true;
            }
            Sleep(20);
        }
        return false;
    }
    void Stop() {
        closesocket(sock_);
        sock_ = INVALID_SOCKET;
    }
    unsigned short port() const { return port_; }

private:
    SOCKET sock_ = INVALID_SOCKET;
    unsigned short port_ = 0;
};

// The slot runs on the monitor thread: it only records and wakes main.
struct Reports {
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> last{false};
};

bool AwaitReport(Reports& reports, bool expected, const char* what) {
    const bool came = WaitForSingleObject(reports.changed, kChangeDeadlineMs) == WAIT_OBJECT_0;
    const bool ok = came && reports.last == expected;
    std::printf("monitor: %s -> %s (%s)\n", what,
                came ? (reports.last ? "available" : "unavailable") : "no report",
                ok ? "ok" : "FAILED");
    return ok;
}

}  // namespace

bool RunMonitorDemo() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    ProbeServer server;
    bool ok = server.Start(0);
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(server.port()) + L"/";

    Reports reports;
    CNetworkMonitorWrapper& monitor = CNetworkMonitorWrapper::Instance();
    monitor.SetCheckUrl(url.c_str());
    monitor.Init();
    monitor.Connect(CNetworkMonitorWrapper::NetworkSlot([&reports](bool available) {
        reports.last = available;
        SetEvent(reports.changed);
    }));
    ok = ok && server.AwaitCheck();
    std::printf("monitor: checking %ls, first answer: %s\n", url.c_str(),
                monitor.IsNetAvailable() ? "available" : "unavailable");

    server.Stop();
    ok = AwaitReport(reports, false, "probe server stopped") && ok;
    ok = ok && server.Restart();
    ok = ok && AwaitReport(reports, true, "probe server started again");

    monitor.UnInit();
    server.Stop();
    CloseHandle(reports.changed);
    WSACleanup();
    std::printf("monitor %s\n", ok ? "finished" : "FAILED");
    return ok;
}
