#include "platform/tick_counter.h"

#include <chrono>
#include <thread>

namespace orvane {

uint32_t GetTickCount() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<uint32_t>(ms.count());
}

bool IsSystemTickSource(const TTickSource& ASource) {
  const auto* function = ASource.target<uint32_t (*)()>();
  return function != nullptr && *function == &GetTickCount;
}

uint64_t MonotonicMicros() {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<uint64_t>(us.count());
}

void SleepUs(uint64_t AMicroseconds) {
  std::this_thread::sleep_for(std::chrono::microseconds(AMicroseconds));
}

void SleepMs(uint32_t AMilliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(AMilliseconds));
}

}  // namespace orvane
