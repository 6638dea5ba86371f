// net_commands.cpp: serve (an echo server on CTcpServer and
// CCompletePortController) and connect (standard input to a TCP peer, the
// peer to standard output). Every socket notice arrives on the window thread.
#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>

#include "VexloTool/CompletePortController.h"
#include "VexloTool/FuncDispatch.h"
#include "VexloTool/TcpServer.h"
#include "tools/vexlo/vexlo.h"

using namespace VexloTool;

namespace vexlo {

namespace {

const char kServeHelp[] =
    "usage: vexlo serve --port N [--bind ADDR] [-q]\n"
    "Echoes back whatever each TCP client sends, until interrupted (Ctrl-C,\n"
    "SIGINT, SIGTERM), which ends it with exit code 0. ADDR is a dotted IPv4\n"
    "address (default 127.0.0.1); port 0 picks a free port. The line\n"
    "\"listening on ADDR:PORT\" on standard output tells the port once it listens;\n"
    "connections and their ends are reported on standard error (not with -q).\n\n";

const char kConnectHelp[] =
    "usage: vexlo connect HOST PORT\n"
    "Connects to HOST (a dotted IPv4 address, or localhost) and copies standard\n"
    "input to the connection and the connection to standard output. At the end of\n"
    "standard input the sending side is shut down; the command ends when the\n"
    "peer closes (exit code 0) or the connection fails.\n\n";

// Winsock for the length of a command.
struct Winsock {
    Winsock() {
        WSADATA data;
        const int error = WSAStartup(MAKEWORD(2, 2), &data);
        if (error)
            Fail(static_cast<unsigned long>(error), "cannot start Winsock");
    }
    ~Winsock() { WSACleanup(); }
};

unsigned long LastSocketError() {
    return static_cast<unsigned long>(WSAGetLastError());
}

std::string CheckedAddress(const std::string& text) {
    const std::string address = text == "localhost" ? "127.0.0.1" : text;
    if (address.empty() ||
        (inet_addr(address.c_str()) == INADDR_NONE && address != "255.255.255.255"))
        UsageError("not an IPv4 address: " + text);
    return address;
}

std::string PeerName(unsigned int sock) {
    sockaddr_in address = {};
    int length = sizeof(address);
    if (getpeername(static_cast<SOCKET>(sock), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "?";
    const unsigned long ip = ntohl(address.sin_addr.s_addr);
    return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 255) + "." +
           std::to_string((ip >> 8) & 255) + "." + std::to_string(ip & 255) + ":" +
           std::to_string(ntohs(address.sin_port));
}

// How long a connection whose peer has closed waits for its echoes to go out
// before it is closed anyway: a send that fails after the peer's close is
// not reported.
const unsigned int kLingerMs = 5000;

struct EchoServer {
    CCompletePortController controller;
    std::map<unsigned int, int> pending;  // accepted socket -> sends not yet out
    bool quiet = false;

    void Accept(unsigned int sock) {
        if (!quiet)
            std::fprintf(stderr, "%s connection from %s\n", TimeStamp().c_str(),
                         PeerName(sock).c_str());
        pending[sock] = 0;
        SocketRecvSignal::slot_type echo(
            [this, sock](const char* data, unsigned int length) { Reply(sock, data, length); });
        SocketSentSignal::slot_type sent([this, sock] {
            const auto it = pending.find(sock);
            if (it != pending.end())
                --it->second;
        });
        SocketCloseSignal::slot_type closed(
            [this, sock](unsigned int error) { Closed(sock, error); });
        tagSocketSlots slots = {&echo, &sent, &closed, nullptr};
        controller.addsocket(sock, &slots);
    }

    // Chunks that arrive with the peer's half-close are still answered: the
    // controller takes sends until this thread has seen the close.
    void Reply(unsigned int sock, const char* data, unsigned int length) {
        const auto it = pending.find(sock);
        if (it != pending.end() && controller.send(sock, data, length, true)) {
            ++it->second;
            return;
        }
        std::fprintf(stderr, "%s connection %u: %u bytes not echoed\n", TimeStamp().c_str(), sock,
                     length);
    }

    void Closed(unsigned int sock, unsigned int error) {
        if (!quiet)
            std::fprintf(stderr, "%s connection %u closed: error %u (%s)\n", TimeStamp().c_str(),
                         sock, error, ErrorMeaning(error));
        const auto it = pending.find(sock);
        if (it == pending.end())
            return;
        if (error || it->second <= 0) {
            pending.erase(it);
            closesocket(static_cast<SOCKET>(sock));
            return;
        }
        // Replies whose onSent is still on its way end the wait early.
        const unsigned long long until = Now() + kLingerMs;
        auto timer = std::make_shared<long>(0);
        *timer = CFuncDispatch::StartTimer(
            50,
            [this, sock, until, timer] {
                const auto entry = pending.find(sock);
                if (entry != pending.end() && entry->second > 0 && Now() < until)
                    return;
                CFuncDispatch::StopTimer(*timer);
                if (entry != pending.end()) {
                    pending.erase(entry);
                    closesocket(static_cast<SOCKET>(sock));
                }
            },
            true);
    }

    void CloseAll() {
        for (const auto& entry : pending)
            closesocket(static_cast<SOCKET>(entry.first));
        pending.clear();
    }
};

}  // namespace

int CmdServe(const std::vector<std::string>& args) {
    if (WantsHelp(args, kServeHelp))
        return kExitOk;
    const Options options = ParseOptions(args, {"-q", "--quiet"}, {"--port", "--bind"});
    ExpectPositional(options, 0, 0);
    if (!options.Has("--port"))
        UsageError("missing --port");
    const unsigned short port = ParsePort(options.Get("--port"), true);
    const std::string address = CheckedAddress(options.Get("--bind", "127.0.0.1"));

    Winsock winsock;
    WindowHost host;
    EchoServer echo;
    echo.quiet = options.Has("-q") || options.Has("--quiet");
    echo.controller.init();
    TcpServerSignal::slot_type accept([&echo](unsigned int sock) { echo.Accept(sock); });
    tagTcpServerSlots serverSlots = {&accept, nullptr};
    CTcpServer server(&serverSlots);
    struct Teardown {
        CTcpServer& server;
        EchoServer& echo;
        ~Teardown() {
            server.uninit();
            echo.controller.uninit();
            echo.CloseAll();
        }
    } teardown{server, echo};

    if (!server.init())
        Fail(LastSocketError(), "cannot create the listening socket");
    const std::string where = address + ":" + std::to_string(port);
    if (!server.bind(address.c_str(), static_cast<short>(port)))
        Fail(LastSocketError(), "cannot bind " + where);
    if (!server.listen(SOMAXCONN))
        Fail(LastSocketError(), "cannot listen on " + where);
    sockaddr_in bound = {};
    int length = sizeof(bound);
    getsockname(static_cast<SOCKET>(server.getsock()), reinterpret_cast<sockaddr*>(&bound),
                &length);
    std::printf("listening on %s:%u\n", address.c_str(), ntohs(bound.sin_port));
    std::fflush(stdout);

    host.onStop = [] { WindowHost::Quit(kExitOk); };  // the way a server ends
    return host.Run();
}

namespace {

// Shared with the standard-input thread, which may still sit in a read
// when the command ends; it holds its own reference.
struct ConnectState {
    CCompletePortController* controller = nullptr;
    unsigned int sock = 0;
    std::atomic<bool> closing{false};
    // Bytes handed over and not yet out; the reader waits above the limit.
    std::atomic<unsigned long> inFlight{0};
    HANDLE room = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // Window thread only.
    std::deque<unsigned long> sends;
    bool inputEnded = false;
    bool sendShut = false;

