#include "platform/wake_event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace orvane {

TWakeEvent::TWakeEvent() : FFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!FFd.Valid()) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void TWakeEvent::Signal() {
  const uint64_t one = 1;
  // A full counter still leaves the descriptor readable, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t n = ::write(FFd.Get(), &one, sizeof one);
}

void TWakeEvent::Drain() {
  uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = ::read(FFd.Get(), &value, sizeof value);
}

}  // namespace orvane
