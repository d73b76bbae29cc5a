#pragma once

#include <cstdint>

#include "platform/tick_counter.h"

namespace orvane {

// Millisecond stopwatch on the 32-bit tick counter; the counter's wrap is absorbed by
// modulo-2^32 subtraction, so intervals shorter than ~49.7 days stay right across it.
// Threads: no lock; each stopwatch is used by one thread.
class TStopWatch {
 public:
  explicit TStopWatch(TTickSource ATicks = DefaultTickSource());

  // Leaves a running stopwatch alone (its start does not move).
  void Start();
  void Stop();
  void Reset();
  void Restart();

  bool IsRuning() const { return FIsRuning; }
  uint32_t ElapsedMilliseconds() const;

 private:
  TTickSource FTicks;
  uint32_t FElapsed = 0;
  bool FIsRuning = false;
  uint32_t FStartCount = 0;
};

}  // namespace orvane
