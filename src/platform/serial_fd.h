#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace orvane {

// An owned file descriptor, closed on destruction.
class TSerialFd {
 public:
  TSerialFd() = default;
  explicit TSerialFd(int AFd) : FFd(AFd) {}
  ~TSerialFd() { Reset(); }
  TSerialFd(TSerialFd&& AOther) noexcept : FFd(std::exchange(AOther.FFd, -1)) {}
  TSerialFd& operator=(TSerialFd&& AOther) noexcept {
    if (this != &AOther) {
      Reset();
      FFd = std::exchange(AOther.FFd, -1);
    }
    return *this;
  }
  TSerialFd(const TSerialFd&) = delete;
  TSerialFd& operator=(const TSerialFd&) = delete;

  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  void Reset(int AFd = -1);

 private:
  int FFd = -1;
};

// An eventfd that wakes a watcher thread out of poll().
class TWakeEvent {
 public:
  TWakeEvent();  // throws std::system_error when no eventfd can be made
  int Fd() const { return FFd.Get(); }
  void Signal();
  void Drain();

 private:
  TSerialFd FFd;
};

// Result of one poll() of a watcher: which descriptors became ready.
struct TWatchReady {
  bool Wake = false;
  short Revents = 0;  // of ADataFd
};

// Waits for AWake or for AEvents on ADataFd (ADataFd < 0: only AWake) up to
// ATimeoutMs; EINTR counts as a timeout.
TWatchReady WatchWait(const TWakeEvent& AWake, int ADataFd, short AEvents, int ATimeoutMs);

// Paces the received-bytes notification: the watcher raises the next one only
// after the previous ran on the main thread, and not again for bytes the
// handler left unread until more arrive, so an unread port does not spin.
struct TRxGate {
  std::atomic<bool> Pending{false};
  std::atomic<int32_t> Left{0};
  std::atomic<uint64_t> BytesRead{0};

  // Watcher: raise a notification for AWaiting bytes now? Marks it pending.
  bool ShouldRaise(int32_t AWaiting);
  // Watcher: may poll wait for input (nothing waiting, nothing pending)?
  bool WantsInput(int32_t AWaiting) const { return !Pending && AWaiting == 0; }
  // Main thread, after the handler; AReadBefore is BytesRead before it ran.
  void Done(uint64_t AReadBefore, int32_t AWaitingAfter);
};

// Bytes waiting to be read on a tty descriptor; 0 when the query fails.
int32_t BytesWaiting(int AFd);

}  // namespace orvane
