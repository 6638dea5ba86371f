// winsock.cpp: the Winsock 2 subset over BSD sockets: startup, the socket
// registry, blocking-mode emulation and the overlapped calls.
// Conformance tests: tests/platform/winsock_test.cpp, tests/platform/iocp_test.cpp.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "platform/posix/errors.h"
#include "platform/posix/iocp.h"
#include "platform/posix/socket_events.h"

namespace vxp {

namespace {

struct Registry {
    std::mutex lock;
    std::unordered_map<SOCKET, SocketRef> sockets;
};

Registry& Sockets() {
    static Registry* registry = new Registry;  // immortal: the reactor outlives exit()
    return *registry;
}

}  // namespace

SocketState::~SocketState() {
    if (port)
        port->Release();
    bsd::Close(fd);
}

SOCKET RegisterSocket(int fd) {
    SocketRef state = std::make_shared<SocketState>(fd);
    std::lock_guard<std::mutex> guard(Sockets().lock);
    Sockets().sockets[static_cast<SOCKET>(fd)] = std::move(state);
    return static_cast<SOCKET>(fd);
}

SocketRef FindSocket(SOCKET s) {
    std::lock_guard<std::mutex> guard(Sockets().lock);
    auto it = Sockets().sockets.find(s);
    return it == Sockets().sockets.end() ? nullptr : it->second;
}

SocketRef UnregisterSocket(SOCKET s) {
    std::lock_guard<std::mutex> guard(Sockets().lock);
    auto it = Sockets().sockets.find(s);
    if (it == Sockets().sockets.end())
        return nullptr;
    SocketRef state = std::move(it->second);
    Sockets().sockets.erase(it);
    return state;
}

}  // namespace vxp

namespace {

std::atomic<int> gStartups{0};

int Fail(int wsaError) {
    WSASetLastError(wsaError);
    return SOCKET_ERROR;
}

int FailErrno(int errnoValue) {
    return Fail(vxp::WsaErrorFromErrno(errnoValue));
}

// The state of a socket for a call, or null with the last error set.
vxp::SocketRef Use(SOCKET s) {
    if (gStartups.load() <= 0) {
        WSASetLastError(WSANOTINITIALISED);
        return nullptr;
    }
    vxp::SocketRef state = vxp::FindSocket(s);
    if (!state)
        WSASetLastError(WSAENOTSOCK);
    return state;
}

// EPIPE means the peer went away, unless our own side was shut down.
long Refine(vxp::SocketState& state, long result) {
    return result == -EPIPE && state.sendShut ? -ESHUTDOWN : result;
}

int Done(long result) {
    if (result < 0)
        return FailErrno(static_cast<int>(-result));
    WSASetLastError(0);
    return static_cast<int>(result);
}

// Runs a non-blocking call; in blocking mode waits for readiness and tries
// again. A close by another thread ends the wait with WSAEINTR.
template <class Call>
long Blocking(vxp::SocketState& state, bool write, Call call) {
    for (;;) {
        const long result = call();
        if (result != -EAGAIN && result != -EINPROGRESS)
            return result;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            if (state.nonBlocking)
                return result;
            if (state.closed)
                return -EINTR;
            ++state.blockedCalls;
        }
        vxp::bsd::WaitReady(state.fd, write);
        std::lock_guard<std::mutex> guard(state.lock);
        --state.blockedCalls;
        if (state.closed)
            return -EINTR;
        if (result == -EINPROGRESS) {
            const int error = vxp::bsd::PendingError(state.fd);
            return error ? -error : 0;
        }
    }
}

bool ValidAddress(const sockaddr* name, int length) {
    return name && length >= static_cast<int>(sizeof(sockaddr_in));
}

std::vector<vxp::bsd::Slice> Slices(LPWSABUF buffers, DWORD count, size_t* total) {
    std::vector<vxp::bsd::Slice> slices;
    slices.reserve(count);
    *total = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (buffers[i].len == 0)
            continue;
        slices.push_back({buffers[i].buf, buffers[i].len});
        *total += buffers[i].len;
    }
    return slices;
}