    ~ConnectState() { CloseHandle(room); }

    void ShutIfDrained() {
        if (inputEnded && sends.empty() && !sendShut) {
            sendShut = true;
            shutdown(static_cast<SOCKET>(sock), SD_SEND);
        }
    }
};

const unsigned long kMaxInFlight = 1u << 20;

DWORD WINAPI ReadInput(LPVOID param) {
    std::shared_ptr<ConnectState> state(*static_cast<std::shared_ptr<ConnectState>*>(param));
    delete static_cast<std::shared_ptr<ConnectState>*>(param);
    std::unique_ptr<char[]> buffer(new char[32768]);
    for (;;) {
        while (state->inFlight.load() > kMaxInFlight && !state->closing)
            WaitForSingleObject(state->room, 100);
        unsigned long error = 0;
        const long n = ReadStandardInput(buffer.get(), 32768, error);
        if (state->closing)
            break;
        if (n <= 0) {
            if (n < 0)
                std::fprintf(stderr, "%s\n", ErrorLine("connect", error, "standard input").c_str());
            CFuncDispatch::Dispatch([state] {
                state->inputEnded = true;
                state->ShutIfDrained();
            });
            break;
        }
        state->inFlight += static_cast<unsigned long>(n);
        std::string chunk(buffer.get(), static_cast<size_t>(n));
        CFuncDispatch::Dispatch([state, chunk] {
            if (state->controller->send(state->sock, chunk.data(),
                                        static_cast<unsigned int>(chunk.size()), true))
                state->sends.push_back(chunk.size());
        });
    }
    return 0;
}

}  // namespace

int CmdConnect(const std::vector<std::string>& args) {
    if (WantsHelp(args, kConnectHelp))
        return kExitOk;
    const Options options = ParseOptions(args, {}, {});
    ExpectPositional(options, 2, 2);
    const std::string address = CheckedAddress(options.positional[0]);
    const unsigned short port = ParsePort(options.positional[1], false);

    Winsock winsock;
    SetBinary(stdout);
    WindowHost host;
    CCompletePortController controller;
    controller.init();
    const SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock == INVALID_SOCKET)
        Fail(LastSocketError(), "cannot create a socket");
    auto state = std::make_shared<ConnectState>();
    state->controller = &controller;
    state->sock = static_cast<unsigned int>(sock);
    unsigned long result = 0;
    HANDLE reader = nullptr;

