#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/event_gate.h"
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
  // Given to the client: the wait before this turn ended on its deadline with
  // nothing reported (no wake-up, nothing on the data descriptor).
  bool TimedOut = false;
  // Given to the client: the wait before this turn ended on input from the data
  // descriptor alone (no wake-up, no hang-up or error, nothing on ExtraFd).
  bool InputOnly = false;
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
  // Main thread (or the watcher's, see TFdWatcher): ACount > 0 bytes are
  // waiting. Raised again only once this one has run, and then only when the
  // handler read something or more came.
  virtual void RxChar(int32_t ACount) = 0;
  // Asked under the I/O lock before output reaches the device; false drops it
  // (a pty nobody holds). Any thread.
  virtual bool MayWrite() { return true; }
  // Main thread (or the watcher's), once per loss episode (see TFdWatcher::Queue): ACount bytes
  // of output were dropped; AError is ENOBUFS when the queue was full, else
  // the errno of the write that failed.
  virtual void OutputDropped(uint64_t ACount, int AError) = 0;
  // Thread of the reader: a read failed with AError (not for want of bytes).
  // What that means is the client's to say (EIO on a pty master is an
  // application that closed, on a serial device one that went away).
  virtual void ReadFailed(int /*AError*/) {}
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
// it: every turn the client looks at the device, the watcher writes queued
// output, raises the received-characters notification, then sleeps on the
// device, a wake-up event and the client's deadline. Events go to the main
// thread through the dispatcher and are dropped once Stop has run or the owner
// has gone; with an event gate they run on the watcher thread itself, through
// the gate, so no other thread is woken for them. Reads and writes of the port go through here, so the
// notification is paced by what the handler really read, and no writer ever waits for the device. Threads:
// Start and Stop on the main thread; Post, Read, Queue, the output queries and LockIo from any thread; Look
// and Ready run on the watcher thread, RxChar, OutputDropped and posted calls on the main thread. FIoLock
// guards the output queue, the loss episode and the write error, and orders
// writes against the client's own use of the device under LockIo.
class TFdWatcher {
 public:
  // Takes AFd; when the construction fails (std::system_error: no eventfd),
  // AFd is left with the caller. With AGate (which must outlive the watcher)
  // events run on the watcher thread through it.
  TFdWatcher(TMainDispatcher& ADispatcher, IFdWatchClient& AClient, TUniqueFd&& AFd,
             TEventGate* AGate = nullptr);
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
  // Runs ACall on the main thread unless the watcher is stopped by then; with
  // a gate, on the calling thread (the watcher's) at once.
  void Post(std::function<void()> ACall);
  // Makes the watcher look again at once.
  void Wake() { FWake.Signal(); }

  // Most output bytes waiting for the device; more are dropped.
  static constexpr size_t OUTPUT_LIMIT = 1048576;

  // Up to ACount bytes without waiting; the count read (0 when none).
  int32_t Read(void* ABuffer, int32_t ACount);
  // Hands ACount bytes to the device without waiting: what it takes now is
  // written, the rest waits in the queue for the watcher, which writes it as
  // the device takes more. Returns how many bytes were accepted: 0 when the
  // client's MayWrite refuses (nothing is counted lost then) or an earlier
  // write failed; fewer than ACount when the queue reached OUTPUT_LIMIT.
  // Bytes dropped at the limit or by a failed write start a loss episode; it
  // ends, and the client hears of it once (OutputDropped) with the whole
  // count, when the queue has drained to half the limit or was let go. After
  // a failed write nothing more is written (WriteError) until the device is
  // opened again.
  int32_t Queue(const void* AData, int32_t ACount);
  // Forgets the queued output without counting it lost (bytes for nobody) and
  // lets writes be tried again after a failure: a fresh start for the next
  // holder of a pty. The caller holds the I/O lock.
  void DiscardOutput(const std::unique_lock<std::mutex>& AIoLock);
  // Bytes queued and not yet written.
  size_t QueuedBytes();
  // Every byte dropped so far (at the limit, by a failed write or after it).
  uint64_t DroppedBytes();
  // errno of the write that failed; 0 while writes go through.
  int WriteError();
  // Holds off writes while the client works on the device.
  std::unique_lock<std::mutex> LockIo() { return std::unique_lock<std::mutex>(FIoLock); }

 private:
  void Run();
  void RaiseRxChar(int32_t ACount);
  // Under FIoLock: writes queued bytes while the device takes them.
  void DrainLocked();
  // Under FIoLock: ACount bytes lost with AError, as part of the episode.
  void LoseLocked(uint64_t ACount, int AError);
  // Under FIoLock: drops the queued bytes as a failed write's loss.
  void FailLocked(int AError);
  // Watcher thread: drains, ends a loss episode that is over; true while bytes wait.
  bool ServeOutput();
  size_t PendingLocked() const { return FOut.size() - FOutHead; }

  TMainDispatcher& FDispatcher;
  IFdWatchClient& FClient;
  TEventGate* const FGate;
  TWakeEvent FWake;  // made before FFd takes the descriptor
  const TUniqueFd FFd;
  TRxGate FRx;
  std::mutex FIoLock;
  std::vector<uint8_t> FOut;  // queued output from FOutHead on
  size_t FOutHead = 0;
  uint64_t FLost = 0;  // dropped in the current loss episode
  int FLostError = 0;  // first cause of the current episode
  uint64_t FDropped = 0;
  int FWriteError = 0;
  std::weak_ptr<void> FOwner;
  std::atomic<bool> FLive{true};
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

}  // namespace orvane