// Under the state's lock: an operation that succeeded within its starting
// call; its packet is skipped when the socket asked for that.
void CompleteAtOnce(vxp::SocketState& state, const vxp::PendingOp& op, size_t bytes) {
    if (!state.skipOnSuccess) {
        vxp::CompleteOperation(state, op, bytes, 0);
        return;
    }
    op.overlapped->Internal = 0;
    op.overlapped->InternalHigh = bytes;
}

// Starts an overlapped operation: tried at once when nothing of its
// direction waits before it, queued otherwise.
int StartOverlapped(SOCKET s, vxp::PendingOp op, LPDWORD bytes) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return SOCKET_ERROR;
    if (!op.overlapped)
        return Fail(WSAEINVAL);
    std::lock_guard<std::mutex> guard(state->lock);
    if (!state->port)
        return Fail(WSAEINVAL);
    std::deque<vxp::PendingOp>& queue =
        op.kind == vxp::OpKind::Receive ? state->reads : state->writes;
    op.overlapped->Internal = ERROR_IO_PENDING;
    op.overlapped->InternalHigh = 0;
    if (queue.empty()) {
        const vxp::Attempt attempt = vxp::TryOperation(*state, op);
        if (!attempt.wouldBlock) {
            if (attempt.error)
                return FailErrno(static_cast<int>(-Refine(*state, -attempt.error)));
            if (bytes)
                *bytes = static_cast<DWORD>(attempt.bytes);
            CompleteAtOnce(*state, op, attempt.bytes);
            WSASetLastError(0);
            return 0;
        }
    }
    queue.push_back(std::move(op));
    return Fail(WSA_IO_PENDING);
}

// Errors that a pending connect would report later rather than at once.
bool ConnectOutcome(int errnoValue) {
    return errnoValue == ECONNREFUSED || errnoValue == ETIMEDOUT || errnoValue == ENETUNREACH ||
           errnoValue == EHOSTUNREACH || errnoValue == ECONNRESET;
}

BOOL PASCAL ConnectExImpl(SOCKET s, const sockaddr* name, int namelen, PVOID, DWORD sendLength,
                          LPDWORD, LPOVERLAPPED overlapped) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return FALSE;
    if (!ValidAddress(name, namelen) || !overlapped || sendLength != 0) {
        Fail(WSAEINVAL);
        return FALSE;
    }
    sockaddr_in local{};
    int localLength = sizeof(local);
    if (vxp::bsd::SockName(state->fd, &local, &localLength) != 0 || local.sin_port == 0) {
        Fail(WSAEINVAL);  // ConnectEx needs a bound socket
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(state->lock);
    if (!state->port) {
        Fail(WSAEINVAL);
        return FALSE;
    }
    vxp::PendingOp op{vxp::OpKind::Connect, overlapped, {}};
    overlapped->Internal = ERROR_IO_PENDING;
    const int result = vxp::bsd::Connect(state->fd, name, namelen);
    if (result == 0) {
        CompleteAtOnce(*state, op, 0);
    } else if (ConnectOutcome(-result)) {
        vxp::CompleteOperation(*state, op, 0, vxp::CompletionErrorFromErrno(-result));
    } else if (result == -EINPROGRESS) {
        state->writes.push_front(std::move(op));
    } else {
        FailErrno(-result);
        return FALSE;
    }
    if (result == 0) {
        WSASetLastError(0);
        return TRUE;
    }
    Fail(WSA_IO_PENDING);
    return FALSE;
}

}  // namespace

int WSAStartup(WORD, LPWSADATA data) {
    if (!data)
        return WSAEFAULT;
    std::memset(data, 0, sizeof(*data));
    data->wVersion = MAKEWORD(2, 2);
    data->wHighVersion = MAKEWORD(2, 2);
    std::strcpy(data->szDescription, "VexloTool Winsock layer");
    std::strcpy(data->szSystemStatus, "Running");
    gStartups.fetch_add(1);
    return 0;
}

int WSACleanup() {
    int count = gStartups.load();
    while (count > 0 && !gStartups.compare_exchange_weak(count, count - 1)) {
    }
    if (count <= 0)
        return Fail(WSANOTINITIALISED);
    return 0;
}

int WSAGetLastError() {
    return static_cast<int>(GetLastError());
}

