// complete_port_controller.cpp: the completion-port socket controller, its
// workers and the receive path.
#include "VexloTool/CompletePortController.h"

#include <cstring>

#include "core/callback_marshal.h"
#include "core/scoped_lock.h"
#include "core/thread_helpers.h"

namespace VexloTool {

namespace {

// How long uninit waits for the cancelled operations to hand back their records.
constexpr DWORD kReclaimBoundMs = 3000;

SOCKET AsSocket(unsigned int sock) {
    return static_cast<SOCKET>(sock);
}

HANDLE AsHandle(unsigned int sock) {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(sock));
}

int WorkerCount() {
    SYSTEM_INFO info = {};
    GetSystemInfo(&info);
    return 2 * static_cast<int>(info.dwNumberOfProcessors) + 2;
}

// Copies of an entry's four signals: they keep the signals alive while a
// worker uses them, also after the entry has left the table.
tagSocketSignals CopySignals(const tagSocketSignals& entry) {
    tagSocketSignals copy;
    copy.onRecv = entry.onRecv;
    copy.onSent = entry.onSent;
    copy.onClose = entry.onClose;
    copy.onConnect = entry.onConnect;
    return copy;
}

}  // namespace

// Holds the controller lock (when asked to). Leaving the outermost level
// destroys the entries erased meanwhile after the lock is released, so the
// host's slots and their captures are never destroyed under it.
class CCompletePortController::Guard {
public:
    Guard(CCompletePortController& owner, bool take) : owner_(owner), take_(take) {
        if (!take_)
            return;
        EnterCriticalSection(&owner_.m_lock);
        ++owner_.m_lockDepth;
    }
    ~Guard() {
        if (!take_)
            return;
        std::vector<tagSocketSignals> dropped;
        if (--owner_.m_lockDepth == 0)
            dropped.swap(owner_.m_dropped);
        LeaveCriticalSection(&owner_.m_lock);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    CCompletePortController& owner_;
    const bool take_;
};

CCompletePortController::CCompletePortController() {
    InitializeCriticalSectionAndSpinCount(&m_lock, kLockSpinCount);
}

CCompletePortController::~CCompletePortController() {
    DeleteCriticalSection(&m_lock);
}

bool CCompletePortController::init() {
    if (m_port)
        return true;
    m_port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    const int count = WorkerCount();
    m_threads.resize(count);
    for (int i = 0; i < count; ++i) {
        DWORD id = 0;
        m_threads[i] = CreateThread(nullptr, 0, &WorkThreadProc, this, 0, &id);
        if (m_threads[i])
            SetThreadName(id, "tcpImpl");
    }
    return true;
}

void CCompletePortController::uninit() {
    if (!m_port)
        return;
    for (size_t i = 0; i < m_threads.size(); ++i)
        PostQueuedCompletionStatus(m_port, 0, 0, nullptr);
    for (HANDLE thread : m_threads) {
        StopThreadBounded(thread);
        if (thread)
            CloseHandle(thread);
    }
    m_threads.clear();
    ReclaimInFlight();
    CloseHandle(m_port);
    std::map<unsigned int, tagSocketSignals> table;
    {
        Guard guard(*this, true);
        m_port = nullptr;
        table.swap(m_sockets);
        while (!m_sends.empty())
            DropSends(m_sends.begin()->first);
    }
}

// The workers are gone; operations still in flight would write into their
// records later. Cancel them and take each record back from the port.
void CCompletePortController::ReclaimInFlight() {
    Guard guard(*this, true);
    for (const auto& operation : m_inFlight)
        CancelIoEx(AsHandle(operation.second), &operation.first->overlapped);
    const DWORD start = GetTickCount();
    while (!m_inFlight.empty() && GetTickCount() - start < kReclaimBoundMs) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = nullptr;
        GetQueuedCompletionStatus(m_port, &bytes, &key, &overlapped, 100);
        if (overlapped)
            FreeContext(reinterpret_cast<tagIoContext*>(overlapped));
    }
}

