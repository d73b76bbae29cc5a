#include "ports/process_thread.h"

#include "platform/tick_counter.h"

namespace orvane {

namespace {
// How long the main thread waits for hand-offs between checks that the worker
// has ended; short, so a stopping port does not hold up its deletion.
constexpr int SERVE_SLICE_MS = 2;
}  // namespace

TProcessThread::TProcessThread(TMainDispatcher& ADispatcher, TProcessMethod AProcessMethod)
    : FDispatcher(ADispatcher), FProcessMethod(std::move(AProcessMethod)) {}

TProcessThread::~TProcessThread() {
  Terminate();
  WaitFor();
}

void TProcessThread::Start() {
  if (FThread.joinable() || FFinished) return;
  FThread = std::thread([this] { Execute(); });
}

void TProcessThread::Execute() {
  try {
    while (!FTerminated) {
      if (FProcessMethod) FProcessMethod();
      SleepMs(1);
    }
  } catch (...) {
    // An error escaping a pass ends this port's worker quietly; the owner still
    // destroys the object as usual.
  }
  FFinished = true;
}

void TProcessThread::Synchronize(const std::function<void()>& AMethod) {
  FDispatcher.Send(AMethod);
}

void TProcessThread::WaitFor() {
  if (!FThread.joinable()) return;
  if (FDispatcher.IsMainThread()) {
    while (!FFinished) FDispatcher.WaitAndProcess(SERVE_SLICE_MS);
  }
  FThread.join();
}

}  // namespace orvane
