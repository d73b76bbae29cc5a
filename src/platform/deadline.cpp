#include "platform/deadline.h"

#include <poll.h>

#include <cerrno>
#include <climits>
#include <iterator>

namespace orvane {

TDeadline::TDeadline(uint32_t ATimeoutMs, TTickSource ATicks)
    : FTicks(std::move(ATicks)), FTimeoutMs(ATimeoutMs) {
  if (!FTicks) FTicks = DefaultTickSource();
  FStart = FTicks();
}

TDeadline TDeadline::Never() {
  TDeadline never;
  never.FTicks = DefaultTickSource();
  never.FStart = never.FTicks();
  never.FNever = true;
  return never;
}

uint32_t TDeadline::ElapsedMs() const {
  // Unsigned subtraction: right across the wrap of the 32-bit counter.
  return static_cast<uint32_t>(FTicks() - FStart);
}

uint32_t TDeadline::RemainingMs() const {
  if (FNever) return UINT32_MAX;
  const uint32_t elapsed = ElapsedMs();
  return elapsed >= FTimeoutMs ? 0 : FTimeoutMs - elapsed;
}

void TDeadline::Restart() {
  FStart = FTicks();
}

int TDeadline::PollTimeoutMs() const {
  if (FNever) return -1;
  const uint32_t remaining = RemainingMs();
  return remaining > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(remaining);
}

int PollUntil(pollfd* AFds, size_t ACount, const TDeadline& ADeadline) {
  for (;;) {
    const int rc = ::poll(AFds, static_cast<nfds_t>(ACount), ADeadline.PollTimeoutMs());
    // A signal is no timeout and no error: wait again for what is left.
    if (rc >= 0 || errno != EINTR) return rc;
  }
}

int PollOne(int AFd, short AEvents, const TDeadline& ADeadline) {
  pollfd pfd{AFd, AEvents, 0};
  const int rc = PollUntil(&pfd, 1, ADeadline);
  return rc > 0 ? pfd.revents : rc;
}

int WaitReadable(std::initializer_list<int> AFds, const TDeadline& ADeadline) {
  pollfd fds[8];
  size_t count = 0;
  for (const int fd : AFds) {
    if (count == std::size(fds)) break;
    fds[count++] = {fd, POLLIN, 0};
  }
  if (PollUntil(fds, count, ADeadline) <= 0) return -1;
  for (size_t i = 0; i < count; ++i)
    if (fds[i].revents != 0) return static_cast<int>(i);
  return -1;
}

}  // namespace orvane
