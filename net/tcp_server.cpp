// tcp_server.cpp: the TCP listener and its accept thread.
#include "VexloTool/TcpServer.h"

#include "core/callback_marshal.h"
#include "core/scoped_lock.h"
#include "core/thread_helpers.h"

namespace VexloTool {

namespace {

const LONG kNoSocket = static_cast<LONG>(INVALID_SOCKET);

SOCKET AsSocket(LONG bits) {
    return static_cast<SOCKET>(static_cast<unsigned int>(bits));
}

}  // namespace

CTcpServer::CTcpServer(void* slots)
    : onAccept(new TcpServerSignal), onError(new TcpServerSignal), m_socket(kNoSocket) {
    const tagTcpServerSlots* given = static_cast<const tagTcpServerSlots*>(slots);
    if (given && given->onAccept)
        onAccept->connect(*given->onAccept);
    if (given && given->onError)
        onError->connect(*given->onError);
}

CTcpServer::~CTcpServer() {
    // The owner stops first; an accept thread that ended by itself is only
    // left to close its handle.
    if (m_thread && WaitForSingleObject(m_thread, 0) == WAIT_OBJECT_0)
        CloseHandle(m_thread);
}

bool CTcpServer::init() {
    const SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    InterlockedExchange(&m_socket, static_cast<LONG>(static_cast<unsigned int>(sock)));
    if (sock == INVALID_SOCKET)
        nofityerror();
    return sock != INVALID_SOCKET;
}

void CTcpServer::uninit() {
    stop();
}

bool CTcpServer::bind(const char* ip, short port) {
    const LONG bits = InterlockedRead(&m_socket);
    if (bits == kNoSocket)
        return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = inet_addr(ip ? ip : "");
    const sockaddr* name = reinterpret_cast<const sockaddr*>(&address);
    if (::bind(AsSocket(bits), name, sizeof(address)) == 0)
        return true;
    if (WSAGetLastError() != WSAEADDRINUSE)
        return false;
    const int reuse = 1;
    setsockopt(AsSocket(bits), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof(reuse));
    return ::bind(AsSocket(bits), name, sizeof(address)) == 0;
}

bool CTcpServer::listen(int) {
    const LONG bits = InterlockedRead(&m_socket);
    if (bits == kNoSocket)
        return false;
    if (::listen(AsSocket(bits), SOMAXCONN) != 0)
        return false;
    // An accept thread that ended by itself (accept failed) gives way.
    if (m_thread && WaitForSingleObject(m_thread, 0) == WAIT_OBJECT_0) {
        CloseHandle(m_thread);
        m_thread = nullptr;
        m_threadId = 0;
    }
    if (!m_thread) {
        m_thread = CreateThread(nullptr, 0, &AcceptProc, this, 0, &m_threadId);
        if (m_thread)
            SetThreadName(m_threadId, "accept");
        else
            m_threadId = 0;
    }
    return true;
}

bool CTcpServer::stop() {
    const LONG bits = InterlockedExchange(&m_socket, kNoSocket);
    const DWORD threadId = m_threadId;
    HANDLE thread = m_thread;
    m_threadId = 0;
    m_thread = nullptr;
    if (bits != kNoSocket)
        closesocket(AsSocket(bits));  // a thread blocked in accept returns
    if (threadId) {
        PostThreadMessageW(threadId, WM_QUIT, 0, 0);
        if (WaitForSingleObject(thread, kStopBoundMs) != WAIT_OBJECT_0)
            TerminateThread(thread, 0);
    }
    if (thread)
        CloseHandle(thread);
    return true;
}

unsigned int CTcpServer::getsock() const {
    return static_cast<unsigned int>(
        InterlockedCompareExchange(const_cast<volatile LONG*>(&m_socket), 0, 0));
}

void CTcpServer::nofityerror() {
    const int error = WSAGetLastError();
    if (onError && error != 0)
        PostEvent(onError, static_cast<unsigned int>(error));
}

DWORD WINAPI CTcpServer::AcceptProc(void* server) {
    CTcpServer* self = static_cast<CTcpServer*>(server);
    const SOCKET listening = AsSocket(InterlockedRead(&self->m_socket));
    const boost::shared_ptr<TcpServerSignal> accepted = self->onAccept;
    sockaddr_in address = {};
    int length = sizeof(address);
    for (;;) {
        MSG msg;
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE) && msg.message == WM_QUIT)
            return 0;
        length = sizeof(address);
        const SOCKET sock = ::accept(listening, reinterpret_cast<sockaddr*>(&address), &length);
        if (sock == INVALID_SOCKET) {
            // The listening socket broke (or stop closed it): close it if
            // it is still ours and end at once; stop or listen closes the
            // thread's handle later.
            const LONG bits =
                InterlockedCompareExchange(&self->m_socket, kNoSocket,
                                           static_cast<LONG>(static_cast<unsigned int>(listening)));
            if (bits == static_cast<LONG>(static_cast<unsigned int>(listening)))
                closesocket(listening);
            return 0;
        }
        if (accepted)
            PostEvent(accepted, static_cast<unsigned int>(sock));
    }
}

}  // namespace VexloTool
