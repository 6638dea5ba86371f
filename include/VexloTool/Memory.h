// Memory.h: blocks the library hands to the host are allocated and released
// here, never with the host's allocator. Safe from any thread.
#pragma once

#include "VexloTool/Export.h"

namespace VexloTool {

// Never returns null: exhaustion is reported by std::bad_alloc.
VEXLOTOOL_API void* AllocateBuffer(unsigned int size);
VEXLOTOOL_API void* AllocateAndInitBuffer(unsigned int size);
// Null is ignored.
VEXLOTOOL_API void ReleaseBuffer(void* block);

}  // namespace VexloTool
