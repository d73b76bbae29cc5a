#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "channels/server_interface.h"
#include "platform/debug_trace.h"
#include "platform/tcp_socket.h"
#include "platform/tick_counter.h"

namespace orvane {

// What a channel takes from its owner besides the port record: its clock and its
// stop request, so a test drives it in milliseconds and a stopping worker is not held up.
struct TChannelOptions {
  TTickSource Ticks = DefaultTickSource();
  TCancelCheck CancelCheck;                         // empty: never cancelled
  TResolveFunction Resolve;                         // empty: the system resolver
  bool DebugWindow = false;                         // the "/DEBUG_WINDOW" switch
  std::string DebugWindowName = DEBUG_WINDOW_NAME;  // tests use a name of their own
};

}  // namespace orvane
