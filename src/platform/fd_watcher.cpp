#include "platform/fd_watcher.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace orvane {

namespace {

// How soon bytes a handler left unread are looked at again for growth.
constexpr int UNREAD_RECHECK_MS = 100;

}  // namespace

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

TFdWatcher::TFdWatcher(TMainDispatcher& ADispatcher, IFdWatchClient& AClient, TUniqueFd&& AFd)
    : FDispatcher(ADispatcher), FClient(AClient), FFd(std::move(AFd)) {}

TFdWatcher::~TFdWatcher() {
  Stop();
}

void TFdWatcher::Start(std::weak_ptr<void> AOwner) {
  FOwner = std::move(AOwner);
  FThread = std::thread([this] { Run(); });
}

void TFdWatcher::Stop() {
  FLive = false;
  FStop = true;
  FWake.Signal();
  if (FThread.joinable()) FThread.join();
}

void TFdWatcher::Post(std::function<void()> ACall) {
  FDispatcher.Post([this, owner = FOwner, call = std::move(ACall)] {
    // The owner, and with it this watcher, stays alive while the call runs.
    const std::shared_ptr<void> alive = owner.lock();
    if (alive && FLive) call();
  });
}

void TFdWatcher::Run() {
  const int fd = FFd.Get();
  while (!FStop) {
    TWatchTurn turn;
    FClient.Look(turn);
    // Bytes an application wrote before closing are still delivered.
    const int32_t waiting = BytesWaiting(fd);
    if (FRx.ShouldRaise(waiting)) RaiseRxChar(waiting);

    short events = FRx.WantsInput(waiting) ? POLLIN : 0;
    if (turn.WantWritable) events |= POLLOUT;
    int timeout = turn.TimeoutMs;
    // Unread bytes: look again for more after a while.
    if (waiting > 0 && !FRx.Pending)
      timeout = timeout < 0 ? UNREAD_RECHECK_MS : std::min(timeout, UNREAD_RECHECK_MS);

    pollfd fds[3] = {
        {FWake.Fd(), POLLIN, 0}, {turn.ExtraFd, POLLIN, 0}, {turn.WatchData ? fd : -1, events, 0}};
    const TDeadline deadline = timeout < 0 ? TDeadline::Never() : TDeadline(static_cast<uint32_t>(timeout));
    if (PollUntil(fds, 3, deadline) <= 0) fds[0].revents = fds[2].revents = 0;
    if (fds[0].revents & POLLIN) FWake.Drain();
    FClient.Ready(fds[2].revents);
  }
}

void TFdWatcher::RaiseRxChar(int32_t ACount) {
  Post([this, ACount] {
    // Re-arms the watcher even when the handler throws.
    struct TRearm {
      TFdWatcher& Self;
      uint64_t ReadBefore;
      ~TRearm() {
        Self.FRx.Done(ReadBefore, BytesWaiting(Self.FFd.Get()));
        Self.FWake.Signal();
      }
    } rearm{*this, FRx.BytesRead};
    // The handler may close or destroy the port: only the watcher, kept alive
    // by Post, is touched afterwards.
    FClient.RxChar(ACount);
  });
}

int32_t TFdWatcher::Read(void* ABuffer, int32_t ACount) {
  if (ACount <= 0) return 0;
  ssize_t n;
  do {
    n = ::read(FFd.Get(), ABuffer, static_cast<size_t>(ACount));
  } while (n < 0 && errno == EINTR);
  // EAGAIN: nothing waiting; EIO on a pty master: the application closed and everything was read.
  const int32_t count = n > 0 ? static_cast<int32_t>(n) : 0;
  FRx.BytesRead += static_cast<uint64_t>(count);
  return count;
}

TWriteResult TFdWatcher::Write(const void* AData, int32_t ACount, const TDeadline& ADeadline,
                               const std::function<bool()>& AMayWrite) {
  TWriteResult result;
  const auto* data = static_cast<const uint8_t*>(AData);
  const int fd = FFd.Get();
  while (result.Written < ACount) {
    ssize_t n;
    {
      std::lock_guard<std::mutex> guard(FIoLock);
      if (AMayWrite && !AMayWrite()) {
        result.End = TWriteEnd::Refused;
        break;
      }
      n = ::write(fd, data + result.Written, static_cast<size_t>(ACount - result.Written));
    }
    if (n > 0) {
      result.Written += static_cast<int32_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      result.End = TWriteEnd::Failed;
      result.Error = errno;
      break;
    }
    if (ADeadline.Expired()) {
      result.End = TWriteEnd::TimedOut;
      break;
    }
    // A hang-up ends the wait as well; the next turn sees it.
    const int revents = PollOne(fd, POLLOUT, ADeadline);
    if (revents > 0 && (revents & (POLLERR | POLLNVAL))) {
      result.End = TWriteEnd::DeviceError;
      break;
    }
  }
  return result;
}

}  // namespace orvane
