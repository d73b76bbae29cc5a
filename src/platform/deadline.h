#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>

#include "platform/tick_counter.h"

struct pollfd;

namespace orvane {

// Asked between the short waits of a blocking call (a connect, a handshake, a
// sleep before a reconnection); true means the owner is stopping, so the call
// gives up at once.
using TCancelCheck = std::function<bool()>;

// The time limit of one blocking call, on the 32-bit tick counter (or a tick
// source a test drives). Elapsed time is taken modulo 2^32, so a limit stays
// right across the counter's wrap.
// Threads: one thread uses a deadline.
class TDeadline {
 public:
  // Passes ATimeoutMs from now.
  explicit TDeadline(uint32_t ATimeoutMs, TTickSource ATicks = DefaultTickSource());
  // A deadline that never passes: a wait without a limit.
  static TDeadline Never();

  bool IsNever() const { return FNever; }
  uint32_t ElapsedMs() const;
  // 0 once the deadline has passed; UINT32_MAX for Never.
  uint32_t RemainingMs() const;
  bool Expired() const { return !FNever && RemainingMs() == 0; }
  // The same span again from now (a wait that made progress starts over).
  void Restart();
  // The remaining time as poll() takes it: -1 for Never, at most INT_MAX.
  int PollTimeoutMs() const;

 private:
  TDeadline() = default;

  TTickSource FTicks;
  uint32_t FStart = 0;
  uint32_t FTimeoutMs = 0;
  bool FNever = false;
};

// The one wait on descriptors. Waits until one of AFds is ready or ADeadline
// passes. A signal does not end the wait: it goes on for the time that is left.
// Returns the number of ready descriptors (> 0), 0 when the deadline passed
// first, -1 on an error (errno tells). Negative descriptors are left out, as
// poll() does.
int PollUntil(pollfd* AFds, size_t ACount, const TDeadline& ADeadline);

// PollUntil on one descriptor: its revents (> 0), 0 when the deadline passed
// first, -1 on an error. AEvents 0 still reports hang-ups and errors.
int PollOne(int AFd, short AEvents, const TDeadline& ADeadline);

// Waits until one of AFds is readable (or hung up) or ADeadline passes: the index
// of the first such descriptor, -1 after the deadline or on an error.
int WaitReadable(std::initializer_list<int> AFds, const TDeadline& ADeadline);

}  // namespace orvane
