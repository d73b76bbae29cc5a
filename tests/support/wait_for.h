#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace orvane::test {

// Polls a condition until it holds or the deadline passes; tests never sleep
// for a fixed time and hope.
inline bool WaitFor(const std::function<bool()>& ACondition,
                    std::chrono::milliseconds ADeadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + ADeadline;
  while (!ACondition()) {
    if (std::chrono::steady_clock::now() >= end) return ACondition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace orvane::test
