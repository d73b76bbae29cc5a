#include "channels/stop_watch.h"

#include <utility>

namespace orvane {

TStopWatch::TStopWatch(TTickSource ATicks) : FTicks(std::move(ATicks)) {}

void TStopWatch::Start() {
  if (FIsRuning) return;
  FStartCount = FTicks();
  FIsRuning = true;
}

void TStopWatch::Stop() {
  if (!FIsRuning) return;
  FElapsed = ElapsedMilliseconds();
  FIsRuning = false;
}

void TStopWatch::Reset() {
  FElapsed = 0;
  FIsRuning = false;
  FStartCount = 0;
}

void TStopWatch::Restart() {
  Reset();
  Start();
}

uint32_t TStopWatch::ElapsedMilliseconds() const {
  if (!FIsRuning) return FElapsed;
  // Unsigned subtraction: correct across the wrap of the 32-bit counter.
  return FElapsed + static_cast<uint32_t>(FTicks() - FStartCount);
}

}  // namespace orvane
