/// @file
/// CompletePortController.h: carries the traffic of many TCP sockets over one
/// I/O completion port and reports it to the host's window thread.
///
/// Threads: public operations from any thread; init and uninit by the owner
/// while no other thread uses the controller. Workers ("tcpImpl") take the
/// completions. Every notification runs on the window thread of CFuncDispatch.
/// Locks: one recursive controller lock, taken before the dispatcher's (events
/// are posted under it) and before the buffer pool's (a leaf); slots never run
/// under it, and signals dropped from the table and finished records are
/// destroyed only after it is released.
/// Sockets stay the host's: the controller never closes or shuts one down.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

#include "vxplatform.h"
#include "VexloTool/Export.h"

namespace VexloTool {

/// (chunk, length): one received chunk of at most kRecvSize bytes, valid
/// during the call.
typedef boost::signals2::signal<void(const char*, unsigned int)> SocketRecvSignal;
/// One send has gone out whole.
typedef boost::signals2::signal<void()> SocketSentSignal;
/// (error): the socket left the table; 0 after the peer's orderly close (also
/// a half-close), otherwise the Win32 error of the failed connect, send or
/// receive.
typedef boost::signals2::signal<void(unsigned int)> SocketCloseSignal;
/// (socket): the connect started by connectto completed; receiving has begun.
typedef boost::signals2::signal<void(unsigned int)> SocketConnectSignal;

struct tagIoContext;
class CBufferPool;
struct tagRecvPayload;

/// The four signals of one registered socket (the controller's own record).
struct tagSocketSignals {
    boost::shared_ptr<SocketRecvSignal> onRecv;        ///< each received chunk
    boost::shared_ptr<SocketSentSignal> onSent;        ///< a send has gone out whole
    boost::shared_ptr<SocketCloseSignal> onClose;      ///< left the table: 0 or the error
    boost::shared_ptr<SocketConnectSignal> onConnect;  ///< connectto completed; the socket
};

/// The sends of one socket, in call order: one batch in flight (one WSASend
/// gathering every send that waited; its first record carries the
/// OVERLAPPED), the others waiting for it. Accepted sends go out also after
/// the socket has left the table, unless the socket fails. The controller's
/// own record, guarded by its lock.
struct tagSendQueue {
    std::deque<tagIoContext*> waiting;  ///< sends queued behind the batch, oldest first
    std::deque<tagIoContext*> batch;    ///< the sends of the batch in flight, in order
    std::vector<WSABUF> buffers;        ///< the batch's non-empty buffers, as handed to WSASend
    bool sending = false;               ///< a batch is in flight
};

/// A socket whose peer has closed: it has left the table (onClose(0) is on
/// its way) and receives nothing more, but until the window thread has run
/// that onClose it still takes sends, so that the replies the host makes to
/// the last chunks, which reach it after the close was seen, go out and get
/// their onSent. The controller's own record, guarded by its lock.
struct tagPeerClosed {
    boost::shared_ptr<SocketSentSignal> onSent;
    /// Set once the posted onClose has run; the controller's reference is
    /// the only one left once the call was dropped unrun.
    std::shared_ptr<std::atomic<bool>> closeRun;
};

/// What addsocket reads: each member null or pointing to a slot of the
/// caller's, copied into the socket's signal during the call (the caller's
/// slots need not outlive it). A null member means no notification of that
/// kind.
struct tagSocketSlots {
    const SocketRecvSignal::slot_type* onRecv;        ///< each received chunk
    const SocketSentSignal::slot_type* onSent;        ///< a send has gone out whole
    const SocketCloseSignal::slot_type* onClose;      ///< left the table: 0 or the error
    const SocketConnectSignal::slot_type* onConnect;  ///< connectto completed; the socket
};

/// The kind of an overlapped operation (tagIoContext::operation): IO_SEND a
/// send (the first record of a batch carries the OVERLAPPED), IO_RECV a
/// receive of up to kRecvSize bytes, IO_CONNECT a connect started by
/// connectto.
enum EIoOperation { IO_SEND = 0, IO_RECV = 1, IO_CONNECT = 2 };

/// One overlapped operation; its address is the OVERLAPPED handed to Winsock.
/// The controller's own record: created and freed by it, never by the host.
struct tagIoContext {
    OVERLAPPED overlapped;  ///< first member: the record's address is the OVERLAPPED
    WSABUF buffer;          ///< length and start of the bytes still to go
    DWORD transferred;      ///< bytes of a send batch done within its call
    DWORD flags;            ///< unused: a receive keeps its out-arguments on its stack
    sockaddr_in address;    ///< connect: the peer; send: the destination given to sendto
    int addressLength;      ///< sizeof(sockaddr_in)
    int operation;          ///< EIoOperation
    std::string data;       ///< send: the copied bytes; receive: 32768 bytes
};

/// A table of registered sockets whose connects, sends and receives run as
/// overlapped operations on one completion port. A socket reports until it
/// leaves the table (onClose, removesocket, removeall, uninit), then nothing
/// more; notifications already posted are delivered even after removal or
/// uninit. The host starts Winsock (WSAStartup) and initialises CFuncDispatch
/// first.
class VEXLOTOOL_API CCompletePortController {
public:
    /// Bytes asked for by each receive.
    static constexpr unsigned int kRecvSize = 32768;

    /// An idle controller: no port, no worker, an empty table.
    CCompletePortController();
    /// Frees the finished records still kept. Does not stop the workers or
    /// close the port: the owner calls uninit first.
    virtual ~CCompletePortController();
    CCompletePortController(const CCompletePortController&) = delete;
    CCompletePortController& operator=(const CCompletePortController&) = delete;

