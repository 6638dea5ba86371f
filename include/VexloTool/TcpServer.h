// TcpServer.h: a TCP listener on an IPv4 address; each accepted socket is
// handed to the host's window thread and is the host's from then on.
//
// Threads: init, bind, listen, stop and uninit by the owner on one thread;
// the accept thread ("accept") waits in accept and posts onAccept through
// CFuncDispatch. Locks: none; the listening socket is taken atomically, so
// the owner's stop and the accept thread's own end never both close it.
#pragma once

#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

#include "vxplatform.h"
#include "VexloTool/Export.h"

namespace VexloTool {

typedef boost::signals2::signal<void(unsigned int)> TcpServerSignal;

// What the constructor reads: each member null or pointing to a slot of the
// caller's, copied into the listener's signal.
struct tagTcpServerSlots {
    const TcpServerSignal::slot_type* onAccept;  // the accepted socket
    const TcpServerSignal::slot_type* onError;   // the Winsock error of init
};

class VEXLOTOOL_API CTcpServer {
public:
    // How long stop waits for the accept thread before terminating it.
    static constexpr DWORD kStopBoundMs = 2000;

    explicit CTcpServer(void* slots);
    virtual ~CTcpServer();
    CTcpServer(const CTcpServer&) = delete;
    CTcpServer& operator=(const CTcpServer&) = delete;

    // Creates the listening socket; onError carries the error on failure.
    bool init();
    void uninit();
    // Binds to a dotted IPv4 address; an address in use is tried once more
    // with SO_REUSEADDR.
    bool bind(const char* ip, short port);
    // Listens with the system's maximum backlog (backlog is not used) and
    // starts the accept thread.
    bool listen(int backlog);
    // Closes the listening socket and ends the accept thread; always true.
    // Accepted sockets stay open.
    bool stop();
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
