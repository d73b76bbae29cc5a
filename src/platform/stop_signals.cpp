#include "platform/stop_signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <vector>

namespace orvane {

namespace {

sigset_t StopSet() {
  sigset_t set;
  ::sigemptyset(&set);
  ::sigaddset(&set, SIGINT);
  ::sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

TStopSignals::TStopSignals() {
  const sigset_t set = StopSet();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  FFd.Reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!FFd.Valid()) {
    const int error = errno;
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    throw std::system_error(error, std::generic_category(), "signalfd");
  }
}

TStopSignals::~TStopSignals() {
  // A signal taken as the stop request but not read would end the process the
  // moment it is unblocked.
  while (Take() != 0) {
  }
  FFd.Reset();
  const sigset_t set = StopSet();
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int TStopSignals::Take() {
  signalfd_siginfo info{};
  const ssize_t n = ::read(FFd.Get(), &info, sizeof info);
  return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

int WaitReadable(std::initializer_list<int> AFds, int ATimeoutMs) {
  std::vector<pollfd> fds;
  for (const int fd : AFds) fds.push_back({fd, POLLIN, 0});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  for (;;) {
    int timeout = ATimeoutMs;
    if (ATimeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    const int rc = ::poll(fds.data(), fds.size(), timeout);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return -1;
    for (size_t i = 0; i < fds.size(); ++i)
      if (fds[i].revents != 0) return static_cast<int>(i);
    return -1;
  }
}

}  // namespace orvane
