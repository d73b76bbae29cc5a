#include "platform/deadline.h"

#include <poll.h>

#include <cerrno>
#include <climits>

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

}  // namespace orvane
