/// @file
/// TcpServer.h: a TCP listener on an IPv4 address; each accepted socket is
/// handed to the host's window thread and is the host's from then on.
///
/// Threads: init, bind, listen, stop and uninit by the owner on one thread;
/// the accept thread ("accept") waits in accept and posts onAccept through
/// CFuncDispatch. Locks: none; the listening socket is taken atomically, so
/// the owner's stop and the accept thread's own end never both close it.
#pragma once

#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

#include "vxplatform.h"
#include "VexloTool/Export.h"

namespace VexloTool {

/// (socket or error): onAccept carries an accepted socket, onError a
/// Winsock error code.
typedef boost::signals2::signal<void(unsigned int)> TcpServerSignal;

/// What the constructor reads: each member null or pointing to a slot of the
/// caller's, copied into the listener's signal (the caller's slots need not
/// outlive the call). Both run on the CFuncDispatch window thread.
struct tagTcpServerSlots {
    const TcpServerSignal::slot_type* onAccept;  ///< the accepted socket
    const TcpServerSignal::slot_type* onError;   ///< the Winsock error of init
};

/// One listening socket and the thread that accepts on it. The host starts
/// Winsock (WSAStartup) and initialises CFuncDispatch first; it closes every
/// accepted socket itself. Call order: init, bind, listen, then stop (or
/// uninit) before destroying the object.
class VEXLOTOOL_API CTcpServer {
public:
    /// How long stop waits for the accept thread before terminating it.
    static constexpr DWORD kStopBoundMs = 2000;

    /// slots points to a tagTcpServerSlots, or is null for no notifications.
    explicit CTcpServer(void* slots);
    /// Does not stop the listener: the owner calls stop first.
    virtual ~CTcpServer();
    CTcpServer(const CTcpServer&) = delete;
    CTcpServer& operator=(const CTcpServer&) = delete;

    /// Creates the listening socket; onError carries the error on failure.
    /// Returns whether the socket was created.
    bool init();
    /// The same as stop.
    void uninit();
    /// Binds to the dotted IPv4 address ip and port (host byte order; 0 lets
    /// the system choose: getsockname on getsock() tells which); an address
    /// in use is tried once more with SO_REUSEADDR. Returns false without a
    /// listening socket or when the bind failed (WSAGetLastError tells why).
    bool bind(const char* ip, short port);
    /// Listens with the system's maximum backlog (backlog is not used) and
    /// starts the accept thread, which posts onAccept for each accepted
    /// socket and ends when the listening socket breaks or is closed. Returns
    /// false without a listening socket or when listen failed.
    bool listen(int backlog);
    /// Closes the listening socket and ends the accept thread (waiting at most
    /// kStopBoundMs, then terminating it); always true. Accepted sockets stay
    /// open. init may then start a new listener.
    bool stop();
    /// The listening socket, or INVALID_SOCKET when there is none.
    unsigned int getsock() const;

private:
    void nofityerror();
    static DWORD WINAPI AcceptProc(void* server);

    boost::shared_ptr<TcpServerSignal> onAccept;
    boost::shared_ptr<TcpServerSignal> onError;
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
    volatile LONG m_socket;  // the SOCKET's bits; INVALID_SOCKET when none
};

}  // namespace VexloTool
