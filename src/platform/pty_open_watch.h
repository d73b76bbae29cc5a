#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/unique_fd.h"
#include "platform/wake_event.h"

namespace orvane {

// Opens and closes of pty slaves, for every port of the process through one
// inotify instance: a user has only 128 of them, and one per port would use
// them up (and leave none to the user's other programs) long before a
// thousand ports. One thread reads the events and calls the watch's handler.
// Threads: any thread adds, removes and collects. Handlers run on the watch's
// thread or in Collect, under FLock: they must be short and must not call back
// into the watch. Once Remove has returned, its handler is never called again.
// FLock guards FHandlers and orders the reads of the inotify descriptor.
class TPtyOpenWatch {
 public:
  // Called with true for an open of the slave, false for a close.
  using THandler = std::function<void(bool AOpened)>;

  // Without inotify (or its thread) every Add fails and ports look on a timer instead.
  TPtyOpenWatch();
  ~TPtyOpenWatch();
  TPtyOpenWatch(const TPtyOpenWatch&) = delete;
  TPtyOpenWatch& operator=(const TPtyOpenWatch&) = delete;

  // Watches the file at APath; a watch id (> 0 for Remove), or -1 when it
  // cannot be watched (no inotify, the user's watch limit reached).
  int Add(const std::string& APath, THandler AHandler);
  void Remove(int AWatchId);
  // Hands out at once the events queued so far: an open this thread made
  // before the call has reached its handler when this returns.
  void Collect();

 private:
  void Run();
  void CollectLocked();

  TUniqueFd FNotify;
  TWakeEvent FStop;
  std::mutex FLock;
  std::map<int, THandler> FHandlers;
  std::thread FThread;
};

}  // namespace orvane