    /// Creates the port and 2 x processors + 2 workers; true also when running.
    bool init();
    /// Stops the workers (a bounded wait that pumps the caller's messages, so
    /// it may run on the window thread), cancels and frees the operations
    /// still in flight, closes the port and empties the table without
    /// notifications. The sockets stay open and the host's. Does nothing when
    /// not running.
    void uninit();

    /// Registers the socket sock; slots points to a tagSocketSlots. The socket
    /// is associated with the controller's port and set to
    /// FILE_SKIP_COMPLETION_PORT_ON_SUCCESS, for good (both outlast the
    /// registration). A connected socket starts receiving at once; a repeated registration
    /// changes nothing and starts nothing. Ignored before init or with null
    /// slots.
    void addsocket(unsigned int sock, void* slots);
    /// Drop registrations without a notification; nothing is closed. Sends
    /// already accepted still go out.
    void removesocket(unsigned int sock);
    void removeall();
    /// The number of registered sockets; 0 before init.
    int socketnum();

    /// Binds the registered socket sock to the wildcard address and starts a
    /// connect to the dotted IPv4 address ip and port (host byte order); the
    /// outcome arrives as onConnect, or as onClose with the error. Returns
    /// false before init, for a socket not in the table, or when the connect
    /// could not be started (after a failed bind or start, onClose carries the
    /// error and the socket leaves the table).
    bool connectto(unsigned int sock, const char* ip, short port);
    /// Queues a copy of the len bytes at data (the caller's buffer is free
    /// again on return). The bytes of one socket reach the peer in the order
    /// of the calls; each send is followed by one onSent once its last byte
    /// is out. A zero-length send sends nothing and gets its onSent in turn.
    /// sendto records the destination but sends to the connected peer, like
    /// send; tolen is not used. lock false skips the controller lock: only
    /// while no other thread uses the controller. Returns false before init,
    /// for null data with a non-zero len, for a socket not in the table, or
    /// when the send could not be started (onClose then carries the error);
    /// true once the bytes are queued. A socket whose peer closed its side
    /// still takes sends until its onClose(0) has run on the window thread,
    /// so a slot may answer the last chunks it receives.
    bool send(unsigned int sock, const char* data, unsigned int len, bool lock);
    bool sendto(unsigned int sock, sockaddr* to, int tolen, const char* data, unsigned int len,
                bool lock);

private:
    class Guard;

    bool recv(unsigned int sock, bool lock);
    enum RecvStart { kRecvPending, kRecvDone, kRecvFailed };
    tagIoContext* PrepareRecv(unsigned int sock);
    RecvStart StartRecv(unsigned int sock, tagIoContext* context, bool locked, bool skips,
                        DWORD& received);
    void HandOver(unsigned int sock, tagIoContext* context, DWORD bytes);
    static DWORD WINAPI WorkThreadProc(void* controller);
    tagIoContext* Complete(BOOL ok, DWORD bytes, unsigned int sock, tagIoContext* context,
                           DWORD error, bool& nextSkips);
    bool SentAtOnce(unsigned int sock, tagIoContext* lead, DWORD bytes);
    bool SkipsPackets(unsigned int sock) const;

    bool StartSends(unsigned int sock);
    void DropSends(unsigned int sock);
    bool IssueBatch(unsigned int sock, tagSendQueue& sends);
    tagIoContext* HandleCompletion(BOOL ok, DWORD bytes, unsigned int sock, tagIoContext* context,
                                   DWORD error, const tagSocketSignals& signals,
                                   const std::shared_ptr<tagRecvPayload>& payload);
    void HandleSent(unsigned int sock, tagIoContext* context, DWORD bytes,
                    const tagSocketSignals& signals);
    bool StartFailed(unsigned int sock, tagIoContext* context, DWORD error);
    void Erase(unsigned int sock);
    void PeerClosed(unsigned int sock, const tagSocketSignals& signals);
    void SweepPeerClosed();
    bool TakesSends(unsigned int sock);
    tagSocketSignals SignalsOf(unsigned int sock) const;
    tagIoContext* NewContext(int operation);
    void FreeContext(tagIoContext* context);
    void Release(tagIoContext* context);
    void Recycle(std::vector<tagIoContext*>& released);
    void ReclaimInFlight();

    HANDLE m_port = nullptr;
    std::vector<HANDLE> m_threads;
    std::map<unsigned int, tagSocketSignals> m_sockets;
    CRITICAL_SECTION m_lock;

    // Under m_lock: sends by socket, sockets whose peer closed, records handed (or about to be
    // handed) to Winsock and not yet handled, entries erased and records finished meanwhile
    // (destroyed once the lock is released) and the depth of the lock.
    std::map<tagIoContext*, unsigned int> m_inFlight;  // record -> socket
    std::map<unsigned int, tagSendQueue> m_sends;
    std::map<unsigned int, tagPeerClosed> m_peerClosed;
    std::set<unsigned int> m_skipping;  // sockets whose operations done at once queue no packet
    std::vector<tagSocketSignals> m_dropped;
    std::vector<tagIoContext*> m_released;
    int m_lockDepth = 0;
    // Buffers of finished records and of received chunks the window thread
    // has seen, kept for the next records. Shared with the chunks in flight
    // to the window thread, which may outlive the controller.
    std::shared_ptr<CBufferPool> m_buffers;
};

}  // namespace VexloTool
