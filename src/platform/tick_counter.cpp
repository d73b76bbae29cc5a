#include "platform/tick_counter.h"

#include <chrono>
#include <thread>

namespace orvane {

uint32_t GetTickCount() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<uint32_t>(ms.count());
}

void SleepMs(uint32_t AMilliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(AMilliseconds));
}

}  // namespace orvane
