// CriticalSection.h: the exception that carries an HRESULT out of the
// library, and a critical section owned by an object.
//
// Threads: any. CCriticalSection is a plain recursive lock; it is shared
// through boost::shared_ptr where a holder must outlive its owner.
#pragma once

#include <exception>

#include "vxplatform.h"

namespace VexloTool {

// Raised for caller errors such as a null URL (E_FAIL) and when a lock
// cannot be initialised (the failing Win32 code as an HRESULT).
class CHResultException : public std::exception {
public:
    explicit CHResultException(HRESULT hr) : m_hr(hr) {}
    operator HRESULT() const { return m_hr; }
    const char* what() const noexcept override { return "VexloTool: HRESULT error"; }

    HRESULT m_hr;
};

class CCriticalSection {
public:
    CCriticalSection() {
        if (!InitializeCriticalSectionAndSpinCount(&m_sec, 4000)) {
            const DWORD error = GetLastError();
            throw CHResultException(
                static_cast<HRESULT>(error ? (error & 0xFFFFu) | 0x80070000u : 0x80004005u));
        }
    }
    ~CCriticalSection() { DeleteCriticalSection(&m_sec); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() { EnterCriticalSection(&m_sec); }
    void Unlock() { LeaveCriticalSection(&m_sec); }

    CRITICAL_SECTION m_sec;
};

}  // namespace VexloTool
