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

// True when ASource is the system's own tick counter, not one a test drives.
bool IsSystemTickSource(const TTickSource& ASource);

// Microseconds of the same monotonic clock, for pauses a millisecond tick would
// make up to a tick too long.
uint64_t MonotonicMicros();

// Sleeps the calling thread for the given milliseconds.
void SleepMs(uint32_t AMilliseconds);
// Sleeps the calling thread for the given microseconds.
void SleepUs(uint64_t AMicroseconds);

}  // namespace orvane
