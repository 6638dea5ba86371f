// extras.h: helpers for things that have no Win32 name, declared for both
// targets. Keep this small: everything with a Win32 name goes elsewhere.
#pragma once

#if defined(_WIN32) && !defined(VXP_API)
// On Windows the helpers live in VexloTool.dll (platform/win32/).
#if defined(VEXLOTOOL_BUILD)
#define VXP_API __declspec(dllexport)
#else
#define VXP_API __declspec(dllimport)
#endif
#endif

#if defined(_WIN64) && !defined(GWL_WNDPROC)
// The 64-bit SDK has only the GWLP_ names; the library uses the one name
// that 32-bit Windows and the Linux layer both know.
#define GWL_WNDPROC GWLP_WNDPROC
#endif

#if !defined(_WIN32)
// A descriptor that becomes readable while the calling thread's message
// queue holds input, so a host running its own event loop (GTK, Qt, libuv)
// can poll it and then drain the queue with PeekMessageW. Due timers count
// as input. It may stay readable until a PeekMessageW finds nothing, so a
// host drains until PeekMessageW returns FALSE. Owned by the layer; closed
// when the thread ends. -1 with the last error set on failure.
VXP_API int VxGetMessageQueueFd();
#endif

// Hints that a large buffer about to be filled whole should be backed by
// large pages, so first touching it costs a few faults rather than one per
// 4 KiB page (on virtual machines these dominate filling a fresh buffer).
// Only a hint: the contents stay as they are and a refusal is silent.
// Linux: the 2 MiB-aligned middle of the range; Windows: no effect.
VXP_API void VxAdviseLargeBuffer(void* data, size_t size);

// Names a thread for debuggers and system tools; no effect on anything else.
// Linux: threads created by the layer and the calling thread, up to 15 bytes
// of the name (the kernel's limit). Windows: the debugger convention, and
// the thread description where the system has one.
VXP_API void VxSetThreadName(DWORD threadId, const char* name);
#include "vxplatform/profile_extras.h"