tagIoContext* CCompletePortController::NewContext(int operation) {
    tagIoContext* context = new tagIoContext();
    context->addressLength = sizeof(sockaddr_in);
    context->operation = operation;
    return context;
}

void CCompletePortController::FreeContext(tagIoContext* context) {
    m_inFlight.erase(context);
    delete context;
}

void CCompletePortController::addsocket(unsigned int sock, void* slots) {
    if (!m_port || !slots)
        return;
    const tagSocketSlots& given = *static_cast<const tagSocketSlots*>(slots);
    bool added = false;
    {
        Guard guard(*this, true);
        CreateIoCompletionPort(AsHandle(sock), m_port, static_cast<ULONG_PTR>(sock), 0);
        tagSocketSignals entry;
        entry.onRecv.reset(new SocketRecvSignal);
        entry.onSent.reset(new SocketSentSignal);
        entry.onClose.reset(new SocketCloseSignal);
        entry.onConnect.reset(new SocketConnectSignal);
        if (given.onRecv)
            entry.onRecv->connect(*given.onRecv);
        if (given.onSent)
            entry.onSent->connect(*given.onSent);
        if (given.onClose)
            entry.onClose->connect(*given.onClose);
        if (given.onConnect)
            entry.onConnect->connect(*given.onConnect);
        added = m_sockets.find(sock) == m_sockets.end();
        if (added)
            m_sockets.emplace(sock, std::move(entry));
        else
            m_dropped.push_back(std::move(entry));
    }
    // A second registration must not start a second receive: two receives
    // in flight could hand chunks over out of order.
    if (!added)
        return;
    sockaddr_in peer = {};
    int length = sizeof(peer);
    if (getpeername(AsSocket(sock), reinterpret_cast<sockaddr*>(&peer), &length) == 0)
        recv(sock, true);
}

void CCompletePortController::removesocket(unsigned int sock) {
    if (!m_port)
        return;
    Guard guard(*this, true);
    Erase(sock);
}

void CCompletePortController::removeall() {
    if (!m_port)
        return;
    Guard guard(*this, true);
    while (!m_sockets.empty())
        Erase(m_sockets.begin()->first);
}

int CCompletePortController::socketnum() {
    if (!m_port)
        return 0;
    Guard guard(*this, true);
    return static_cast<int>(m_sockets.size());
}

// Under the lock: the entry leaves the table; its signals are destroyed
// once the lock is released.
void CCompletePortController::Erase(unsigned int sock) {
    auto it = m_sockets.find(sock);
    if (it == m_sockets.end())
        return;
    m_dropped.push_back(std::move(it->second));
    m_sockets.erase(it);
}

// Under the lock: the socket failed; its waiting sends are freed. The first
// record of a batch in flight belongs to its completion (or to uninit).
void CCompletePortController::DropSends(unsigned int sock) {
    auto it = m_sends.find(sock);
    if (it == m_sends.end())
        return;
    tagSendQueue& sends = it->second;
    for (size_t i = sends.sending ? 1 : 0; i < sends.batch.size(); ++i)
        delete sends.batch[i];
    for (tagIoContext* context : sends.waiting)
        delete context;
    m_sends.erase(it);
}

// Under the lock: the start-failure rule.
bool CCompletePortController::StartFailed(unsigned int sock, tagIoContext* context, DWORD error) {
    FreeContext(context);
    DropSends(sock);
    auto it = m_sockets.find(sock);
    if (it != m_sockets.end()) {
        PostEvent(it->second.onClose, static_cast<unsigned int>(error));
        Erase(sock);
    }
    return false;
}

