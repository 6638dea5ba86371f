// memory.cpp: the module's allocation helpers for memory that crosses the
// module boundary.
#include "VexloTool/Memory.h"

#include <cstring>
#include <new>

namespace VexloTool {

void* AllocateBuffer(unsigned int size) {
    // operator new calls the new-handler and retries, or throws bad_alloc;
    // a zero size still yields a distinct block.
    return ::operator new(size == 0 ? 1 : size);
}

void* AllocateAndInitBuffer(unsigned int size) {
    void* block = AllocateBuffer(size);
    std::memset(block, 0, size);
    return block;
}

void ReleaseBuffer(void* block) {
    ::operator delete(block);
}

}  // namespace VexloTool
