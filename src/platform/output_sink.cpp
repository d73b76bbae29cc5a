#include "platform/output_sink.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/deadline.h"

namespace orvane {

namespace {

[[noreturn]] void ThrowErrno(const char* AWhat) {
  throw std::system_error(errno, std::generic_category(), AWhat);
}

}  // namespace

TOutputSink::TOutputSink(int AFd, std::string AName, size_t ALimit)
    : FName(std::move(AName)), FLimit(ALimit) {
  struct stat st {};
  if (::fstat(AFd, &st) != 0) ThrowErrno("fstat");
  const int flags = ::fcntl(AFd, F_GETFL);
  if (flags < 0) ThrowErrno("fcntl");
  FIsSocket = S_ISSOCK(st.st_mode);
  if (!FIsSocket && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    // A pipe or a terminal opened afresh is a description of its own, so
    // O_NONBLOCK does not reach whoever shares the caller's (a shell).
    const std::string self = "/proc/self/fd/" + std::to_string(AFd);
    FFd.Reset(::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (flags & O_APPEND)));
  }
  if (!FFd.Valid()) {
    // A file never holds a writer for long; a socket is sent to without
    // waiting (MSG_DONTWAIT); anything else that could not be opened afresh is
    // made non-blocking in place, and put back at the end.
    FFd.Reset(::fcntl(AFd, F_DUPFD_CLOEXEC, 0));
    if (!FFd.Valid()) ThrowErrno("dup");
    if (!FIsSocket && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode) && (flags & O_NONBLOCK) == 0 &&
        ::fcntl(FFd.Get(), F_SETFL, flags | O_NONBLOCK) == 0)
      FRestoreFlags = flags;
  }
  try {
    FThread = std::thread([this] { Run(); });
  } catch (...) {
    if (FRestoreFlags >= 0) ::fcntl(FFd.Get(), F_SETFL, FRestoreFlags);
    throw;
  }
}

TOutputSink::~TOutputSink() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FStop = true;
  }
  FWake.Signal();
  FThread.join();
  if (FRestoreFlags >= 0) ::fcntl(FFd.Get(), F_SETFL, FRestoreFlags);
}

std::string TOutputSink::CountLine(uint64_t ACount) const {
  return FName + ": dropped [" + std::to_string(ACount) + "] lines, the output was not read in time\n";
}

void TOutputSink::Add(std::string_view ALine) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(FLock);
    // The thread waits for the descriptor only while bytes are pending; else for this.
    wake = PendingLocked() == 0;
    // The count goes before the first line that gets through, so the lines keep their order.
    if (FDropRun > 0 && !FBroken && RoomLocked(CountLine(FDropRun).size() + ALine.size() + 1)) {
      FBuffer += CountLine(FDropRun);
      FDropRun = 0;
    }
    if (FBroken || FDropRun > 0 || !RoomLocked(ALine.size() + 1)) {
      ++FDropped;
      ++FDropRun;
      wake = false;
    } else {
      FBuffer.append(ALine);
      FBuffer += '\n';
    }
  }
  if (wake) FWake.Signal();
}

uint64_t TOutputSink::Dropped() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FDropped;
}

bool TOutputSink::WriteLocked() {
  bool progress = false;
  while (!FBroken && PendingLocked() > 0) {
    const char* data = FBuffer.data() + FHead;
    const size_t size = PendingLocked();
    const ssize_t n = FIsSocket ? ::send(FFd.Get(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                : ::write(FFd.Get(), data, size);
    if (n > 0) {
      FHead += static_cast<size_t>(n);
      progress = true;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      // The reader went away or the descriptor fails: what waits is lost.
      const auto lost = static_cast<uint64_t>(
          std::count(FBuffer.begin() + static_cast<ptrdiff_t>(FHead), FBuffer.end(), '\n'));
      FDropped += lost;
      FBroken = true;
      FHead = FBuffer.size();
    }
  }
  if (FHead == FBuffer.size()) {
    FBuffer.clear();
    FHead = 0;
  } else if (FHead > FLimit) {
    FBuffer.erase(0, FHead);
    FHead = 0;
  }
  // Output flows again: the count of the lines dropped meanwhile, when it fits.
  if (progress && FDropRun > 0 && !FBroken && RoomLocked(CountLine(FDropRun).size())) {
    FBuffer += CountLine(FDropRun);
    FDropRun = 0;
  }
  return !FBroken && PendingLocked() > 0;
}

void TOutputSink::Run() {
  // A write into a pipe whose reader is gone raises SIGPIPE in the writing
  // thread; held off here, the write fails with EPIPE instead.
  sigset_t held;
  sigemptyset(&held);
  sigaddset(&held, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &held, nullptr);
  for (;;) {
    bool pending = false;
    {
      std::lock_guard<std::mutex> guard(FLock);
      pending = WriteLocked();
      if (FStop) return;
    }
    pollfd fds[2] = {{FWake.Fd(), POLLIN, 0}, {pending ? FFd.Get() : -1, POLLOUT, 0}};
    PollUntil(fds, 2, TDeadline::Never());
    if (fds[0].revents != 0) FWake.Drain();
  }
}

}  // namespace orvane
