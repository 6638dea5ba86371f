// The network monitor: is an HTTP connection to the check URL possible now?
//   monitor URL   (a host's own endpoint; tests use a loopback server)
#include <cstdio>
#include <string>

#include "VexloTool/NetworkMonitorWrapper.h"
#include "vxplatform.h"

using namespace VexloTool;

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    const std::string narrow = argv[1];
    const std::wstring url(narrow.begin(), narrow.end());
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);  // before Init

    CNetworkMonitorWrapper& monitor = CNetworkMonitorWrapper::Instance();
    monitor.SetCheckUrl(url.c_str());  // takes effect at the next Init
    monitor.Init();
    // Runs on the monitor thread, not the window thread: a slot that touches
    // the user interface hands the work over with CFuncDispatch::Dispatch.
    monitor.Connect(CNetworkMonitorWrapper::NetworkSlot(
        [](bool available) { std::printf("network %s\n", available ? "up" : "down"); }));
    // Any thread, any time; true until the first check has answered.
    std::printf("available now: %s\n", monitor.IsNetAvailable() ? "yes" : "no");
    monitor.UnInit();  // bounded: about 3 s at most
    WSACleanup();
    return 0;
}
