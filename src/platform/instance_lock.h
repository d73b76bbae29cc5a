#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace orvane {

// An exclusive lock on a lock file, held for the object's life. The kernel
// drops it when the process ends in any way, so a crash leaves nothing stale.
// Threads: one owner.
class TInstanceLock {
 public:
  // Creates the file when missing and tries the lock without waiting.
  explicit TInstanceLock(const std::string& APath);

  bool Held() const { return FFd.Valid(); }
  // Why the lock is not held: another holder, or the file could not be opened.
  const std::string& Error() const { return FError; }
  bool HeldElsewhere() const { return FHeldElsewhere; }

 private:
  TUniqueFd FFd;
  std::string FError;
  bool FHeldElsewhere = false;
};

}  // namespace orvane
