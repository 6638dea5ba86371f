/// @file
/// CriticalSection.h: the exception that carries an HRESULT out of the
/// library, and a critical section owned by an object.
///
/// Threads: any. CCriticalSection is a plain recursive lock; it is shared
/// through boost::shared_ptr where a holder must outlive its owner.
#pragma once

#include <exception>

#include "vxplatform.h"

namespace VexloTool {

/// Raised for caller errors such as a null URL (E_FAIL) and when a lock
/// cannot be initialised (the failing Win32 code as an HRESULT).
class CHResultException : public std::exception {
public:
    /// Carries hr.
    explicit CHResultException(HRESULT hr) : m_hr(hr) {}
    /// The carried HRESULT.
    operator HRESULT() const { return m_hr; }
    /// A fixed text; the code is in m_hr.
    const char* what() const noexcept override { return "VexloTool: HRESULT error"; }

    HRESULT m_hr;  ///< the carried HRESULT
};

/// A recursive lock: the thread holding it may take it again, and releases
/// it once per Lock. Neither copyable nor movable.
class CCriticalSection {
public:
    /// Initialises the lock (with a short spin before a thread sleeps).
    /// Raises CHResultException with the failing Win32 code as an HRESULT
    /// (E_FAIL when the system gave none) when it cannot be initialised.
    CCriticalSection() {
        if (!InitializeCriticalSectionAndSpinCount(&m_sec, 4000)) {
            const DWORD error = GetLastError();
            throw CHResultException(
                static_cast<HRESULT>(error ? (error & 0xFFFFu) | 0x80070000u : 0x80004005u));
        }
    }
    /// Must not be held by any thread.
    ~CCriticalSection() { DeleteCriticalSection(&m_sec); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    /// Waits until the calling thread holds the lock.
    void Lock() { EnterCriticalSection(&m_sec); }
    /// Releases one Lock of the calling thread, which must hold the lock.
    void Unlock() { LeaveCriticalSection(&m_sec); }

    CRITICAL_SECTION m_sec;  ///< the Win32 critical section itself
};

}  // namespace VexloTool
