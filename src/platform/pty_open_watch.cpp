#include "platform/pty_open_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstddef>
#include <system_error>
#include <utility>

#include "platform/deadline.h"

namespace orvane {

TPtyOpenWatch::TPtyOpenWatch() : FNotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (!FNotify.Valid()) return;
  try {
    FThread = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    FNotify.Reset();
  }
}

TPtyOpenWatch::~TPtyOpenWatch() {
  FStop.Signal();
  if (FThread.joinable()) FThread.join();
}

int TPtyOpenWatch::Add(const std::string& APath, THandler AHandler) {
  if (!FNotify.Valid()) return -1;
  std::lock_guard<std::mutex> guard(FLock);
  const int id = ::inotify_add_watch(FNotify.Get(), APath.c_str(), IN_OPEN | IN_CLOSE);
  if (id < 0) return -1;
  // Each pty is an inode of its own, so an id names one port (ids are not
  // reused soon; a stale event for a removed one finds no handler).
  FHandlers[id] = std::move(AHandler);
  return id;
}

void TPtyOpenWatch::Remove(int AWatchId) {
  if (AWatchId < 0) return;
  std::lock_guard<std::mutex> guard(FLock);
  FHandlers.erase(AWatchId);
  // Fails with EINVAL once the pty is gone; the watch went with it then.
  ::inotify_rm_watch(FNotify.Get(), AWatchId);
}

void TPtyOpenWatch::Collect() {
  if (!FNotify.Valid()) return;
  std::lock_guard<std::mutex> guard(FLock);
  CollectLocked();
}

void TPtyOpenWatch::CollectLocked() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(FNotify.Get(), buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if ((event->mask & IN_Q_OVERFLOW) != 0) {
        // Events of all ports were lost: each looks whether it is held now.
        for (const auto& [id, each] : FHandlers) each(true);
      }
      const auto handler = FHandlers.find(event->wd);
      if (handler != FHandlers.end() && (event->mask & (IN_OPEN | IN_CLOSE)) != 0)
        handler->second((event->mask & IN_OPEN) != 0);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

void TPtyOpenWatch::Run() {
  for (;;) {
    // Only the stop ends it: a failed wait must not leave every port deaf to opens.
    if (WaitReadable({FStop.Fd(), FNotify.Get()}, TDeadline::Never()) == 0) return;
    Collect();
  }
}

}  // namespace orvane