    SocketRecvSignal::slot_type received([](const char* data, unsigned int length) {
        if (std::fwrite(data, 1, length, stdout) != length || std::fflush(stdout) != 0) {
            std::fprintf(stderr, "%s\n",
                         ErrorLine("connect", kErrorWriteFault, "cannot write the output").c_str());
            WindowHost::Quit(kExitFailed);
        }
    });
    SocketSentSignal::slot_type sent([state] {
        if (!state->sends.empty()) {
            state->inFlight -= state->sends.front();
            state->sends.pop_front();
            SetEvent(state->room);
        }
        state->ShutIfDrained();
    });
    SocketCloseSignal::slot_type closed([&result](unsigned int error) {
        result = error;
        WindowHost::Quit(error ? kExitFailed : kExitOk);
    });
    SocketConnectSignal::slot_type connected([state, &reader](unsigned int) {
        reader = CreateThread(nullptr, 0, ReadInput, new std::shared_ptr<ConnectState>(state), 0,
                              nullptr);
    });
    tagSocketSlots slots = {&received, &sent, &closed, &connected};
    controller.addsocket(static_cast<unsigned int>(sock), &slots);
    controller.connectto(static_cast<unsigned int>(sock), address.c_str(),
                         static_cast<short>(port));

    const int code = host.Run();
    state->closing = true;
    SetEvent(state->room);
    controller.uninit();
    closesocket(sock);
    if (reader)
        CloseHandle(reader);  // it ends at its next read, or with the process
    if (code == kExitInterrupted) {
        std::fprintf(stderr, "%s\n", ErrorLine("connect", kErrorCancelled, "interrupted").c_str());
        return code;
    }
    if (result)
        Fail(result, address + ":" + std::to_string(port));
    return code;
}

}  // namespace vexlo
