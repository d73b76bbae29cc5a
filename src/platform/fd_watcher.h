#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/deadline.h"
#include "platform/main_dispatcher.h"
#include "platform/unique_fd.h"
#include "platform/wake_event.h"

namespace orvane {

// What a port asks of the watcher's next wait; set afresh every turn.
struct TWatchTurn {
  // Wait on the data descriptor (one that reports a hang-up would end every wait at once).
  bool WatchData = true;
  // Another descriptor whose input ends the wait (-1: none).
  int ExtraFd = -1;
  // Longest wait; -1: until something happens.
  int TimeoutMs = -1;
  // Wake when the data descriptor takes output, for a port that has output
  // waiting to be drained; Ready then sees POLLOUT.
  bool WantWritable = false;
};

// The port's side of a watcher.
class IFdWatchClient {
 public:
  virtual ~IFdWatchClient() = default;
  // Watcher thread, at the start of every turn: looks at the device, posts
  // events, plans the wait.
  virtual void Look(TWatchTurn& ATurn) = 0;
  // Watcher thread, after the wait: what the data descriptor reported (poll
  // revents; 0 when it was not watched or nothing happened).
  virtual void Ready(short ARevents) = 0;
  // Main thread: ACount > 0 bytes are waiting. Raised again only once this one
  // has run, and then only when the handler read something or more came.
  virtual void RxChar(int32_t ACount) = 0;
};

// How a Write ended.
enum class TWriteEnd { Done, Refused, TimedOut, Failed, DeviceError };

struct TWriteResult {
  int32_t Written = 0;
  TWriteEnd End = TWriteEnd::Done;
  int Error = 0;  // errno for Failed
};

// Paces the received-bytes notification: the watcher raises the next one only
// after the previous ran on the main thread, and not again for bytes the
// handler left unread until more arrive, so an unread port does not spin.
struct TRxGate {
  std::atomic<bool> Pending{false};
  std::atomic<int32_t> Left{0};
  std::atomic<uint64_t> BytesRead{0};

  // Watcher: raise a notification for AWaiting bytes now? Marks it pending.
  bool ShouldRaise(int32_t AWaiting);
  // Watcher: may the wait include input (nothing waiting, nothing pending)?
  bool WantsInput(int32_t AWaiting) const { return !Pending && AWaiting == 0; }
  // Main thread, after the handler; AReadBefore is BytesRead before it ran.
  void Done(uint64_t AReadBefore, int32_t AWaitingAfter);
};

// Bytes waiting to be read on a tty descriptor; 0 when the query fails.
int32_t BytesWaiting(int AFd);

// One open device (a pty master, a serial port) and the thread that watches
// it: every turn the client looks at the device, the watcher raises the
// received-characters notification, then sleeps on the device, a wake-up
// event and the client's deadline. Events go to the main thread through the
// dispatcher and are dropped once Stop has run or the owner has gone.
// Reads and writes of the port go through here, so the notification is paced
// by what the handler really read.
// Threads: Start and Stop on the main thread; Post, Read, Write and LockIo
// from any thread; Look and Ready run on the watcher thread, RxChar and posted
// calls on the main thread. FIoLock orders writes against the client's own
// use of the device under LockIo.
class TFdWatcher {
 public:
  // Takes AFd; when the construction fails (std::system_error: no eventfd),
  // AFd is left with the caller.
  TFdWatcher(TMainDispatcher& ADispatcher, IFdWatchClient& AClient, TUniqueFd&& AFd);
  // Stops the thread (the client must outlive it, so declare the watcher last).
  ~TFdWatcher();
  TFdWatcher(const TFdWatcher&) = delete;
  TFdWatcher& operator=(const TFdWatcher&) = delete;

  // Starts the thread; throws std::system_error when it cannot. Posted calls
  // hold AOwner (the object that holds this watcher) while they run and are
  // dropped once it has gone.
  void Start(std::weak_ptr<void> AOwner);
  // Events queued so far are dropped from here on; the thread has ended when this returns.
  void Stop();

  int Fd() const { return FFd.Get(); }
  // Runs ACall on the main thread unless the watcher is stopped by then.
  void Post(std::function<void()> ACall);
  // Makes the watcher look again at once.
  void Wake() { FWake.Signal(); }

  // Up to ACount bytes without waiting; the count read (0 when none).
  int32_t Read(void* ABuffer, int32_t ACount);
  // Writes until every byte is taken or ADeadline passes, waiting for room in
  // between. AMayWrite, asked under the I/O lock before each write, can refuse.
  TWriteResult Write(const void* AData, int32_t ACount, const TDeadline& ADeadline,
                     const std::function<bool()>& AMayWrite = {});
  // Holds off writes while the client works on the device.
  std::unique_lock<std::mutex> LockIo() { return std::unique_lock<std::mutex>(FIoLock); }

 private:
  void Run();
  void RaiseRxChar(int32_t ACount);

  TMainDispatcher& FDispatcher;
  IFdWatchClient& FClient;
  TWakeEvent FWake;  // made before FFd takes the descriptor
  const TUniqueFd FFd;
  TRxGate FRx;
  std::mutex FIoLock;
  std::weak_ptr<void> FOwner;
  std::atomic<bool> FLive{true};
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

}  // namespace orvane
