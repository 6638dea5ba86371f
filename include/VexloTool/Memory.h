/// @file
/// Memory.h: blocks the library hands to the host are allocated and released
/// here, never with the host's allocator. Safe from any thread.
#pragma once

#include "VexloTool/Export.h"

namespace VexloTool {

/// A block of size bytes, uninitialised; a size of 0 still gives a distinct
/// block. Release it with ReleaseBuffer. Never returns null: exhaustion is
/// reported by std::bad_alloc.
VEXLOTOOL_API void* AllocateBuffer(unsigned int size);
/// The same, with every byte set to zero.
VEXLOTOOL_API void* AllocateAndInitBuffer(unsigned int size);
/// Releases a block from AllocateBuffer, AllocateAndInitBuffer or another
/// library call that hands one out (such as the Base64 results). Null is
/// ignored.
VEXLOTOOL_API void ReleaseBuffer(void* block);

}  // namespace VexloTool
