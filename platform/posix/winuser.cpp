// winuser.cpp: message-only windows, classes, message queues, timers.
// Conformance tests: tests/platform/window_test.cpp,
// tests/platform/message_test.cpp, tests/platform/timer_test.cpp.
#include "platform/posix/layer.h"

namespace vxp {

struct MessageQueue {};

bool QueueHasInputLocked(const MessageQueue&, DWORD) {
    return false;
}
void QueueAttachWaitLocked(MessageQueue&, WaitBlock*) {}
void DestroyThreadQueue(ThreadState&) {}

}  // namespace vxp
