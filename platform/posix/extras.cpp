// extras.cpp: helpers without a Win32 name (thread naming, large buffers).
// Conformance tests: tests/platform/extras_test.cpp.
#include <pthread.h>
#include <sys/mman.h>

#include <cstdint>

#include <cstring>

#include "platform/posix/layer.h"

void VxSetThreadName(DWORD threadId, const char* name) {
    if (!name)
        return;
    // The kernel keeps 15 bytes; cut at a character boundary of UTF-8.
    char buffer[16];
    size_t length = std::strlen(name);
    if (length > 15) {
        length = 15;
        while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0u) == 0x80u)
            --length;
    }
    std::memcpy(buffer, name, length);
    buffer[length] = '\0';
    if (threadId == GetCurrentThreadId()) {
        pthread_setname_np(pthread_self(), buffer);
        return;
    }
    // Under the lock the thread cannot finish, so its pthread_t stays valid.
    std::lock_guard<std::mutex> guard(vxp::LayerLock());
    vxp::ThreadObject* thread = vxp::FindThreadLocked(threadId);
    if (thread && !thread->ended && thread->pthreadKnown) {
        pthread_setname_np(thread->pthread, buffer);
    }
}

void VxAdviseLargeBuffer(void* data, size_t size) {
    const uintptr_t kLargePage = uintptr_t(2) << 20;
    const uintptr_t start = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (start + kLargePage - 1) & ~(kLargePage - 1);
    const uintptr_t end = (start + size) & ~(kLargePage - 1);
    if (data && end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}
