// complete_port_controller.cpp: the completion-port socket controller, its
// workers and the receive path.
#include "VexloTool/CompletePortController.h"

#include <cstring>
#include <memory>

#include "core/callback_marshal.h"
#include "core/scoped_lock.h"
#include "core/thread_helpers.h"

namespace VexloTool {

namespace {

// Receives done at once that one worker handles in a row for one socket.
constexpr int kCompletionsInARow = 16;
// How long uninit waits for the cancelled operations to hand back their records.
constexpr DWORD kReclaimBoundMs = 3000;
// The controller lock is held across socket system calls and posts, far
// longer than a spin can bridge: spinning waiters only take the processor
// from the holder.
constexpr DWORD kControllerSpinCount = 200;

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

// A signal worth posting to: one with a slot. The slots of a socket are
// fixed when it is registered, so an empty signal stays empty.
template <class Signal>
bool Wanted(const boost::shared_ptr<Signal>& signal) {
    return signal && !signal->empty();
}

}  // namespace

// Buffers of finished records, reused by the next ones: allocating and
// freeing 32-64 KiB per chunk across threads makes the allocator return and
// fault in pages for every chunk. Receive buffers are kept apart, all of
// the receive size, so that reusing one neither grows nor clears it. Its
// lock is a leaf.
class CBufferPool {
public:
    enum Kind { kReceive = 0, kSend = 1 };

    CBufferPool() { InitializeCriticalSectionAndSpinCount(&m_lock, kLockSpinCount); }
    ~CBufferPool() { DeleteCriticalSection(&m_lock); }
    CBufferPool(const CBufferPool&) = delete;
    CBufferPool& operator=(const CBufferPool&) = delete;

    // A buffer of any size and content, empty when none is kept.
    std::string Take(Kind kind) {
        std::string buffer;
        ScopedLock guard(m_lock);
        std::vector<std::string>& free = m_free[kind];
        if (!free.empty()) {
            buffer.swap(free.back());
            free.pop_back();
            m_bytes -= buffer.capacity();
        }
        return buffer;
    }
    // Keeps the buffer unless it is small, very large or the pool is full;
    // a buffer not kept is freed after the lock is left.
    void Give(Kind kind, std::string& buffer) {
        const size_t capacity = buffer.capacity();
        if (capacity < kMinBytes || capacity > kMaxBufferBytes)
            return;
        if (kind == kReceive && buffer.size() != CCompletePortController::kRecvSize)
            return;
        ScopedLock guard(m_lock);
        if (m_bytes + capacity > kMaxPoolBytes)
            return;
        m_free[kind].emplace_back();
        m_free[kind].back().swap(buffer);
        m_bytes += capacity;
    }
    void Clear() {
        std::vector<std::string> receives, sends;
        ScopedLock guard(m_lock);
        receives.swap(m_free[kReceive]);
        sends.swap(m_free[kSend]);
        m_bytes = 0;
    }

private:
    static constexpr size_t kMinBytes = 4096;
    static constexpr size_t kMaxBufferBytes = 256 * 1024;
    static constexpr size_t kMaxPoolBytes = 4 * 1024 * 1024;

    CRITICAL_SECTION m_lock;
    std::vector<std::string> m_free[2];
    size_t m_bytes = 0;  // capacity of both lists
};

// A received chunk on its way to the window thread: the receive record's
// own buffer, handed over instead of copied, and returned to the pool once
// the last copy of the posted call is released.
struct tagRecvPayload {
    tagRecvPayload(const std::shared_ptr<CBufferPool>& owner, std::string& buffer, DWORD bytes)
        : pool(owner), length(bytes) {
        data.swap(buffer);
    }
    ~tagRecvPayload() { pool->Give(CBufferPool::kReceive, data); }
    tagRecvPayload(const tagRecvPayload&) = delete;
    tagRecvPayload& operator=(const tagRecvPayload&) = delete;

