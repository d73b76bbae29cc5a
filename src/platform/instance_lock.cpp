#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>

namespace orvane {

TInstanceLock::TInstanceLock(const std::string& APath) {
  TUniqueFd fd(::open(APath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.Valid()) {
    FError = "open " + APath + ": " + std::strerror(errno);
    return;
  }
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    FHeldElsewhere = errno == EWOULDBLOCK;
    FError = "lock " + APath + ": " + std::strerror(errno);
    return;
  }
  FFd = std::move(fd);
}

}  // namespace orvane
