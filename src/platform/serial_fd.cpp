#include "platform/serial_fd.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace orvane {

void TSerialFd::Reset(int AFd) {
  if (FFd >= 0) ::close(FFd);
  FFd = AFd;
}

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

TWatchReady WatchWait(const TWakeEvent& AWake, int ADataFd, short AEvents, int ATimeoutMs) {
  pollfd fds[2] = {{AWake.Fd(), POLLIN, 0}, {ADataFd, AEvents, 0}};
  const nfds_t count = ADataFd >= 0 ? 2 : 1;
  TWatchReady ready;
  if (::poll(fds, count, ATimeoutMs) <= 0) return ready;
  ready.Wake = (fds[0].revents & POLLIN) != 0;
  if (count == 2) ready.Revents = fds[1].revents;
  return ready;
}

bool TRxGate::ShouldRaise(int32_t AWaiting) {
  if (AWaiting <= 0) {
    Left = 0;
    return false;
  }
  if (Pending || AWaiting == Left) return false;
  Pending = true;
  return true;
}

void TRxGate::Done(uint64_t AReadBefore, int32_t AWaitingAfter) {
  // A handler that read something hears again about what is left; one that
  // read nothing hears only when more bytes come.
  Left = (AWaitingAfter <= 0 || BytesRead != AReadBefore) ? 0 : AWaitingAfter;
  Pending = false;
}

int32_t BytesWaiting(int AFd) {
  int count = 0;
  if (::ioctl(AFd, FIONREAD, &count) < 0 || count < 0) return 0;
  return count;
}

}  // namespace orvane
