// extras.h: helpers for things that have no Win32 name, declared for both
// targets. Keep this small: everything with a Win32 name goes elsewhere.
#pragma once

#if !defined(_WIN32)
// A descriptor that becomes readable while the calling thread's message
// queue holds input, so a host running its own event loop (GTK, Qt, libuv)
// can poll it and then drain the queue with PeekMessageW.
VXP_API int VxGetMessageQueueFd();
#endif
