#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/main_dispatcher.h"

namespace orvane {

// One pass of a port bridge; the worker repeats it until told to stop.
using TProcessMethod = std::function<void()>;

// The worker thread of one port bridge. It is created suspended, repeats
// FProcessMethod with a 1 ms sleep between passes once started, and reaches the
// main thread only through Synchronize.
// Threads: construction, Start, Terminate, WaitFor and destruction on the main
// thread (the dispatcher's); Synchronize and Terminated from the worker (or the
// main thread). The dispatcher must outlive the worker. FTerminated and FFinished are the only state shared
// between the two and are atomics.
class TProcessThread {
 public:
  TProcessThread(TMainDispatcher& ADispatcher, TProcessMethod AProcessMethod);
  // Asks the worker to stop and waits for it, serving its Synchronize calls
  // meanwhile when called on the main thread. A never-started worker runs no pass.
  ~TProcessThread();
  TProcessThread(const TProcessThread&) = delete;
  TProcessThread& operator=(const TProcessThread&) = delete;

  // Starts the worker; later calls do nothing.
  void Start();
  bool Started() const { return FThread.joinable(); }

  // Runs AMethod on the main thread and blocks until it has run; an exception
  // it raises comes back here. On the main thread it runs at once.
  void Synchronize(const std::function<void()>& AMethod);

  // The stop request, looked at only between passes.
  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
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
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::thread FThread;
};

}  // namespace orvane
