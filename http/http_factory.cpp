// http_factory.cpp: CHttpFactory: the registry of request objects and the
// hand-over of their runs to the thread pool.
#include "VexloTool/HttpFactory.h"

#include <boost/bind/bind.hpp>

#include "VexloTool/ThreadPool.h"
#include "core/scoped_lock.h"

namespace VexloTool {

template class SingletonImpl<CHttpFactory, 0>;

CHttpFactory::CHttpFactory() : m_running(1) {
    if (!InitializeCriticalSectionAndSpinCount(&m_lock, kLockSpinCount)) {
        const DWORD error = GetLastError();
        throw CHResultException(
            static_cast<HRESULT>(error ? (error & 0xFFFFu) | 0x80070000u : 0x80004005u));
    }
}

CHttpFactory::~CHttpFactory() {
    DeleteCriticalSection(&m_lock);
}

void CHttpFactory::Init() {
    InterlockedExchange(&m_running, 1);
}

void CHttpFactory::UnInit() {
    InterlockedExchange(&m_running, 0);
    ScopedLock hold(m_lock);
    for (CHttpClient* request : m_requests)
        request->Close();
    m_requests.clear();
}

CHttpClient* CHttpFactory::CreateWebRequest() {
    CHttpClient* request = new CHttpClient;
    request->m_runHook = boost::bind(&CHttpFactory::OnRequest, this, request);
    std::shared_ptr<volatile LONG> alive(new volatile LONG(1));
    ScopedLock hold(m_lock);
    m_requests.insert(request);
    m_alive[request] = alive;
    return request;
}

void CHttpFactory::ReleaseWebRequest(CHttpClient* request) {
    if (!request)
        return;
    {
        ScopedLock hold(m_lock);
        boost::shared_ptr<CCriticalSection> lock = request->m_lock;
        request->Close();
        ScopedLock runEnded(lock->m_sec);  // a run in progress has ended
        const auto alive = m_alive.find(request);
        if (alive != m_alive.end()) {
            InterlockedExchange(alive->second.get(), 0);
            m_alive.erase(alive);
        }
        m_requests.erase(request);
    }
    // Unreachable now (a queued run finds its flag cleared), so it dies
    // outside every lock: the host's slots and their captures go with it.
    delete request;
}

void CHttpFactory::OnRequest(CHttpClient* request) {
    if (!InterlockedCompareExchange(&m_running, 0, 0))
        return;
    std::shared_ptr<volatile LONG> alive;
    {
        ScopedLock hold(m_lock);
        const auto found = m_alive.find(request);
        if (found == m_alive.end())
            return;
        alive = found->second;
    }
    CThreadPool::Execute(boost::bind(&CHttpFactory::InnerRequest, this, request, alive));
}

void CHttpFactory::InnerRequest(CHttpClient* request, std::shared_ptr<volatile LONG> queuedFor) {
    boost::shared_ptr<CCriticalSection> lock;
    {
        // The run belongs to the object it was queued for, not to its
        // address: a new object may live there now, with a flag of its own.
        ScopedLock hold(m_lock);
        const auto found = m_alive.find(request);
        if (!m_requests.count(request) || found == m_alive.end() || found->second != queuedFor)
            return;
        lock = request->m_lock;
    }
    // The object's lock keeps a concurrent release waiting; a release that
    // got it first has cleared the flag, and the object is gone.
    ScopedLock run(lock->m_sec);
    if (InterlockedCompareExchange(queuedFor.get(), 0, 0))
        request->Request();
}

}  // namespace VexloTool
