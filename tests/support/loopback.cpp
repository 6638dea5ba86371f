// loopback.cpp: Winsock helpers for tests.
#include "support/loopback.h"

namespace vxtest {

WinsockSession::WinsockSession() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

WinsockSession::~WinsockSession() {
    WSACleanup();
}

sockaddr_in LoopbackAddress(unsigned short port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    return address;
}

namespace {

// A TCP socket bound to a loopback port the system picks; the port is stored.
SOCKET BindLoopback(unsigned short& port) {
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = LoopbackAddress(0);
    ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return sock;
}

}  // namespace

Listener::Listener() {
    sock_ = BindLoopback(port_);
    ::listen(sock_, SOMAXCONN);
}

Listener::~Listener() {
    Close();
}

void Listener::Close() {
    if (sock_ != INVALID_SOCKET)
        closesocket(sock_);
    sock_ = INVALID_SOCKET;
}

SOCKET Listener::Accept() const {
    return ::accept(sock_, nullptr, nullptr);
}

SOCKET ConnectTo(unsigned short port) {
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = LoopbackAddress(port);
    if (::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        closesocket(sock);
        return INVALID_SOCKET;
    }
    return sock;
}

unsigned short UnusedPort() {
    // Bound and never listening, and never closed: connections are refused,
    // and no other test running beside this one can take the port meanwhile.
    unsigned short port = 0;
    BindLoopback(port);
    return port;
}

std::string ReceiveAll(SOCKET sock, size_t count) {
    std::string data(count, '\0');
    size_t done = 0;
    while (done < count) {
        const int chunk = count - done > 65536 ? 65536 : static_cast<int>(count - done);
        const int got = ::recv(sock, &data[done], chunk, 0);
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    data.resize(done);
    return data;
}

bool SendAll(SOCKET sock, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const size_t left = data.size() - done;
        const int chunk = left > 65536 ? 65536 : static_cast<int>(left);
        const int sent = ::send(sock, data.data() + done, chunk, 0);
        if (sent <= 0)
            return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

void NoDelay(SOCKET sock) {
    const int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
}

void CloseWithReset(SOCKET sock) {
    linger option = {1, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option), sizeof(option));
    closesocket(sock);
}

std::string Pattern(size_t length, unsigned seed, size_t offset) {
    std::string data(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        const size_t k = i + offset;
        data[i] = static_cast<char>((k * 131u + (k >> 11) + seed * 7u) & 0xFF);
    }
    return data;
}

SocketPair::SocketPair() {
    Listener listener;
    client = ConnectTo(listener.port());
    server = listener.Accept();
}

SocketPair::~SocketPair() {
    if (client != INVALID_SOCKET)
        closesocket(client);
    if (server != INVALID_SOCKET)
        closesocket(server);
}

}  // namespace vxtest
