#pragma once

#include <exception>
#include <functional>
#include <mutex>

#include "platform/main_dispatcher.h"

namespace orvane {

// Runs a port's events on the thread that raises them (its watcher) instead of
// the main thread, one at a time and in the order raised, until muted. So a
// port's bytes are read and logged on a thread of its own, and a busy window
// never holds them up.
// Threads: Run from any thread; Hold from the thread that creates the port;
// Mute on the main thread or a worker. FLock is held while an event runs.
class TEventGate {
 public:
  explicit TEventGate(TMainDispatcher& ADispatcher) : FDispatcher(ADispatcher) {}
  TEventGate(const TEventGate&) = delete;
  TEventGate& operator=(const TEventGate&) = delete;

  // Runs ACall unless muted. An exception it raises goes to the dispatcher's
  // error handler, as one raised by an event on the main thread would.
  void Run(const std::function<void()>& ACall);
  // Holds events off until the lock goes: what a creation logs comes before
  // the events of the port it made.
  std::unique_lock<std::mutex> Hold() { return std::unique_lock<std::mutex>(FLock); }
  // No event runs from here on; one that runs is waited for. On the main
  // thread the dispatcher is served meanwhile, so an event that hands a line
  // to the window (and waits for it) can finish. Not from within an event.
  void Mute();

 private:
  TMainDispatcher& FDispatcher;
  std::mutex FLock;
  bool FMuted = false;
};

}  // namespace orvane
