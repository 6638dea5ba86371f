// wait.h: waiting on conditions with generous deadlines instead of sleeps.
#pragma once

#include <chrono>
#include <functional>

namespace vxtest {

// Generous default: tests fail by timing out only when something is wrong.
constexpr std::chrono::milliseconds kDeadline{20000};

// Polls the condition until it holds or the deadline passes.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = kDeadline);

}  // namespace vxtest
