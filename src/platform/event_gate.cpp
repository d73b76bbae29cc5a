#include "platform/event_gate.h"

namespace orvane {

namespace {
// How long the main thread serves the dispatcher between tries for the lock.
constexpr int SERVE_SLICE_MS = 2;
}  // namespace

void TEventGate::Run(const std::function<void()>& ACall) {
  std::exception_ptr error;
  {
    const std::lock_guard<std::mutex> guard(FLock);
    if (FMuted) return;
    try {
      ACall();
    } catch (...) {
      error = std::current_exception();
    }
  }
  if (error) FDispatcher.Post([error] { std::rethrow_exception(error); });
}

void TEventGate::Mute() {
  std::unique_lock<std::mutex> lock(FLock, std::defer_lock);
  if (FDispatcher.IsMainThread()) {
    while (!lock.try_lock()) FDispatcher.WaitAndProcess(SERVE_SLICE_MS);
  } else {
    lock.lock();
  }
  FMuted = true;
}

}  // namespace orvane
