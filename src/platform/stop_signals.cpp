#include "platform/stop_signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

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

void IgnoreBrokenPipes() {
  ::signal(SIGPIPE, SIG_IGN);
}

int TStopSignals::Take() {
  signalfd_siginfo info{};
  const ssize_t n = ::read(FFd.Get(), &info, sizeof info);
  return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

}  // namespace orvane