void WSASetLastError(int error) {
    SetLastError(static_cast<DWORD>(error));
}

SOCKET socket(int af, int type, int protocol) {
    if (gStartups.load() <= 0) {
        WSASetLastError(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    const int fd = vxp::bsd::Socket(af, type, protocol);
    if (fd < 0) {
        FailErrno(-fd);
        return INVALID_SOCKET;
    }
    WSASetLastError(0);
    return vxp::RegisterSocket(fd);
}

int closesocket(SOCKET s) {
    if (gStartups.load() <= 0)
        return Fail(WSANOTINITIALISED);
    vxp::SocketRef state = vxp::UnregisterSocket(s);
    if (!state)
        return Fail(WSAENOTSOCK);
    vxp::ForgetSocketEvents(s);
    std::lock_guard<std::mutex> guard(state->lock);
    state->closed = true;
    if (state->port)
        vxp::UnwatchSocket(state->fd);
    if (state->blockedCalls > 0)
        vxp::bsd::Shutdown(state->fd, SD_BOTH);  // wakes them; they report WSAEINTR
    for (std::deque<vxp::PendingOp>* queue : {&state->reads, &state->writes}) {
        for (const vxp::PendingOp& op : *queue)
            vxp::CompleteOperation(*state, op, op.done, ERROR_OPERATION_ABORTED);
        queue->clear();
    }
    WSASetLastError(0);
    return 0;
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return SOCKET_ERROR;
    if (!ValidAddress(name, namelen))
        return Fail(WSAEFAULT);
    return Done(vxp::bsd::Bind(state->fd, name, namelen));
}

int listen(SOCKET s, int backlog) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return SOCKET_ERROR;
    return Done(vxp::bsd::Listen(state->fd, backlog == SOMAXCONN ? 4096 : backlog));
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return INVALID_SOCKET;
    if (addr && (!addrlen || *addrlen < static_cast<int>(sizeof(sockaddr_in)))) {
        Fail(WSAEFAULT);
        return INVALID_SOCKET;
    }
    const long fd =
        Blocking(*state, false, [&] { return vxp::bsd::Accept(state->fd, addr, addrlen); });
    if (fd < 0) {
        FailErrno(static_cast<int>(-fd));
        return INVALID_SOCKET;
    }
    WSASetLastError(0);
    return vxp::RegisterSocket(static_cast<int>(fd));
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return SOCKET_ERROR;
    if (!ValidAddress(name, namelen))
        return Fail(WSAEFAULT);
    const long result =
        Blocking(*state, true, [&] { return vxp::bsd::Connect(state->fd, name, namelen); });
    return Done(result == -EINPROGRESS ? -EAGAIN : result);  // non-blocking: WSAEWOULDBLOCK
}

int shutdown(SOCKET s, int how) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return SOCKET_ERROR;
    const int result = vxp::bsd::Shutdown(state->fd, how);
    if (result == 0 && how != SD_RECEIVE) {
        std::lock_guard<std::mutex> guard(state->lock);
        state->sendShut = true;
    }
    return Done(result);
}

int send(SOCKET s, const char* buf, int len, int flags) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return SOCKET_ERROR;
    if (len < 0 || (len > 0 && !buf))
        return Fail(WSAEFAULT);
    vxp::bsd::Slice slice{const_cast<char*>(buf), static_cast<size_t>(len)};
    const long result =
        Blocking(*state, true, [&] { return vxp::bsd::Send(state->fd, &slice, 1, flags); });
    std::lock_guard<std::mutex> guard(state->lock);
    return Done(Refine(*state, result));
}

int recv(SOCKET s, char* buf, int len, int flags) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return SOCKET_ERROR;
    if (len < 0 || (len > 0 && !buf))
        return Fail(WSAEFAULT);
    vxp::bsd::Slice slice{buf, static_cast<size_t>(len)};
    return Done(
        Blocking(*state, false, [&] { return vxp::bsd::Receive(state->fd, &slice, 1, flags); }));
}

