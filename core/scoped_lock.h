// scoped_lock.h: holds a critical section for one scope.
#pragma once

#include "vxplatform.h"

namespace VexloTool {

class ScopedLock {
public:
    explicit ScopedLock(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
    ~ScopedLock() { LeaveCriticalSection(&lock_); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CRITICAL_SECTION& lock_;
};

// An atomic read of a value changed by the Interlocked functions.
inline LONG InterlockedRead(volatile LONG* value) {
    return InterlockedCompareExchange(value, 0, 0);
}

}  // namespace VexloTool
