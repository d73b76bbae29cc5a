#pragma once

#include <initializer_list>
#include <vector>

#include "platform/unique_fd.h"

namespace orvane {

// Signals as a readable descriptor (signalfd), so that a main loop acts on
// them in its own order instead of inside a signal handler. Construct it on
// the main thread before any other thread starts: the signals are blocked in
// the constructing thread and inherited blocked by every thread started after
// it. The destructor consumes those that came and unblocks them again.
// Threads: one owner (the main thread).
class TSignalFd {
 public:
  // Throws std::system_error when no signalfd can be made.
  explicit TSignalFd(std::initializer_list<int> ASignals);
  ~TSignalFd();
  TSignalFd(const TSignalFd&) = delete;
  TSignalFd& operator=(const TSignalFd&) = delete;

  int Fd() const { return FFd.Get(); }
  // The signal that arrived, 0 when none is pending.
  int Take();

 private:
  TUniqueFd FFd;
  const std::vector<int> FSignals;
};

// SIGINT and SIGTERM: the stop request.
class TStopSignals : public TSignalFd {
 public:
  TStopSignals();
};

// SIGHUP: the service reads its configuration again.
class TReloadSignal : public TSignalFd {
 public:
  TReloadSignal();
};

// A write into a pipe or socket whose reader went away fails with EPIPE
// instead of ending the process: the service ends in its own order.
void IgnoreBrokenPipes();
// A hang-up (a closed terminal, a reload request meant for the service)
// does not end the window: its port list is edited in the window.
void IgnoreHangUps();

}  // namespace orvane
