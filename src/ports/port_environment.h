#pragma once

#include <functional>
#include <memory>
#include <string>

#include "channels/server_interface.h"
#include "model/lum_port_params.h"
#include "platform/main_dispatcher.h"
#include "platform/pty_port.h"
#include "platform/tick_counter.h"

namespace orvane {

struct TPortEnvironment;

// Builds the channel of one bridge. ACancelCheck is the worker's stop request:
// every wait of the channel gives up when it turns true.
using TChannelMaker =
    std::function<IServerInterfacePtr(const TPortEnvironment& AEnv, const TLumPortParams& APortParams,
                                      TOnReceiveDataEvent AOnReceiveData, TCancelCheck ACancelCheck)>;

// What every bridge needs besides its record, handed from the port list through
// the managers to the bridges; nothing of it is global. The program (window or
// headless loop) owns it, and it outlives the port list.
// Threads: filled in on the main thread before the first port is added;
// afterwards read from any thread. OnStateChanged runs only on the main thread
// and may be set or replaced there at any time.
struct TPortEnvironment {
  explicit TPortEnvironment(TMainDispatcher& ADispatcher) : Dispatcher(ADispatcher) {}

  TMainDispatcher& Dispatcher;
  std::string PortDir;     // where the links of virtual ports live
  TPortAccess PortAccess;  // who besides us may open them
  // One watch of pty opens for all virtual ports of the program.
  std::shared_ptr<TPtyOpenWatch> OpenWatch = std::make_shared<TPtyOpenWatch>();
  bool DebugWindow = false;  // "/DEBUG_WINDOW": MQTT channels send their packet trace
  // The clock of the bridges' and channels' timers; tests move it on.
  TTickSource Ticks = DefaultTickSource();
  // Run on the main thread whenever a port's working state flips (the window's RefreshState).
  std::function<void()> OnStateChanged;
  // Empty: MakeDefaultChannel.
  TChannelMaker MakeChannel;
};

// The only place a bridge's channel is made: AEnv.MakeChannel when set,
// otherwise MakeDefaultChannel.
IServerInterfacePtr MakeChannel(const TPortEnvironment& AEnv, const TLumPortParams& APortParams,
                                TOnReceiveDataEvent AOnReceiveData, TCancelCheck ACancelCheck);
// The channel factory's choice ("MQTT", exact, gives the MQTT channel, anything
// else the TCP channel) with the environment's clock and switch.
IServerInterfacePtr MakeDefaultChannel(const TPortEnvironment& AEnv, const TLumPortParams& APortParams,
                                       TOnReceiveDataEvent AOnReceiveData, TCancelCheck ACancelCheck);

}  // namespace orvane
