// iocp.cpp: completion ports and the epoll reactor feeding them.
// Conformance tests: tests/platform/iocp_test.cpp.
#include "platform/posix/iocp.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <thread>

#include "platform/posix/errors.h"

namespace vxp {

namespace {

// The reactor: one epoll instance and one thread for the process, started
// with the first association. Immortal, like the handle table.
class Reactor {
public:
    static Reactor& Get() {
        static Reactor* reactor = new Reactor;
        return *reactor;
    }

    void Watch(int fd) {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        event.data.fd = fd;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    }

    void Unwatch(int fd) { epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr); }

private:
    Reactor() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {
        std::thread([this] { Run(); }).detach();
    }

    void Run() {
        epoll_event events[64];
        for (;;) {
            const int count = epoll_wait(epoll_, events, 64, -1);
            for (int i = 0; i < count; ++i)
                Drive(events[i]);
        }
    }

    // A stale event (socket closed, number reused) only causes a harmless
    // extra attempt.
    static void Drive(const epoll_event& event) {
        SocketRef state = FindSocket(static_cast<SOCKET>(event.data.fd));
        if (!state)
            return;
        std::lock_guard<std::mutex> guard(state->lock);
        if (state->closed)
            return;
        RunQueue(*state, state->reads);
        RunQueue(*state, state->writes);
    }

    // Runs queued operations until one would block.
    static void RunQueue(SocketState& state, std::deque<PendingOp>& queue) {
        while (!queue.empty()) {
            PendingOp& op = queue.front();
            const Attempt attempt = TryOperation(state, op);
            if (attempt.wouldBlock)
                return;
            CompleteOperation(state, op, attempt.bytes,
                              attempt.error ? CompletionErrorFromErrno(attempt.error) : 0);
            queue.pop_front();
        }
    }

    const int epoll_;
};

Attempt Finished(size_t bytes, int error) {
    Attempt attempt;
    attempt.bytes = bytes;
    attempt.error = error;
    return attempt;
}

Attempt Blocked() {
    Attempt attempt;
    attempt.wouldBlock = true;
    return attempt;
}

Attempt TryReceive(SocketState& state, PendingOp& op) {
    const long result =
        bsd::Receive(state.fd, op.slices.data(), static_cast<int>(op.slices.size()), op.flags);
    if (result == -EAGAIN)
        return Blocked();
    return result < 0 ? Finished(0, static_cast<int>(-result))
                      : Finished(static_cast<size_t>(result), 0);
}

// Sends until every byte is out: an overlapped stream send never completes
// in part.
Attempt TrySend(SocketState& state, PendingOp& op) {
    while (op.done < op.total) {
        const long result =
            bsd::Send(state.fd, op.slices.data(), static_cast<int>(op.slices.size()), op.flags);
        if (result == -EAGAIN)
            return Blocked();
        if (result < 0)
            return Finished(op.done, static_cast<int>(-result));
        size_t sent = static_cast<size_t>(result);
        op.done += sent;
        while (sent > 0 && !op.slices.empty()) {
            bsd::Slice& front = op.slices.front();
            const size_t step = sent < front.length ? sent : front.length;
            front.data = static_cast<char*>(front.data) + step;
            front.length -= step;
            sent -= step;
            if (front.length == 0)
                op.slices.erase(op.slices.begin());
        }
    }
    return Finished(op.done, 0);
}

Attempt TryConnect(SocketState& state) {
    const int error = bsd::PendingError(state.fd);
    if (error != 0)
        return Finished(0, error);
    char address[16];
    int length = sizeof(address);
    const int result = bsd::PeerName(state.fd, address, &length);
    if (result == -ENOTCONN)
        return Blocked();
    return Finished(0, result < 0 ? -result : 0);
}

}  // namespace

void CompletionPort::OnHandleClosed() {
    std::lock_guard<std::mutex> guard(LayerLock());
    closed = true;
    packets.clear();
    WakeWaitersLocked();
}

void QueuePacket(CompletionPort& port, const Packet& packet) {
    std::lock_guard<std::mutex> guard(LayerLock());
    if (port.closed)
        return;
    port.packets.push_back(packet);
    port.WakeWaitersLocked();
}

