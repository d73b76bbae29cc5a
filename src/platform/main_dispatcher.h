#pragma once

#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/wake_event.h"

namespace orvane {

// Hands calls from worker and watcher threads to the main thread: a queue plus
// an eventfd that the main thread's event loop watches.
// Threads: Post and Send from any thread; ProcessPending, WaitAndProcess only
// on the main thread (the thread that created the dispatcher). FLock guards
// FQueue; the eventfd is readable while the queue is not empty.
class TMainDispatcher {
 public:
  TMainDispatcher();
  TMainDispatcher(const TMainDispatcher&) = delete;
  TMainDispatcher& operator=(const TMainDispatcher&) = delete;

  // Queues a call for the main thread and returns at once.
  void Post(std::function<void()> ACall);
  // Runs a call on the main thread and blocks until it has run; an exception
  // it raises is raised again here. On the main thread it runs inline.
  void Send(const std::function<void()>& ACall);

  // Runs every call queued so far; returns how many ran. A call that throws
  // does not stop the others: its error goes to the error handler.
  size_t ProcessPending();
  // Waits up to ATimeoutMs for queued calls (a negative value waits without
  // limit) and runs them; returns how many ran.
  size_t WaitAndProcess(int ATimeoutMs);

  // Readable while calls are pending; for an event loop (Qt socket notifier, poll).
  int WakeFd() const { return FWake.Fd(); }
  bool IsMainThread() const { return std::this_thread::get_id() == FMainThread; }

  // Receives errors escaping posted calls (main thread). Unset: they are
  // written to standard error, so a faulty event handler never ends the loop.
  void SetErrorHandler(std::function<void(std::exception_ptr)> AHandler) { FOnError = std::move(AHandler); }

 private:
  void ReportError(std::exception_ptr AError);

  TWakeEvent FWake;
  std::thread::id FMainThread;
  std::mutex FLock;
  std::deque<std::function<void()>> FQueue;
  std::function<void(std::exception_ptr)> FOnError;
};

}  // namespace orvane
