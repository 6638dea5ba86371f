// loopback.h: Winsock helpers for tests: a started Winsock, a listener on
// 127.0.0.1 with an ephemeral port, and connected socket pairs.
#pragma once

#include <string>

#include "vxplatform.h"

namespace vxtest {

// WSAStartup for the scope.
class WinsockSession {
public:
    WinsockSession();
    ~WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
};

// A listening socket on 127.0.0.1 and an ephemeral port; closed on exit.
class Listener {
public:
    Listener();
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    SOCKET sock() const { return sock_; }
    unsigned short port() const { return port_; }
    SOCKET Accept() const;
    void Close();

private:
    SOCKET sock_ = INVALID_SOCKET;
    unsigned short port_ = 0;
};

// The loopback address with a port (host byte order).
sockaddr_in LoopbackAddress(unsigned short port);
// A blocking client connected to the port, or INVALID_SOCKET.
SOCKET ConnectTo(unsigned short port);
// A port on which nothing listens, held (bound) until the program ends.
unsigned short UnusedPort();
// Receives exactly the count of bytes (blocking), or fewer if the peer
// closes or fails.
std::string ReceiveAll(SOCKET sock, size_t count);
// Sends all bytes (blocking); false on failure.
bool SendAll(SOCKET sock, const std::string& data);
// Sends small segments at once (TCP_NODELAY): an echo of sub-segment chunks
// otherwise waits for delayed acknowledgements.
void NoDelay(SOCKET sock);
// Closes the socket so that the peer sees a reset (SO_LINGER 0).
void CloseWithReset(SOCKET sock);
// A recognisable byte pattern: byte i of stream `seed` is a function of both.
std::string Pattern(size_t length, unsigned seed = 0, size_t offset = 0);

// A connected pair: client from ConnectTo, server from accept.
struct SocketPair {
    SocketPair();
    ~SocketPair();
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    SOCKET client = INVALID_SOCKET;
    SOCKET server = INVALID_SOCKET;
};

}  // namespace vxtest
