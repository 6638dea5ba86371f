/// @file
/// HttpFactory.h: makes CHttpClient requests asynchronous: objects it creates
/// run their requests on CThreadPool workers, and report on the window thread.
///
/// Threads: any host thread calls CreateWebRequest, ReleaseWebRequest, Init
/// and UnInit; pool workers perform the runs. Locks: the registry lock is
/// taken before a request object's lock (then the dispatcher's), never after;
/// no slot runs, and no object or slot capture is destroyed, under either.
#pragma once

#include <map>
#include <memory>
#include <set>

#include "VexloTool/Export.h"
#include "VexloTool/HttpClient.h"
#include "VexloTool/SingletonImpl.h"
#include "vxplatform.h"

namespace VexloTool {

VEXLOTOOL_SINGLETON(CHttpFactory);

/// The process-wide factory of asynchronous requests; the host calls UnInit
/// before it stops the pool and the dispatcher.
class VEXLOTOOL_API CHttpFactory : public SingletonImpl<CHttpFactory, 0> {
public:
    ~CHttpFactory() override;

    /// Lets hook calls queue runs again (the initial state).
    void Init();
    /// Stops queuing, fails runs in progress promptly (each still sends its
    /// completion notice) and forgets every object; the objects stay valid
    /// until each is passed to ReleaseWebRequest.
    void UnInit();

    /// A new object whose Request returns 1 at once and runs on the pool.
    /// The factory owns it: hand it back to ReleaseWebRequest, never delete it.
    CHttpClient* CreateWebRequest();
    /// Fails a run in progress promptly, waits for it to end, and destroys the
    /// object; a queued run of it never starts. Null does nothing.
    void ReleaseWebRequest(CHttpClient* request);

private:
    friend class SingletonImpl<CHttpFactory, 0>;
    CHttpFactory();

    void OnRequest(CHttpClient* request);
    void InnerRequest(CHttpClient* request, std::shared_ptr<volatile LONG> queuedFor);

    std::set<CHttpClient*> m_requests;
    CRITICAL_SECTION m_lock;
    volatile LONG m_running;
    // One flag per live object, cleared (under the object's lock) just before
    // the object is destroyed. A run carries the flag of the object it was
    // queued for; it starts only if that flag is still the one registered
    // under its address, and still set once it holds the object's lock.
    std::map<CHttpClient*, std::shared_ptr<volatile LONG>> m_alive;
};

}  // namespace VexloTool
