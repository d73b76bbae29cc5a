#pragma once

#include <chrono>
#include <string>

#include "support/fd_helpers.h"

namespace orvane::test {

// The service manager's end of the notification socket: a datagram socket
// bound to APath (a file path, or "@name" for the abstract namespace).
class TNotifySocket {
 public:
  explicit TNotifySocket(const std::string& APath);
  bool Valid() const { return FFd.Valid(); }
  // The next datagram, or empty when none came before the deadline.
  std::string Receive(std::chrono::milliseconds ADeadline = std::chrono::seconds(10));

 private:
  TTestFd FFd;
};

}  // namespace orvane::test