bool CCompletePortController::connectto(unsigned int sock, const char* ip, short port) {
    if (!m_port)
        return false;
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = 0;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(AsSocket(sock), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        const DWORD error = static_cast<DWORD>(WSAGetLastError());
        Guard guard(*this, true);
        auto it = m_sockets.find(sock);
        if (it != m_sockets.end()) {
            PostEvent(it->second.onClose, static_cast<unsigned int>(error));
            Erase(sock);
        }
        return false;
    }
    Guard guard(*this, true);
    if (m_sockets.find(sock) == m_sockets.end())
        return false;
    GUID guid = WSAID_CONNECTEX;
    LPFN_CONNECTEX connectEx = nullptr;
    DWORD returned = 0;
    if (WSAIoctl(AsSocket(sock), SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof(guid),
                 &connectEx, sizeof(connectEx), &returned, nullptr, nullptr) == SOCKET_ERROR)
        return false;
    tagIoContext* context = NewContext(IO_CONNECT);
    context->address.sin_family = AF_INET;
    context->address.sin_addr.s_addr = inet_addr(ip ? ip : "");
    context->address.sin_port = htons(static_cast<u_short>(port));
    m_inFlight[context] = sock;
    if (!connectEx(AsSocket(sock), reinterpret_cast<sockaddr*>(&context->address),
                   sizeof(sockaddr_in), nullptr, 0, nullptr, &context->overlapped)) {
        const int error = WSAGetLastError();
        if (error != WSA_IO_PENDING)
            return StartFailed(sock, context, static_cast<DWORD>(error));
    }
    return true;
}

bool CCompletePortController::send(unsigned int sock, const char* data, unsigned int len,
                                   bool lock) {
    if (!m_port)
        return false;
    return sendto(sock, nullptr, 0, data, len, lock);
}

bool CCompletePortController::sendto(unsigned int sock, sockaddr* to, int, const char* data,
                                     unsigned int len, bool lock) {
    if (!m_port || (len && !data))
        return false;
    Guard guard(*this, lock);
    auto it = m_sockets.find(sock);
    if (it == m_sockets.end())
        return false;
    tagIoContext* context = NewContext(IO_SEND);
    context->data.assign(data ? data : "", len);
    context->buffer.len = static_cast<ULONG>(context->data.size());
    context->buffer.buf = &context->data[0];
    if (to) {
        std::memcpy(&context->address, to, sizeof(sockaddr_in));
        context->addressLength = sizeof(sockaddr_in);
    }
    m_sends[sock].waiting.push_back(context);
    return StartSends(sock);
}

// Under the lock: unless a batch is in flight, gathers every waiting send
// into one. Zero-length sends complete in turn without touching the socket.
bool CCompletePortController::StartSends(unsigned int sock) {
    auto queue = m_sends.find(sock);
    if (queue == m_sends.end())
        return true;
    tagSendQueue& sends = queue->second;
    if (sends.sending)
        return true;
    while (!sends.waiting.empty()) {
        sends.batch.push_back(sends.waiting.front());
        sends.waiting.pop_front();
    }
    size_t bytes = 0;
    for (tagIoContext* context : sends.batch)
        bytes += context->buffer.len;
    if (bytes > 0)
        return IssueBatch(sock, sends);
    auto entry = m_sockets.find(sock);
    for (tagIoContext* context : sends.batch) {
        if (entry != m_sockets.end())
            PostEvent(entry->second.onSent);
        delete context;
    }
    m_sends.erase(queue);
    return true;
}

// Under the lock: hands the remaining bytes of the batch to one WSASend;
// zero-length records at its front have completed already.
bool CCompletePortController::IssueBatch(unsigned int sock, tagSendQueue& sends) {
    sends.buffers.clear();
    for (tagIoContext* context : sends.batch) {
        if (context->buffer.len > 0)
            sends.buffers.push_back(context->buffer);
    }
    tagIoContext* lead = sends.batch.front();
    std::memset(&lead->overlapped, 0, sizeof(lead->overlapped));
    lead->transferred = 0;
    sends.sending = true;
    m_inFlight[lead] = sock;
    if (WSASend(AsSocket(sock), sends.buffers.data(), static_cast<DWORD>(sends.buffers.size()),
                &lead->transferred, 0, &lead->overlapped, nullptr) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error != WSA_IO_PENDING)
            return StartFailed(sock, lead, static_cast<DWORD>(error));
    }
    return true;
}

