#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "channels/server_interface.h"
#include "platform/debug_trace.h"
#include "platform/tick_counter.h"

namespace orvane {

// What a channel takes from its owner besides the port record: its clock, its
// sleep and its stop request, so a test drives it in milliseconds and a stopping
// worker is not held up.
struct TChannelOptions {
  TTickSource Ticks = DefaultTickSource();
  std::function<void(uint32_t AMilliseconds)> Sleep;  // empty: real sleep, cut short by CancelCheck
  TCancelCheck CancelCheck;                           // empty: never cancelled
  bool DebugWindow = false;                           // the "/DEBUG_WINDOW" switch
  std::string DebugWindowName = DEBUG_WINDOW_NAME;    // tests use a name of their own
};

}  // namespace orvane
