#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace orvane {

// Tells the service manager how the service is doing ("READY=1",
// "STATUS=…", "STOPPING=1"): one datagram to the socket NOTIFY_SOCKET names
// ("@name" for the abstract namespace). Without a socket it does nothing.
// Threads: one thread (the service's main thread) uses it.
class TServiceNotify {
 public:
  // ASocketPath: NOTIFY_SOCKET of the environment, empty when unset.
  explicit TServiceNotify(std::string ASocketPath);

  bool Enabled() const { return FFd.Valid(); }
  // Sends AState ("KEY=value" lines) without waiting; false when it could not.
  bool Send(const std::string& AState);

 private:
  std::string FPath;
  TUniqueFd FFd;
};

// NOTIFY_SOCKET of this process's environment, empty when unset.
std::string NotifySocketOfEnvironment();

// Whether standard output goes to the journal: JOURNAL_STREAM names its
// device and inode ("<device>:<inode>", as the service manager sets it).
bool StdoutIsJournal();

}  // namespace orvane