bool CCompletePortController::recv(unsigned int sock, bool lock) {
    if (!m_port)
        return false;
    Guard guard(*this, lock);
    if (m_sockets.find(sock) == m_sockets.end())
        return false;
    tagIoContext* context = NewContext(IO_RECV);
    context->data.assign(kRecvSize, '\0');
    context->buffer.len = kRecvSize;
    context->buffer.buf = &context->data[0];
    m_inFlight[context] = sock;
    if (WSARecv(AsSocket(sock), &context->buffer, 1, &context->transferred, &context->flags,
                &context->overlapped, nullptr) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error != WSA_IO_PENDING)
            return StartFailed(sock, context, static_cast<DWORD>(error));
    }
    return true;
}

DWORD WINAPI CCompletePortController::WorkThreadProc(void* controller) {
    auto* self = static_cast<CCompletePortController*>(controller);
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = nullptr;
        const BOOL ok =
            GetQueuedCompletionStatus(self->m_port, &bytes, &key, &overlapped, INFINITE);
        const DWORD error = static_cast<DWORD>(WSAGetLastError());
        if (!overlapped || key == 0)
            return 0;
        const unsigned int sock = static_cast<unsigned int>(key);
        tagSocketSignals signals;
        {
            Guard guard(*self, true);
            auto it = self->m_sockets.find(sock);
            if (it != self->m_sockets.end())
                signals = CopySignals(it->second);
            self->HandleCompletion(ok, bytes, sock, reinterpret_cast<tagIoContext*>(overlapped),
                                   error, signals);
        }
    }
}

// Under the lock: the completion rules, in order. Frees the record.
void CCompletePortController::HandleCompletion(BOOL ok, DWORD bytes, unsigned int sock,
                                               tagIoContext* context, DWORD error,
                                               const tagSocketSignals& signals) {
    const int operation = context->operation;
    if (operation == IO_SEND && ok && bytes > 0) {
        HandleSent(sock, context, bytes, signals);
        return;
    }
    if (!ok) {
        DropSends(sock);
        Erase(sock);
        if (signals.onClose)
            PostEvent(signals.onClose,
                      static_cast<unsigned int>(error ? error : ERROR_GEN_FAILURE));
    } else if (bytes == 0 && operation == IO_CONNECT) {
        // No onConnect after an onClose: only a started receive announces it.
        if (recv(sock, false) && signals.onConnect)
            PostEvent(signals.onConnect, sock);
    } else if (bytes == 0) {
        Erase(sock);
        if (signals.onClose)
            PostEvent(signals.onClose, 0u);
    } else if (operation == IO_RECV) {
        if (signals.onRecv)
            PostEvent(signals.onRecv, CopyPayload(context->data.data(), bytes));
        recv(sock, false);
    }
    FreeContext(context);
}

// Under the lock: a batch completed with some bytes. Sends that went out
// whole get their onSent in order; the rest goes again before any later
// send, so the byte stream keeps the order of the calls.
void CCompletePortController::HandleSent(unsigned int sock, tagIoContext* context, DWORD bytes,
                                         const tagSocketSignals& signals) {
    m_inFlight.erase(context);
    auto queue = m_sends.find(sock);
    if (queue == m_sends.end() || queue->second.batch.empty() ||
        queue->second.batch.front() != context) {
        delete context;  // its queue was dropped meanwhile
        return;
    }
    tagSendQueue& sends = queue->second;
    while (!sends.batch.empty()) {
        tagIoContext* front = sends.batch.front();
        const DWORD step = bytes < front->buffer.len ? bytes : front->buffer.len;
        front->buffer.buf += step;
        front->buffer.len -= step;
        bytes -= step;
        if (front->buffer.len > 0)
            break;
        sends.batch.pop_front();
        delete front;
        if (signals.onSent)
            PostEvent(signals.onSent);
    }
    sends.sending = false;
    if (!sends.batch.empty() && m_port) {
        IssueBatch(sock, sends);
        return;
    }
    StartSends(sock);
}

}  // namespace VexloTool
