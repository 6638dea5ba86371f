// thread_helpers.cpp: thread naming and the bounded, message-pumping stop.
#include "core/thread_helpers.h"

namespace VexloTool {

void SetThreadName(DWORD threadId, const char* name) {
    VxSetThreadName(threadId, name);
}

namespace {

enum class PumpResult { Drained, Terminated };

// Dispatches every queued message; a quit is kept back for the host's loop.
// Past the bound the thread is terminated before the message at hand is
// dispatched.
PumpResult PumpMessages(HANDLE thread, DWORD start, bool& quitSeen) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quitSeen = true;
            continue;
        }
        const bool exceeded = GetTickCount() - start > kThreadStopBoundMs;
        if (exceeded)
            TerminateThread(thread, 0);
        // A message already taken off the queue is always delivered: dropping
        // it could lose a host callback or the carrier it owns.
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        if (exceeded)
            return PumpResult::Terminated;
    }
    return PumpResult::Drained;
}

}  // namespace

void StopThreadBounded(HANDLE thread) {
    if (!thread)
        return;
    const DWORD start = GetTickCount();
    bool quitSeen = false;
    for (;;) {
        const DWORD wait =
            MsgWaitForMultipleObjects(1, &thread, FALSE, kThreadStopBoundMs, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0 + 1) {
            if (PumpMessages(thread, start, quitSeen) == PumpResult::Drained)
                continue;
        } else if (wait == WAIT_TIMEOUT) {
            TerminateThread(thread, 0);
        }
        break;  // ended, terminated, or the wait failed
    }
    if (quitSeen)
        PostQuitMessage(0);
}

}  // namespace VexloTool
