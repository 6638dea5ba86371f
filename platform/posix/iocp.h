// iocp.h: completion ports, the per-socket state of the Winsock family and
// the epoll reactor that turns readiness into completion packets.
// Conformance tests: tests/platform/iocp_test.cpp, tests/platform/winsock_test.cpp.
//
// Design: an overlapped operation is tried at once; if it would block it is
// queued on its socket by direction (reads; writes and connects) and the
// reactor thread runs the queue on the next readiness edge. Each socket is
// registered with epoll once, edge-triggered, when it is associated with a
// port. Every started operation ends as exactly one packet, also when it
// finished at once; closesocket ends the queued ones as aborted.
//
// Threads: any. Lock order: the socket registry's lock, then one
// SocketState::lock, then LayerLock (the leaf, which guards every port's
// packet queue). No lock is held across a blocking system call, and the
// layer runs no host code at all (no completion routines).
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/bsd_socket.h"
#include "platform/posix/layer.h"

namespace vxp {

struct Packet {
    DWORD bytes;
    ULONG_PTR key;
    LPOVERLAPPED overlapped;
    DWORD status;  // 0, or the Win32 code of a failed operation
};

// A port's packets live under LayerLock. A satisfied wait reserves one
// packet (AcquireLocked), so each packet wakes exactly one waiter.
class CompletionPort final : public Object {
public:
    bool IsSignalledLocked() const override { return closed || packets.size() > reserved; }
    void AcquireLocked() override { ++reserved; }
    void OnHandleClosed() override;

    std::deque<Packet> packets;
    size_t reserved = 0;
    bool closed = false;
};

// Queues a packet and wakes one waiter; a closed port drops it.
void QueuePacket(CompletionPort& port, const Packet& packet);

enum class OpKind { Receive, Send, Connect };

struct PendingOp {
    OpKind kind;
    LPOVERLAPPED overlapped;
    std::vector<bsd::Slice> slices;
    size_t total = 0;  // bytes asked for (sends)
    size_t done = 0;   // bytes sent so far
    int flags = 0;
};

// What one attempt at an operation came to.
struct Attempt {
    bool wouldBlock = false;
    size_t bytes = 0;
    int error = 0;  // errno value, 0 on success
};

struct SocketState {
    explicit SocketState(int descriptor) : fd(descriptor) {}
    ~SocketState();  // closes the descriptor: the last user has gone
    SocketState(const SocketState&) = delete;
    SocketState& operator=(const SocketState&) = delete;

    const int fd;
    std::mutex lock;
    // Under lock:
    bool closed = false;
    bool nonBlocking = false;
    bool sendShut = false;           // shutdown(SD_SEND or SD_BOTH) was called
    int blockedCalls = 0;            // threads waiting in a blocking call
    CompletionPort* port = nullptr;  // one reference held
    ULONG_PTR key = 0;
    bool skipOnSuccess = false;  // operations done at once queue no packet
    std::deque<PendingOp> reads;
    std::deque<PendingOp> writes;  // sends and the connect
};

using SocketRef = std::shared_ptr<SocketState>;

// The socket registry: a SOCKET is its descriptor's number.
SOCKET RegisterSocket(int fd);
SocketRef FindSocket(SOCKET s);
SocketRef UnregisterSocket(SOCKET s);

// Under the state's lock: one try at the operation, without blocking.
Attempt TryOperation(SocketState& state, PendingOp& op);
// Under the state's lock: reports the operation as a packet on the port.
void CompleteOperation(SocketState& state, const PendingOp& op, size_t bytes, DWORD status);

// Registers the descriptor with the reactor (once, edge-triggered).
void WatchSocket(int fd);
void UnwatchSocket(int fd);

}  // namespace vxp