    std::shared_ptr<CBufferPool> pool;
    std::string data;
    unsigned int length;
};

namespace {

// Posts the peer's orderly close; the record is marked once the host's
// slots have run (also when one of them throws).
void PostPeerClose(const boost::shared_ptr<SocketCloseSignal>& signal,
                   const std::shared_ptr<std::atomic<bool>>& closeRun) {
    CFuncDispatch::Dispatch(CFuncDispatch::Slot([signal, closeRun] {
        struct MarkRun {
            std::atomic<bool>& flag;
            ~MarkRun() { flag.store(true); }
        } mark{*closeRun};
        (*signal)(0u);
    }));
}

bool CloseHasRun(const tagPeerClosed& closed) {
    return closed.closeRun->load() || closed.closeRun.use_count() == 1;
}

// Posts a received chunk like PostEvent would, without copying its bytes:
// the call owns the buffer, so the worker's record no longer points to it.
void PostReceived(const boost::shared_ptr<SocketRecvSignal>& signal,
                  const std::shared_ptr<tagRecvPayload>& payload) {
    CFuncDispatch::Dispatch(CFuncDispatch::Slot(
        [signal, payload] { (*signal)(payload->data.data(), payload->length); }));
}

}  // namespace

// Holds the controller lock (when asked to). Leaving the outermost level
// destroys the entries erased and the records finished meanwhile after the
// lock is released, so the host's slots and their captures are never
// destroyed under it, nor buffers freed there.
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
        std::vector<tagIoContext*> released;
        if (--owner_.m_lockDepth == 0) {
            dropped.swap(owner_.m_dropped);
            released.swap(owner_.m_released);
        }
        LeaveCriticalSection(&owner_.m_lock);
        owner_.Recycle(released);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    CCompletePortController& owner_;
    const bool take_;
};

CCompletePortController::CCompletePortController() : m_buffers(new CBufferPool) {
    InitializeCriticalSectionAndSpinCount(&m_lock, kControllerSpinCount);
}

