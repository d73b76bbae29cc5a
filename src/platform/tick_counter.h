#pragma once

#include <cstdint>
#include <functional>

namespace orvane {

// Milliseconds of the monotonic clock truncated to 32 bits, so elapsed-time
// arithmetic wraps exactly as callers expect after ~49.7 days.
uint32_t GetTickCount();

// A tick source that timers take by value so tests can drive time (and the wrap).
using TTickSource = std::function<uint32_t()>;

inline TTickSource DefaultTickSource() {
  return &GetTickCount;
}

// Sleeps the calling thread for the given milliseconds.
void SleepMs(uint32_t AMilliseconds);

}  // namespace orvane
