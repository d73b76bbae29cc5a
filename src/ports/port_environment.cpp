#include "ports/port_environment.h"

#include <memory>

#include "channels/lum_mqtt_server.h"
#include "channels/lum_tcp_server.h"

namespace orvane {

IServerInterfacePtr MakeChannel(const TPortEnvironment& AEnv, const TLumPortParams& APortParams,
                                TOnReceiveDataEvent AOnReceiveData, TCancelCheck ACancelCheck) {
  if (AEnv.MakeChannel)
    return AEnv.MakeChannel(AEnv, APortParams, std::move(AOnReceiveData), std::move(ACancelCheck));
  return MakeDefaultChannel(AEnv, APortParams, std::move(AOnReceiveData), std::move(ACancelCheck));
}

IServerInterfacePtr MakeDefaultChannel(const TPortEnvironment& AEnv, const TLumPortParams& APortParams,
                                       TOnReceiveDataEvent AOnReceiveData, TCancelCheck ACancelCheck) {
  IServerInterfacePtr channel;
  if (APortParams.Protocol == PROTOCOL_MQTT) {
    TLumMqttOptions options;
    options.DebugWindow = AEnv.DebugWindow;
    options.Ticks = AEnv.Ticks;
    channel = std::make_shared<TLumMqttServer>(APortParams, std::move(AOnReceiveData), std::move(options));
  } else {
    channel = std::make_shared<TLumTcpServer>(APortParams, std::move(AOnReceiveData), AEnv.Ticks);
  }
  channel->SetCancelCheck(std::move(ACancelCheck));
  return channel;
}

}  // namespace orvane