CCompletePortController::~CCompletePortController() {
    Recycle(m_released);  // left by unlocked sends
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
    std::map<unsigned int, tagPeerClosed> closed;
    {
        Guard guard(*this, true);
        m_port = nullptr;
        table.swap(m_sockets);
        closed.swap(m_peerClosed);
        while (!m_sends.empty())
            DropSends(m_sends.begin()->first);
    }
    m_buffers->Clear();
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

// Receive records take a buffer from the pool; sends fill theirs before
// they are queued.
tagIoContext* CCompletePortController::NewContext(int operation) {
    tagIoContext* context = new tagIoContext();
    context->addressLength = sizeof(sockaddr_in);
    context->operation = operation;
    if (operation == IO_RECV) {
        context->data = m_buffers->Take(CBufferPool::kReceive);
        context->data.resize(kRecvSize);  // grows only a new buffer
    }
    return context;
}

void CCompletePortController::FreeContext(tagIoContext* context) {
    m_inFlight.erase(context);
    Release(context);
}

// Under the lock: the record is finished; it is destroyed, and its buffer
// goes back to the pool, once the lock is released.
void CCompletePortController::Release(tagIoContext* context) {
    m_released.push_back(context);
}

void CCompletePortController::Recycle(std::vector<tagIoContext*>& released) {
    for (tagIoContext* context : released) {
        m_buffers->Give(context->operation == IO_RECV ? CBufferPool::kReceive : CBufferPool::kSend,
                        context->data);
        delete context;
    }
    released.clear();
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
        if (added) {
            Erase(sock);  // a record left by an earlier socket of that number
            m_sockets.emplace(sock, std::move(entry));
            // Operations that finish within their call are then handled by
            // the caller, without waking a worker for a packet.
            if (SetFileCompletionNotificationModes(AsHandle(sock),
                                                   FILE_SKIP_COMPLETION_PORT_ON_SUCCESS))
                m_skipping.insert(sock);
            else
                m_skipping.erase(sock);
        } else {
            m_dropped.push_back(std::move(entry));
        }
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
    while (!m_peerClosed.empty())
        Erase(m_peerClosed.begin()->first);
}

int CCompletePortController::socketnum() {
    if (!m_port)
        return 0;
    Guard guard(*this, true);
    return static_cast<int>(m_sockets.size());
}

// Under the lock: the entry leaves the table, and a socket whose peer
// closed its record; their signals are destroyed once the lock is released.
void CCompletePortController::Erase(unsigned int sock) {
    auto it = m_sockets.find(sock);
    if (it != m_sockets.end()) {
        m_dropped.push_back(std::move(it->second));
        m_sockets.erase(it);
    }
    auto closed = m_peerClosed.find(sock);
    if (closed != m_peerClosed.end()) {
        m_dropped.emplace_back();
        m_dropped.back().onSent.swap(closed->second.onSent);
        m_peerClosed.erase(closed);
    }
}

// Under the lock: the peer closed its side. The socket leaves the table and
// keeps only its onSent, for the replies the host may still make before its
// onClose has run. The close is posted even without a slot: its run marks
// the end of those replies.
void CCompletePortController::PeerClosed(unsigned int sock, const tagSocketSignals& signals) {
    Erase(sock);
    SweepPeerClosed();
    tagPeerClosed& closed = m_peerClosed[sock];
    closed.onSent = signals.onSent;
    closed.closeRun = std::make_shared<std::atomic<bool>>(false);
    PostPeerClose(signals.onClose ? signals.onClose
                                  : boost::shared_ptr<SocketCloseSignal>(new SocketCloseSignal),
                  closed.closeRun);
}

// Under the lock: forgets the sockets whose peer closed, whose onClose has
// run and whose sends are all out.
void CCompletePortController::SweepPeerClosed() {
    for (auto it = m_peerClosed.begin(); it != m_peerClosed.end();) {
        const auto current = it++;
        if (CloseHasRun(current->second) && m_sends.find(current->first) == m_sends.end())
            Erase(current->first);
    }
}

// Under the lock: whether the socket's operations that succeed at once come
// back to their starter instead of as packets.
bool CCompletePortController::SkipsPackets(unsigned int sock) const {
    return m_skipping.find(sock) != m_skipping.end();
}

// Under the lock: registered, or closed by the peer with its onClose not
// yet run.
bool CCompletePortController::TakesSends(unsigned int sock) {
    if (m_sockets.find(sock) != m_sockets.end())
        return true;
    auto closed = m_peerClosed.find(sock);
    return closed != m_peerClosed.end() && !CloseHasRun(closed->second);
}

// Under the lock: the signals a completion of the socket reports to; only
// onSent for a socket whose peer closed, none for one that left the table.
tagSocketSignals CCompletePortController::SignalsOf(unsigned int sock) const {
    tagSocketSignals signals;
    auto it = m_sockets.find(sock);
    if (it != m_sockets.end())
        return CopySignals(it->second);
    auto closed = m_peerClosed.find(sock);
    if (closed != m_peerClosed.end())
        signals.onSent = closed->second.onSent;
    return signals;
}

// Under the lock: the socket failed; its waiting sends are freed. The first
// record of a batch in flight belongs to its completion (or to uninit).
void CCompletePortController::DropSends(unsigned int sock) {
    auto it = m_sends.find(sock);
    if (it == m_sends.end())
        return;
    tagSendQueue& sends = it->second;
    for (size_t i = sends.sending ? 1 : 0; i < sends.batch.size(); ++i)
        Release(sends.batch[i]);
    for (tagIoContext* context : sends.waiting)
        Release(context);
    m_sends.erase(it);
}

// Under the lock: the start-failure rule.
bool CCompletePortController::StartFailed(unsigned int sock, tagIoContext* context, DWORD error) {
    FreeContext(context);
    DropSends(sock);
    auto it = m_sockets.find(sock);
    if (it != m_sockets.end() && Wanted(it->second.onClose))
        PostEvent(it->second.onClose, static_cast<unsigned int>(error));
    Erase(sock);  // a socket whose peer closed has had its one onClose
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
            if (Wanted(it->second.onClose))
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
    } else if (SkipsPackets(sock)) {
        HandleCompletion(TRUE, 0, sock, context, 0, SignalsOf(sock), nullptr);
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
    // The bytes are copied before the lock is taken; a record refused is
    // freed after it is released.
    std::unique_ptr<tagIoContext> context(new tagIoContext());
    context->operation = IO_SEND;
    context->addressLength = sizeof(sockaddr_in);
    if (len) {
        context->data = m_buffers->Take(CBufferPool::kSend);
        context->data.assign(data, len);
    }
    context->buffer.len = static_cast<ULONG>(context->data.size());
    context->buffer.buf = &context->data[0];
    if (to)
        std::memcpy(&context->address, to, sizeof(sockaddr_in));
    Guard guard(*this, lock);
    if (!TakesSends(sock))
        return false;
    m_sends[sock].waiting.push_back(context.release());
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
        if (entry != m_sockets.end() && Wanted(entry->second.onSent))
            PostEvent(entry->second.onSent);
        Release(context);
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
    DWORD sent = 0;
    if (WSASend(AsSocket(sock), sends.buffers.data(), static_cast<DWORD>(sends.buffers.size()),
                &sent, 0, &lead->overlapped, nullptr) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error != WSA_IO_PENDING)
            return StartFailed(sock, lead, static_cast<DWORD>(error));
        return true;
    }
    return SkipsPackets(sock) ? SentAtOnce(sock, lead, sent) : true;
}

