#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/main_dispatcher.h"
#include "platform/wake_event.h"

namespace orvane {

// One pass of a port bridge; the worker repeats it until told to stop.
using TProcessMethod = std::function<void()>;
// What the worker may sleep on after a pass: at most Ms milliseconds (negative:
// until woken), ended early when Fd (if not -1) becomes readable or hangs up.
struct TNextWait {
  int32_t Ms = -1;
  int Fd = -1;
};
// Asked after every pass. Wake and Terminate end the sleep early as well.
using TNextWaitMethod = std::function<TNextWait()>;

// The worker thread of one port bridge. It is created suspended, repeats
// FProcessMethod once started, and reaches the main thread only through
// Synchronize. Between passes it sleeps as long as ANextWait allows (without
// one, 1 ms), so an idle port costs no wake-ups of its own.
// Threads: construction, Start, WaitFor and destruction on the main thread (the
// dispatcher's); Synchronize from the worker (or the main thread); Terminate,
// Terminated and Wake from any thread. The dispatcher must outlive the worker.
// FTerminated and FFinished are atomics; FWake is an eventfd.
class TProcessThread {
 public:
  TProcessThread(TMainDispatcher& ADispatcher, TProcessMethod AProcessMethod, TNextWaitMethod ANextWait = {});
  // Asks the worker to stop and waits for it, serving its Synchronize calls
  // meanwhile when called on the main thread. A never-started worker runs no pass.
  ~TProcessThread();
  TProcessThread(const TProcessThread&) = delete;
  TProcessThread& operator=(const TProcessThread&) = delete;

  // Starts the worker; later calls do nothing.
  void Start();
  // Any thread, the worker included.
  bool Started() const { return FStarted; }

  // Runs AMethod on the main thread and blocks until it has run; an exception
  // it raises comes back here. On the main thread it runs at once.
  void Synchronize(const std::function<void()>& AMethod);

  // The stop request, looked at only between passes; it also ends a sleep.
  void Terminate() {
    FTerminated = true;
    FWake.Signal();
  }
  bool Terminated() const { return FTerminated; }
  // Ends the current sleep (or the next one) so the next pass runs at once.
  void Wake() { FWake.Signal(); }
  // True once the run loop has ended (stopped, or a pass raised).
  bool Finished() const { return FFinished; }

  // Waits until the worker has ended. On the main thread it keeps serving the
  // dispatcher, so a worker blocked in Synchronize can finish its pass; calls
  // queued by other threads run here as well, so callers must allow re-entry.
  void WaitFor();

 private:
  void Execute();

  TMainDispatcher& FDispatcher;
  TProcessMethod FProcessMethod;
  TNextWaitMethod FNextWait;
  TWakeEvent FWake;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  // Set before the thread exists, so the worker itself never sees it unset.
  std::atomic<bool> FStarted{false};
  std::thread FThread;
};

}  // namespace orvane
