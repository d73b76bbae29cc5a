#include "ports/process_thread.h"

#include "platform/deadline.h"
#include "platform/tick_counter.h"

namespace orvane {

namespace {
// How long the main thread waits for hand-offs between checks that the worker
// has ended; short, so a stopping port does not hold up its deletion.
constexpr int SERVE_SLICE_MS = 2;
}  // namespace

TProcessThread::TProcessThread(TMainDispatcher& ADispatcher, TProcessMethod AProcessMethod,
                               TNextWaitMethod ANextWait)
    : FDispatcher(ADispatcher), FProcessMethod(std::move(AProcessMethod)), FNextWait(std::move(ANextWait)) {}

TProcessThread::~TProcessThread() {
  Terminate();
  WaitFor();
}

void TProcessThread::Start() {
  if (FFinished || FStarted.exchange(true)) return;
  FThread = std::thread([this] { Execute(); });
}

void TProcessThread::Execute() {
  try {
    while (!FTerminated) {
      if (FProcessMethod) FProcessMethod();
      if (FTerminated) break;
      if (!FNextWait) {
        SleepMs(1);
        continue;
      }
      const TNextWait wait = FNextWait();
      if (wait.Ms == 0) continue;
      // A wake-up that came during the pass or the sleep is answered by the next pass; the
      // event is read only when the wait says it is set (one that came meanwhile ends the next).
      if (WaitReadable({FWake.Fd(), wait.Fd},
                       wait.Ms < 0 ? TDeadline::Never() : TDeadline(static_cast<uint32_t>(wait.Ms))) == 0)
        FWake.Drain();
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
