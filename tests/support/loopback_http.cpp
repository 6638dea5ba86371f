// loopback_http.cpp: the scripted loopback HTTP peer, over Winsock on
// Windows and BSD sockets on Linux (test code: the library never sees it).
#include "support/loopback_http.h"

#include <chrono>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
typedef int socklen_t;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#define closesocket close
#endif

namespace vxtest {

namespace {

typedef decltype(socket(0, 0, 0)) Socket;
#if defined(_WIN32)
const Socket kNoSocket = INVALID_SOCKET;
#else
const Socket kNoSocket = -1;
#endif

void StartSockets() {
#if defined(_WIN32)
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
#endif
}

// Waits up to 100 ms for the socket to become readable.
bool Readable(Socket s) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait = {0, 100 * 1000};
    return select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &wait) > 0;
}

}  // namespace

std::string HttpRequestSeen::Header(const std::string& name) const {
    size_t pos = head.find("\r\n");
    while (pos != std::string::npos && pos + 2 < head.size()) {
        const size_t start = pos + 2;
        const size_t end = head.find("\r\n", start);
        const std::string line = head.substr(start, end - start);
        pos = end;
        const size_t colon = line.find(':');
        if (colon == name.size()) {
            bool same = true;
            for (size_t i = 0; i < colon && same; ++i)
                same = tolower(static_cast<unsigned char>(line[i])) ==
                       tolower(static_cast<unsigned char>(name[i]));
            if (same) {
                const size_t value = line.find_first_not_of(' ', colon + 1);
                return value == std::string::npos ? std::string() : line.substr(value);
            }
        }
    }
    return std::string();
}

LoopbackConnection::LoopbackConnection(uintptr_t socket, LoopbackHttpServer& server)
    : socket_(socket), server_(server) {}

void LoopbackConnection::Record(const HttpRequestSeen& request) {
    server_.Record(request);
}

LoopbackConnection::~LoopbackConnection() {
    if (socket_ != static_cast<uintptr_t>(~0ull))
        closesocket(static_cast<Socket>(socket_));
}

bool LoopbackConnection::Fill() {
    const Socket s = static_cast<Socket>(socket_);
    while (!server_.stopping()) {
        if (!Readable(s))
            continue;
        char buffer[65536];
        const int n = static_cast<int>(recv(s, buffer, sizeof buffer, 0));
        if (n <= 0)
            return false;
        pending_.append(buffer, static_cast<size_t>(n));
        return true;
    }
    return false;
}

bool LoopbackConnection::ReadRequest(HttpRequestSeen& request,
                                     const std::function<void()>& beforeBody) {
    size_t end;
    while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
        if (!Fill())
            return false;
    }
    request.head = pending_.substr(0, end + 2);
    pending_.erase(0, end + 4);
    const std::string length = request.Header("Content-Length");
    const size_t bodyLength = length.empty() ? 0 : std::stoul(length);
    if (beforeBody)
        beforeBody();
    while (pending_.size() < bodyLength) {
        if (!Fill())
            return false;
    }
    request.body = pending_.substr(0, bodyLength);
    pending_.erase(0, bodyLength);
    return true;
}

bool LoopbackConnection::Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = static_cast<int>(send(static_cast<Socket>(socket_), bytes.data() + sent,
                                            static_cast<int>(bytes.size() - sent), 0));
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void LoopbackConnection::Stall() {
    const Socket s = static_cast<Socket>(socket_);
    while (!server_.stopping()) {
        if (Readable(s)) {
            char probe;
            if (recv(s, &probe, 1, MSG_PEEK) <= 0)
                return;
            // Data is left unread; wait without spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

void LoopbackConnection::Reset() {
    linger hard = {1, 0};
    setsockopt(static_cast<Socket>(socket_), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char*>(&hard), sizeof hard);
    closesocket(static_cast<Socket>(socket_));
    socket_ = static_cast<uintptr_t>(~0ull);
}

LoopbackHttpServer::LoopbackHttpServer(Handler handler) : handler_(std::move(handler)) {
    StartSockets();
    const Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(s, 64);
    socklen_t size = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    listener_ = static_cast<uintptr_t>(s);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    stopping_ = true;
    acceptor_.join();
    closesocket(static_cast<Socket>(listener_));
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> hold(lock_);
        workers.swap(workers_);
    }
    for (std::thread& worker : workers)
        worker.join();
}

void LoopbackHttpServer::AcceptLoop() {
    const Socket listener = static_cast<Socket>(listener_);
    while (!stopping_) {
        if (!Readable(listener))
            continue;
        const Socket s = accept(listener, nullptr, nullptr);
        if (s == kNoSocket)
            continue;
        ++connections_;
        std::lock_guard<std::mutex> hold(lock_);
        workers_.emplace_back([this, s] {
            LoopbackConnection connection(static_cast<uintptr_t>(s), *this);
            handler_(connection);
        });
    }
}

std::wstring LoopbackHttpServer::Url(const std::string& path) const {
    const std::string url = "http://127.0.0.1:" + std::to_string(port_) + path;
    return std::wstring(url.begin(), url.end());
}

std::vector<HttpRequestSeen> LoopbackHttpServer::Requests() const {
    std::lock_guard<std::mutex> hold(const_cast<std::mutex&>(lock_));
    return requests_;
}

void LoopbackHttpServer::Record(const HttpRequestSeen& request) {
    std::lock_guard<std::mutex> hold(lock_);
    requests_.push_back(request);
}

LoopbackHttpServer::Handler LoopbackHttpServer::Respond(const std::string& response) {
    return [response](LoopbackConnection& connection) {
        HttpRequestSeen request;
        while (connection.ReadRequest(request)) {
            connection.Record(request);
            if (!connection.Send(response))
                return;
        }
    };
}

std::string HttpResponse(int status, const std::string& body, const std::string& extraHeaders) {
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" +
           body;
}

}  // namespace vxtest