// Under the lock: the batch went out within WSASend, which queued no packet;
// it completes here as a worker would complete it.
bool CCompletePortController::SentAtOnce(unsigned int sock, tagIoContext* lead, DWORD bytes) {
    if (bytes == 0)
        return StartFailed(sock, lead, ERROR_GEN_FAILURE);
    lead->transferred = bytes;
    HandleSent(sock, lead, bytes, SignalsOf(sock));
    return true;
}

bool CCompletePortController::recv(unsigned int sock, bool lock) {
    if (!m_port)
        return false;
    Guard guard(*this, lock);
    tagIoContext* context = PrepareRecv(sock);
    if (!context)
        return false;
    DWORD received = 0;
    switch (StartRecv(sock, context, true, SkipsPackets(sock), received)) {
        case kRecvFailed:
            return false;
        case kRecvDone:
            HandOver(sock, context, received);  // a worker handles it, not this caller
            return true;
        case kRecvPending:
            break;
    }
    return true;
}

// A receive done at once goes to the workers as the packet it did not get.
void CCompletePortController::HandOver(unsigned int sock, tagIoContext* context, DWORD bytes) {
    PostQueuedCompletionStatus(m_port, bytes, static_cast<ULONG_PTR>(sock), &context->overlapped);
}

// Under the lock: a receive record for the socket, already counted in
// flight; null when the socket has left the table.
tagIoContext* CCompletePortController::PrepareRecv(unsigned int sock) {
    if (m_sockets.find(sock) == m_sockets.end())
        return nullptr;
    tagIoContext* context = NewContext(IO_RECV);
    context->buffer.len = kRecvSize;
    context->buffer.buf = &context->data[0];
    m_inFlight[context] = sock;
    return context;
}