int getpeername(SOCKET s, sockaddr* name, int* namelen) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return SOCKET_ERROR;
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    return Done(vxp::bsd::PeerName(state->fd, name, namelen));
}

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return SOCKET_ERROR;
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    return Done(vxp::bsd::SockName(state->fd, name, namelen));
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return SOCKET_ERROR;
    if (!optval)
        return Fail(WSAEFAULT);
    return Done(vxp::bsd::SetOption(state->fd, level, optname, optval, optlen));
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return SOCKET_ERROR;
    if (!optval || !optlen)
        return Fail(WSAEFAULT);
    const int result = vxp::bsd::GetOption(state->fd, level, optname, optval, optlen);
    if (result == 0 && level == SOL_SOCKET && optname == SO_ERROR) {
        int* value = reinterpret_cast<int*>(optval);
        *value = *value ? vxp::WsaErrorFromErrno(*value) : 0;
    }
    return Done(result);
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return SOCKET_ERROR;
    if (cmd != FIONBIO)
        return Fail(WSAEINVAL);
    if (!argp)
        return Fail(WSAEFAULT);
    std::lock_guard<std::mutex> guard(state->lock);
    state->nonBlocking = *argp != 0;
    WSASetLastError(0);
    return 0;
}

unsigned long inet_addr(const char* text) {
    return vxp::bsd::InetAddr(text);
}

int WSARecv(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD bytesReceived, LPDWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    if (routine || !buffers || count == 0)
        return Fail(routine ? WSAEOPNOTSUPP : WSAEFAULT);
    vxp::PendingOp op{vxp::OpKind::Receive, overlapped, {}};
    op.slices = Slices(buffers, count, &op.total);
    op.flags = flags ? static_cast<int>(*flags) : 0;
    return StartOverlapped(s, std::move(op), bytesReceived);
}

int WSASend(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD bytesSent, DWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    if (routine || (!buffers && count != 0))
        return Fail(routine ? WSAEOPNOTSUPP : WSAEFAULT);
    vxp::PendingOp op{vxp::OpKind::Send, overlapped, {}};
    op.slices = Slices(buffers, count, &op.total);
    op.flags = static_cast<int>(flags);
    return StartOverlapped(s, std::move(op), bytesSent);
}

int WSAIoctl(SOCKET s, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
             LPDWORD bytesReturned, LPWSAOVERLAPPED overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    vxp::SocketRef state = Use(s);
    if (!state)
        return SOCKET_ERROR;
    if (code == SIO_ADDRESS_LIST_CHANGE)
        return vxp::RequestAddressListChange(s, *state, overlapped, routine);
    static const GUID kConnectEx = WSAID_CONNECTEX;
    if (code != SIO_GET_EXTENSION_FUNCTION_POINTER || overlapped || routine)
        return Fail(WSAEINVAL);
    if (!in || inLength < sizeof(GUID) || std::memcmp(in, &kConnectEx, sizeof(GUID)) != 0)
        return Fail(WSAEINVAL);
    if (!out || outLength < sizeof(LPFN_CONNECTEX) || !bytesReturned)
        return Fail(WSAEFAULT);
    const LPFN_CONNECTEX function = &ConnectExImpl;
    std::memcpy(out, &function, sizeof(function));
    *bytesReturned = sizeof(function);
    WSASetLastError(0);
    return 0;
}

BOOL SetFileCompletionNotificationModes(HANDLE file, UCHAR flags) {
    vxp::SocketRef state = vxp::FindSocket(static_cast<SOCKET>(reinterpret_cast<uintptr_t>(file)));
    if (!state) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(state->lock);
    state->skipOnSuccess = (flags & FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != 0;
    return TRUE;
}

BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
    vxp::SocketRef state = vxp::FindSocket(static_cast<SOCKET>(reinterpret_cast<uintptr_t>(file)));
    if (!state) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool found = false;
    std::lock_guard<std::mutex> guard(state->lock);
    for (std::deque<vxp::PendingOp>* queue : {&state->reads, &state->writes}) {
        for (auto it = queue->begin(); it != queue->end();) {
            if (overlapped && it->overlapped != overlapped) {
                ++it;
                continue;
            }
            vxp::CompleteOperation(*state, *it, it->done, ERROR_OPERATION_ABORTED);
            it = queue->erase(it);
            found = true;
        }
    }
    if (!found) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}
