#pragma once

#include "platform/unique_fd.h"

namespace orvane {

// SIGINT and SIGTERM as a readable descriptor (signalfd), so that a main loop
// shuts down in its own order instead of inside a signal handler. Construct it
// on the main thread before any other thread starts: the two signals are
// blocked in the constructing thread and inherited blocked by every thread
// started after it. The destructor consumes those that came and unblocks them again.
// Threads: one owner (the main thread).
class TStopSignals {
 public:
  TStopSignals();  // throws std::system_error when no signalfd can be made
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  int Fd() const { return FFd.Get(); }
  // The signal that arrived (SIGINT or SIGTERM), 0 when none is pending.
  int Take();

 private:
  TUniqueFd FFd;
};

// A write into a pipe or socket whose reader went away fails with EPIPE
// instead of ending the process: the service ends in its own order.
void IgnoreBrokenPipes();

}  // namespace orvane
