#include "platform/fd_watcher.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/deadline.h"

namespace orvane {

namespace {

// How soon bytes a handler left unread are looked at again for growth.
constexpr int UNREAD_RECHECK_MS = 100;
// An emptied queue keeps at most this much memory.
constexpr size_t KEPT_CAPACITY = 65536;

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

TFdWatcher::TFdWatcher(TMainDispatcher& ADispatcher, IFdWatchClient& AClient, TUniqueFd&& AFd,
                       TEventGate* AGate)
    : FDispatcher(ADispatcher), FClient(AClient), FGate(AGate), FFd(std::move(AFd)) {}

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
  if (FGate != nullptr) {
    if (FLive) FGate->Run(ACall);
    return;
  }
  FDispatcher.Post([this, owner = FOwner, call = std::move(ACall)] {
    // The owner, and with it this watcher, stays alive while the call runs.
    const std::shared_ptr<void> alive = owner.lock();
    if (alive && FLive) call();
  });
}

void TFdWatcher::Run() {
  const int fd = FFd.Get();
  bool timedOut = false;
  bool inputOnly = false;
  // The last wait included input on the data descriptor.
  bool inputWatched = false;
  while (!FStop) {
    TWatchTurn turn;
    turn.TimedOut = timedOut;
    turn.InputOnly = inputOnly;
    FClient.Look(turn);
    const bool outputWaits = ServeOutput();
    // Bytes an application wrote before closing are still delivered. A wait for
    // input that ran out found none: an idle port is not asked.
    int32_t waiting = timedOut && inputWatched ? 0 : BytesWaiting(fd);
    if (FRx.ShouldRaise(waiting)) {
      RaiseRxChar(waiting);
      // Served here and now: what came meanwhile ends the wait below at once.
      if (FGate != nullptr) waiting = FRx.Left;
    }

    short events = FRx.WantsInput(waiting) ? POLLIN : 0;
    // Room on the device wakes the watcher to write more.
    if (outputWaits) events |= POLLOUT;
    int timeout = turn.TimeoutMs;
    // Unread bytes: look again for more after a while.
    if (waiting > 0 && !FRx.Pending)
      timeout = timeout < 0 ? UNREAD_RECHECK_MS : std::min(timeout, UNREAD_RECHECK_MS);

    pollfd fds[3] = {
        {FWake.Fd(), POLLIN, 0}, {turn.ExtraFd, POLLIN, 0}, {turn.WatchData ? fd : -1, events, 0}};
    const TDeadline deadline = timeout < 0 ? TDeadline::Never() : TDeadline(static_cast<uint32_t>(timeout));
    const int ready = PollUntil(fds, 3, deadline);
    if (ready <= 0) fds[0].revents = fds[1].revents = fds[2].revents = 0;
    timedOut = ready == 0;
    inputOnly = ready > 0 && fds[0].revents == 0 && fds[1].revents == 0 &&
                (fds[2].revents & ~(POLLIN | POLLOUT)) == 0 && (fds[2].revents & POLLIN) != 0;
    inputWatched = turn.WatchData && (events & POLLIN) != 0;
    if (fds[0].revents & POLLIN) FWake.Drain();
    FClient.Ready(fds[2].revents);
  }
}

void TFdWatcher::RaiseRxChar(int32_t ACount) {
  if (FGate != nullptr) {
    const uint64_t readBefore = FRx.BytesRead;
    if (FLive) FGate->Run([this, ACount] { FClient.RxChar(ACount); });
    // What the handler left unread is what it was told of; more that came is
    // seen by the next turn as a change.
    FRx.Done(readBefore, ACount);
    return;
  }
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
  // EAGAIN: nothing waiting; anything else the client judges.
  if (n < 0 && errno != EAGAIN) FClient.ReadFailed(errno);
  const int32_t count = n > 0 ? static_cast<int32_t>(n) : 0;
  FRx.BytesRead += static_cast<uint64_t>(count);
  return count;
}

int32_t TFdWatcher::Queue(const void* AData, int32_t ACount) {
  if (ACount <= 0) return 0;
  const auto* data = static_cast<const uint8_t*>(AData);
  std::lock_guard<std::mutex> guard(FIoLock);
  // After a failure the bytes count as dropped, but the episode was told already.
  if (FWriteError != 0) {
    FDropped += static_cast<uint64_t>(ACount);
    return 0;
  }
  if (!FClient.MayWrite()) return 0;
  size_t done = 0;
  const size_t count = static_cast<size_t>(ACount);
  // Straight to the device while nothing is queued: no hop through the watcher.
  while (PendingLocked() == 0 && done < count) {
    const ssize_t n = ::write(FFd.Get(), data + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno != EAGAIN) {
      LoseLocked(count - done, errno);
      FWriteError = errno;
      FWake.Signal();  // the watcher reports the loss
      return static_cast<int32_t>(done);
    } else {
      break;
    }
  }
  if (done == count) return ACount;
  const size_t room = OUTPUT_LIMIT - std::min(OUTPUT_LIMIT, PendingLocked());
  const size_t queued = std::min(room, count - done);
  if (queued > 0) {
    const bool wasEmpty = PendingLocked() == 0;
    // Written bytes are shifted out only when that halves the buffer at least.
    if (FOutHead > 0 && FOutHead >= PendingLocked()) {
      FOut.erase(FOut.begin(), FOut.begin() + static_cast<std::ptrdiff_t>(FOutHead));
      FOutHead = 0;
    }
    FOut.insert(FOut.end(), data + done, data + done + queued);
    // The watcher adds the device's room to its wait.
    if (wasEmpty) FWake.Signal();
  }
  if (done + queued < count) LoseLocked(count - done - queued, ENOBUFS);
  return static_cast<int32_t>(done + queued);
}

void TFdWatcher::DiscardOutput(const std::unique_lock<std::mutex>& AIoLock) {
  (void)AIoLock;
  FWriteError = 0;
  FOut.clear();
  FOutHead = 0;
  if (FOut.capacity() > KEPT_CAPACITY) FOut.shrink_to_fit();
}

size_t TFdWatcher::QueuedBytes() {
  std::lock_guard<std::mutex> guard(FIoLock);
  return PendingLocked();
}

uint64_t TFdWatcher::DroppedBytes() {
  std::lock_guard<std::mutex> guard(FIoLock);
  return FDropped;
}

int TFdWatcher::WriteError() {
  std::lock_guard<std::mutex> guard(FIoLock);
  return FWriteError;
}

void TFdWatcher::LoseLocked(uint64_t ACount, int AError) {
  if (ACount == 0) return;
  // A failed write says more than a full queue: its errno is the one told.
  if (FLost == 0 || FLostError == ENOBUFS) FLostError = AError;
  FLost += ACount;
  FDropped += ACount;
}

void TFdWatcher::FailLocked(int AError) {
  LoseLocked(PendingLocked(), AError);
  FWriteError = AError;
  FOut.clear();
  FOutHead = 0;
  // The next turn shows the client the failure, whatever this one waits on.
  FWake.Signal();
}

void TFdWatcher::DrainLocked() {
  if (PendingLocked() == 0 || FWriteError != 0) return;
  if (!FClient.MayWrite()) {
    // Nobody to take them any more: dropped like any byte for a port nobody holds.
    FOut.clear();
    FOutHead = 0;
  }
  while (PendingLocked() > 0) {
    const ssize_t n = ::write(FFd.Get(), FOut.data() + FOutHead, PendingLocked());
    if (n > 0) {
      FOutHead += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n < 0 && errno != EAGAIN) FailLocked(errno);
      break;
    }
  }
  if (PendingLocked() == 0) {
    FOut.clear();
    FOutHead = 0;
    if (FOut.capacity() > KEPT_CAPACITY) FOut.shrink_to_fit();
  }
}

bool TFdWatcher::ServeOutput() {
  uint64_t lost = 0;
  int error = 0;
  bool waits = false;
  {
    std::lock_guard<std::mutex> guard(FIoLock);
    DrainLocked();
    waits = PendingLocked() > 0;
    // An episode is over once the queue has room to spare again; one report
    // per episode, not one per refused write.
    if (FLost > 0 && PendingLocked() <= OUTPUT_LIMIT / 2) {
      lost = std::exchange(FLost, 0);
      error = std::exchange(FLostError, 0);
    }
  }
  if (lost > 0) Post([this, lost, error] { FClient.OutputDropped(lost, error); });
  return waits;
}

}  // namespace orvane
