// thread_helpers.h: naming of the library's background threads and their
// bounded, message-pumping stop. Internal to the module; stateless.
#pragma once

#include "vxplatform.h"

namespace VexloTool {

// How long a stop waits for a thread before terminating it.
constexpr DWORD kThreadStopBoundMs = 3000;

// Names the thread for debuggers and system tools; no effect otherwise.
void SetThreadName(DWORD threadId, const char* name);

// Waits for the thread to end while dispatching the calling thread's window
// messages, so it may run on a UI thread. Terminates the thread (exit code 0)
// after kThreadStopBoundMs; a quit message seen meanwhile is posted again.
// Does not close the handle. A null handle returns at once.
void StopThreadBounded(HANDLE thread);

}  // namespace VexloTool
