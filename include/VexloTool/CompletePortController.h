// CompletePortController.h: carries the traffic of many TCP sockets over one
// I/O completion port and reports it to the host's window thread.
//
// Threads: public operations from any thread; init and uninit by the owner
// while no other thread uses the controller. Workers ("tcpImpl") take the
// completions. Every notification runs on the window thread of CFuncDispatch.
// Locks: one recursive controller lock, taken before the dispatcher's (events
// are posted under it) and before the buffer pool's (a leaf); slots never run
// under it, and signals dropped from the table and finished records are
// destroyed only after it is released.
// Sockets stay the host's: the controller never closes or shuts one down.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

#include "vxplatform.h"
#include "VexloTool/Export.h"

namespace VexloTool {

typedef boost::signals2::signal<void(const char*, unsigned int)> SocketRecvSignal;
typedef boost::signals2::signal<void()> SocketSentSignal;
typedef boost::signals2::signal<void(unsigned int)> SocketCloseSignal;
typedef boost::signals2::signal<void(unsigned int)> SocketConnectSignal;

struct tagIoContext;
class CBufferPool;
struct tagRecvPayload;

// The four signals of one registered socket.
struct tagSocketSignals {
    boost::shared_ptr<SocketRecvSignal> onRecv;        // each received chunk
    boost::shared_ptr<SocketSentSignal> onSent;        // a send has gone out whole
    boost::shared_ptr<SocketCloseSignal> onClose;      // left the table: 0 or the error
    boost::shared_ptr<SocketConnectSignal> onConnect;  // connectto completed; the socket
};

// The sends of one socket, in call order: one batch in flight (one WSASend
// gathering every send that waited; its first record carries the
// OVERLAPPED), the others waiting for it. Accepted sends go out also after
// the socket has left the table, unless the socket fails.
struct tagSendQueue {
    std::deque<tagIoContext*> waiting;
    std::deque<tagIoContext*> batch;
    std::vector<WSABUF> buffers;
    bool sending = false;
};

// What addsocket reads: each member null or pointing to a slot of the
// caller's, copied into the socket's signal during the call.
struct tagSocketSlots {
    const SocketRecvSignal::slot_type* onRecv;
    const SocketSentSignal::slot_type* onSent;
    const SocketCloseSignal::slot_type* onClose;
    const SocketConnectSignal::slot_type* onConnect;
};

enum EIoOperation { IO_SEND = 0, IO_RECV = 1, IO_CONNECT = 2 };

// One overlapped operation; its address is the OVERLAPPED handed to Winsock.
struct tagIoContext {
    OVERLAPPED overlapped;
    WSABUF buffer;      // length and start of the bytes still to go
    DWORD transferred;  // out-argument of the send call
    DWORD flags;        // unused: a receive keeps its out-arguments on its stack
    sockaddr_in address;
    int addressLength;
    int operation;     // EIoOperation
    std::string data;  // send: the copied bytes; receive: 32768 bytes
};

class VEXLOTOOL_API CCompletePortController {
public:
    // Bytes asked for by each receive.
    static constexpr unsigned int kRecvSize = 32768;

    CCompletePortController();
    virtual ~CCompletePortController();
    CCompletePortController(const CCompletePortController&) = delete;
    CCompletePortController& operator=(const CCompletePortController&) = delete;

    // Creates the port and 2 x processors + 2 workers; true also when running.
    bool init();
    // Stops the workers, cancels and frees the operations still in flight,
    // closes the port and empties the table without notifications. The
    // sockets stay open and the host's.
    void uninit();

    // Registers a socket; slots points to a tagSocketSlots. A connected
    // socket starts receiving at once; a repeated registration changes
    // nothing and starts nothing.
    void addsocket(unsigned int sock, void* slots);
    // Drop registrations without a notification; nothing is closed.
    void removesocket(unsigned int sock);
    void removeall();
    int socketnum();

    // Binds the socket to the wildcard address and starts a connect; the
    // outcome arrives as onConnect, or as onClose with the error.
    bool connectto(unsigned int sock, const char* ip, short port);
    // Queues a copy of the bytes. The bytes of one socket reach the peer in
    // the order of the calls; each send is followed by one onSent once its
    // last byte is out. A zero-length send sends nothing and gets its onSent
    // in turn. sendto records the destination but sends to the connected
    // peer, like send.
    bool send(unsigned int sock, const char* data, unsigned int len, bool lock);
    bool sendto(unsigned int sock, sockaddr* to, int tolen, const char* data, unsigned int len,
                bool lock);

private:
    class Guard;

    bool recv(unsigned int sock, bool lock);
    tagIoContext* PrepareRecv(unsigned int sock);
    bool StartRecv(unsigned int sock, tagIoContext* context, bool locked);
    static DWORD WINAPI WorkThreadProc(void* controller);

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
    tagIoContext* NewContext(int operation);
    void FreeContext(tagIoContext* context);
    void Release(tagIoContext* context);
    void Recycle(std::vector<tagIoContext*>& released);
    void ReclaimInFlight();

    HANDLE m_port = nullptr;
    std::vector<HANDLE> m_threads;
    std::map<unsigned int, tagSocketSignals> m_sockets;
    CRITICAL_SECTION m_lock;

    // Under m_lock: sends by socket, records handed (or about to be handed)
    // to Winsock and not yet handled, entries erased and records finished
    // meanwhile (destroyed once the lock is released) and the depth of the
    // lock.
    std::map<tagIoContext*, unsigned int> m_inFlight;  // record -> socket
    std::map<unsigned int, tagSendQueue> m_sends;
    std::vector<tagSocketSignals> m_dropped;
    std::vector<tagIoContext*> m_released;
    int m_lockDepth = 0;
    // Buffers of finished records and of received chunks the window thread
    // has seen, kept for the next records. Shared with the chunks in flight
    // to the window thread, which may outlive the controller.
    std::shared_ptr<CBufferPool> m_buffers;
};

}  // namespace VexloTool
