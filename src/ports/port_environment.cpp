#include "ports/port_environment.h"

#include <utility>

#include "channels/channel_factory.h"

namespace orvane {

IServerInterfacePtr MakeChannel(const TPortEnvironment& AEnv, const TLumPortParams& APortParams,
                                TOnReceiveDataEvent AOnReceiveData, TCancelCheck ACancelCheck) {
  if (AEnv.MakeChannel)
    return AEnv.MakeChannel(AEnv, APortParams, std::move(AOnReceiveData), std::move(ACancelCheck));
  return MakeDefaultChannel(AEnv, APortParams, std::move(AOnReceiveData), std::move(ACancelCheck));
}

IServerInterfacePtr MakeDefaultChannel(const TPortEnvironment& AEnv, const TLumPortParams& APortParams,
                                       TOnReceiveDataEvent AOnReceiveData, TCancelCheck ACancelCheck) {
  TChannelOptions options;
  options.Ticks = AEnv.Ticks;
  options.CancelCheck = std::move(ACancelCheck);
  options.DebugWindow = AEnv.DebugWindow;
  return CreateServerChannel(APortParams, std::move(AOnReceiveData), std::move(options));
}

}  // namespace orvane
