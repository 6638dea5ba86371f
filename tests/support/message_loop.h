// message_loop.h: a message-only window and a bounded message pump for tests
// that need callbacks delivered on the current thread.
#pragma once

#include <chrono>
#include <functional>

#include "vxplatform.h"
#include "support/wait.h"

namespace vxtest {

// A message-only window owned by the constructing thread. Messages the
// window's procedure does not handle go to DefWindowProcW; a test can
// observe them through on_message.
class TestWindow {
public:
    TestWindow();
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    HWND hwnd() const { return hwnd_; }
    void Destroy();

    // Called for every message the window's own procedure receives.
    std::function<void(UINT, WPARAM, LPARAM)> on_message;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND hwnd_ = nullptr;
};

// Dispatches this thread's messages until the condition holds or the
// deadline passes; returns whether the condition held.
bool PumpUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = kDeadline);

// Dispatches whatever is queued now, without waiting.
void PumpPending();

}  // namespace vxtest