Attempt TryOperation(SocketState& state, PendingOp& op) {
    switch (op.kind) {
        case OpKind::Receive:
            return TryReceive(state, op);
        case OpKind::Send:
            return TrySend(state, op);
        case OpKind::Connect:
            return TryConnect(state);
    }
    return Finished(0, EINVAL);
}

void CompleteOperation(SocketState& state, const PendingOp& op, size_t bytes, DWORD status) {
    op.overlapped->Internal = status;
    op.overlapped->InternalHigh = bytes;
    if (state.port)
        QueuePacket(*state.port,
                    Packet{static_cast<DWORD>(bytes), state.key, op.overlapped, status});
}

void WatchSocket(int fd) {
    Reactor::Get().Watch(fd);
}

void UnwatchSocket(int fd) {
    Reactor::Get().Unwatch(fd);
}

}  // namespace vxp

namespace {

// Takes a reference to the port a handle names, or null.
vxp::CompletionPort* ReferencePort(HANDLE handle) {
    std::lock_guard<std::mutex> guard(vxp::LayerLock());
    auto* port = dynamic_cast<vxp::CompletionPort*>(vxp::LookupHandleLocked(handle));
    if (port)
        port->AddRef();
    return port;
}

struct PortReference {
    explicit PortReference(vxp::CompletionPort* p) : port(p) {}
    ~PortReference() {
        if (port)
            port->Release();
    }
    PortReference(const PortReference&) = delete;
    PortReference& operator=(const PortReference&) = delete;
    vxp::CompletionPort* port;
};

HANDLE NewPort() {
    auto* port = new (std::nothrow) vxp::CompletionPort;
    if (!port) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = vxp::InsertHandle(port);
    if (!handle)
        port->Release();
    return handle;
}

HANDLE Associate(HANDLE file, HANDLE existing, ULONG_PTR key) {
    PortReference port(ReferencePort(existing));
    vxp::SocketRef state = vxp::FindSocket(static_cast<SOCKET>(reinterpret_cast<uintptr_t>(file)));
    if (!port.port || !state) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(state->lock);
    if (state->port) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    port.port->AddRef();
    state->port = port.port;
    state->key = key;
    vxp::WatchSocket(state->fd);
    return existing;
}

// Hands one packet over; under LayerLock.
BOOL Deliver(vxp::CompletionPort& port, LPDWORD bytes, PULONG_PTR key, LPOVERLAPPED* overlapped) {
    const vxp::Packet packet = port.packets.front();
    port.packets.pop_front();
    *bytes = packet.bytes;
    *key = packet.key;
    *overlapped = packet.overlapped;
    if (packet.overlapped && packet.status != 0) {
        SetLastError(packet.status);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace

HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existing, ULONG_PTR key, DWORD) {
    if (file == INVALID_HANDLE_VALUE) {
        if (existing) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return NewPort();
    }
    return Associate(file, existing, key);
}

BOOL GetQueuedCompletionStatus(HANDLE handle, LPDWORD bytes, PULONG_PTR key,
                               LPOVERLAPPED* overlapped, DWORD milliseconds) {
    if (!bytes || !key || !overlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *overlapped = nullptr;
    PortReference port(ReferencePort(handle));
    if (!port.port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(vxp::LayerLock());
        if (port.port->packets.size() > port.port->reserved)
            return Deliver(*port.port, bytes, key, overlapped);
    }
    const DWORD result =
        vxp::WaitCommon(1, &handle, false, milliseconds, nullptr, 0, vxp::Clock::time_point::max());
    if (result == WAIT_TIMEOUT) {
        SetLastError(WAIT_TIMEOUT);
        return FALSE;
    }
    if (result != WAIT_OBJECT_0) {
        SetLastError(ERROR_ABANDONED_WAIT_0);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(vxp::LayerLock());
    --port.port->reserved;  // ours: a packet, or the close
    if (port.port->closed) {
        SetLastError(ERROR_ABANDONED_WAIT_0);
        return FALSE;
    }
    return Deliver(*port.port, bytes, key, overlapped);
}

BOOL PostQueuedCompletionStatus(HANDLE handle, DWORD bytes, ULONG_PTR key,
                                LPOVERLAPPED overlapped) {
    PortReference port(ReferencePort(handle));
    if (!port.port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    vxp::QueuePacket(*port.port, vxp::Packet{bytes, key, overlapped, 0});
    return TRUE;
}
