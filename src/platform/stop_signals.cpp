#include "platform/stop_signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace orvane {

namespace {

sigset_t SetOf(const std::vector<int>& ASignals) {
  sigset_t set;
  ::sigemptyset(&set);
  for (const int signal : ASignals) ::sigaddset(&set, signal);
  return set;
}

}  // namespace

TSignalFd::TSignalFd(std::initializer_list<int> ASignals) : FSignals(ASignals) {
  const sigset_t set = SetOf(FSignals);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  FFd.Reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!FFd.Valid()) {
    const int error = errno;
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    throw std::system_error(error, std::generic_category(), "signalfd");
  }
}

TSignalFd::~TSignalFd() {
  // A signal taken as a request but not read would act the default way (end
  // the process) the moment it is unblocked.
  while (Take() != 0) {
  }
  FFd.Reset();
  const sigset_t set = SetOf(FSignals);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int TSignalFd::Take() {
  signalfd_siginfo info{};
  const ssize_t n = ::read(FFd.Get(), &info, sizeof info);
  return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

TStopSignals::TStopSignals() : TSignalFd({SIGINT, SIGTERM}) {}

TReloadSignal::TReloadSignal() : TSignalFd({SIGHUP}) {}

void IgnoreBrokenPipes() {
  ::signal(SIGPIPE, SIG_IGN);
}

void IgnoreHangUps() {
  ::signal(SIGHUP, SIG_IGN);
}

}  // namespace orvane
