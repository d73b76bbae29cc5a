#pragma once

#include "platform/unique_fd.h"

namespace orvane {

// An eventfd that wakes a thread out of its wait: readable from the first
// Signal until Drain.
// Threads: Signal from any thread; Drain on the waiting thread.
class TWakeEvent {
 public:
  TWakeEvent();  // throws std::system_error when no eventfd can be made
  int Fd() const { return FFd.Get(); }
  void Signal();
  void Drain();

 private:
  TUniqueFd FFd;
};

}  // namespace orvane
