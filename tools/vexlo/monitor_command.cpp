// monitor_command.cpp: monitor, the network availability monitor pointed at
// a URL of the user's choice, each change printed with a time stamp.
#include <atomic>
#include <cstdio>

#include "VexloTool/FuncDispatch.h"
#include "VexloTool/NetworkMonitorWrapper.h"
#include "tools/vexlo/vexlo.h"

using namespace VexloTool;

namespace vexlo {

namespace {

const char kMonitorHelp[] =
    "usage: vexlo monitor [--url URL]\n"
    "Checks whether an HTTP connection to URL (default: the library's check URL)\n"
    "can be made: at start, whenever the local IPv4 addresses change, and every\n"
    "10 seconds. Prints one line per change, \"TIME available\" or\n"
    "\"TIME unavailable\", on standard output, until interrupted (Ctrl-C, SIGINT,\n"
    "SIGTERM), which ends it with exit code 0.\n\n";

// The first answer sets the flag without a signal, so the flag is also
// looked at; both paths print only a change against the last line printed.
struct Reporter {
    bool printed = false;
    bool last = true;

    void Report(bool available) {
        if (printed && available == last)
            return;
        printed = true;
        last = available;
        std::printf("%s %s\n", TimeStamp().c_str(), available ? "available" : "unavailable");
        std::fflush(stdout);
    }
};

// How long to wait for the first check before printing the flag as it
// stands: a check that connects at once answers within this time.
const unsigned int kFirstAnswerMs = 1500;

}  // namespace

int CmdMonitor(const std::vector<std::string>& args) {
    if (WantsHelp(args, kMonitorHelp))
        return kExitOk;
    const Options options = ParseOptions(args, {}, {"--url"});
    ExpectPositional(options, 0, 0);
    const std::string url = options.Get("--url");
    if (options.Has("--url")) {
        if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0)
            UsageError("not an http or https URL: " + url);
    }

    WSADATA wsa;
    if (const int error = WSAStartup(MAKEWORD(2, 2), &wsa))
        Fail(static_cast<unsigned long>(error), "cannot start Winsock");
    WindowHost host;
    Reporter reporter;
    CNetworkMonitorWrapper& monitor = CNetworkMonitorWrapper::Instance();
    const std::wstring wideUrl = Widen(url);
    monitor.SetCheckUrl(url.empty() ? nullptr : wideUrl.c_str());
    std::printf("%s checking %s\n", TimeStamp().c_str(),
                url.empty() ? Narrow(CNetworkMonitorWrapper::kCheckUrl).c_str() : url.c_str());
    std::fflush(stdout);
    monitor.Init();
    // Slots run on the monitor thread; printing happens on this one.
    monitor.Connect(CNetworkMonitorWrapper::NetworkSlot([&reporter](bool available) {
        CFuncDispatch::Dispatch([&reporter, available] { reporter.Report(available); });
    }));
    const long firstTimer = CFuncDispatch::StartTimer(
        kFirstAnswerMs, [&reporter, &monitor] { reporter.Report(monitor.IsNetAvailable()); },
        false);
    const long flagTimer = CFuncDispatch::StartTimer(
        500,
        [&reporter, &monitor] {
            if (reporter.printed)
                reporter.Report(monitor.IsNetAvailable());
        },
        true);
    host.onStop = [] { WindowHost::Quit(kExitOk); };
    const int code = host.Run();
    CFuncDispatch::StopTimer(firstTimer);
    CFuncDispatch::StopTimer(flagTimer);
    monitor.UnInit();
    WSACleanup();
    return code;
}

}  // namespace vexlo