// Hands a prepared receive to Winsock. Without the lock (locked false) the
// lock is taken only when the start failed: until then the record is the
// caller's, and a socket that failed meanwhile is handled by its own rules.
// Once started, the record belongs to its completion, which another worker
// may handle and free before the call returns: the call's out-arguments are
// therefore not in the record. Done (received holds the count) only for a
// socket that skips the packets of operations done at once (skips): the
// record then stays the caller's.
CCompletePortController::RecvStart CCompletePortController::StartRecv(unsigned int sock,
                                                                      tagIoContext* context,
                                                                      bool locked, bool skips,
                                                                      DWORD& received) {
    received = 0;
    DWORD flags = 0;
    if (WSARecv(AsSocket(sock), &context->buffer, 1, &received, &flags, &context->overlapped,
                nullptr) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error == WSA_IO_PENDING)
            return kRecvPending;
        Guard guard(*this, !locked);
        StartFailed(sock, context, static_cast<DWORD>(error));
        return kRecvFailed;
    }
    return skips ? kRecvDone : kRecvPending;
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
        bool skips = false;
        tagIoContext* next = self->Complete(
            ok, bytes, sock, reinterpret_cast<tagIoContext*>(overlapped), error, skips);
        // The next receive of a stream goes out after the lock: its system
        // call copies up to a chunk, and other sockets need not wait for it.
        // Chunks that are there already are handled here, a few in a row,
        // before the stream goes back to the port for the other sockets.
        for (int inRow = 1; next; ++inRow) {
            DWORD received = 0;
            if (self->StartRecv(sock, next, false, skips, received) != kRecvDone)
                break;
            if (inRow == kCompletionsInARow) {
                self->HandOver(sock, next, received);
                break;
            }
            next = self->Complete(TRUE, received, sock, next, 0, skips);
        }
    }
}

// One completion of the socket: returns its next receive, prepared but not
// started, and whether it skips the packet when done at once.
tagIoContext* CCompletePortController::Complete(BOOL ok, DWORD bytes, unsigned int sock,
                                                tagIoContext* context, DWORD error,
                                                bool& nextSkips) {
    // The record is this thread's until it is handled: a received chunk
    // takes over its buffer before the lock is taken. Both are released
    // after the lock, like the signals.
    std::shared_ptr<tagRecvPayload> payload;
    if (ok && bytes > 0 && context->operation == IO_RECV)
        payload = std::make_shared<tagRecvPayload>(m_buffers, context->data, bytes);
    tagSocketSignals signals;
    Guard guard(*this, true);
    signals = SignalsOf(sock);
    tagIoContext* next = HandleCompletion(ok, bytes, sock, context, error, signals, payload);
    nextSkips = next && SkipsPackets(sock);
    return next;
}

// Under the lock: the completion rules, in order. Frees the record. After a
// received chunk, returns the socket's next receive, prepared but not
// started.
tagIoContext* CCompletePortController::HandleCompletion(
    BOOL ok, DWORD bytes, unsigned int sock, tagIoContext* context, DWORD error,
    const tagSocketSignals& signals, const std::shared_ptr<tagRecvPayload>& payload) {
    const int operation = context->operation;
    if (operation == IO_SEND && ok && bytes > 0) {
        HandleSent(sock, context, bytes, signals);
        return nullptr;
    }
    tagIoContext* next = nullptr;
    if (!ok) {
        DropSends(sock);
        Erase(sock);
        if (Wanted(signals.onClose))
            PostEvent(signals.onClose,
                      static_cast<unsigned int>(error ? error : ERROR_GEN_FAILURE));
    } else if (bytes == 0 && operation == IO_CONNECT) {
        // No onConnect after an onClose: only a started receive announces it.
        if (recv(sock, false) && Wanted(signals.onConnect))
            PostEvent(signals.onConnect, sock);
    } else if (bytes == 0) {
        if (m_sockets.find(sock) != m_sockets.end())
            PeerClosed(sock, signals);
    } else if (operation == IO_RECV) {
        if (Wanted(signals.onRecv))
            PostReceived(signals.onRecv, payload);
        next = PrepareRecv(sock);
    }
    FreeContext(context);
    return next;
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
        Release(context);  // its queue was dropped meanwhile
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
        Release(front);
        if (Wanted(signals.onSent))
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
