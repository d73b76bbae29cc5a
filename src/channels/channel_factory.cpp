#include "channels/channel_factory.h"

#include <memory>
#include <utility>

#include "channels/lum_mqtt_server.h"
#include "channels/lum_tcp_server.h"

namespace orvane {

IServerInterfacePtr CreateServerChannel(const TLumPortParams& APortParams, TOnReceiveDataEvent AOnReceiveData,
                                        TChannelOptions AOptions) {
  if (APortParams.Protocol == PROTOCOL_MQTT)
    return std::make_shared<TLumMqttServer>(APortParams, std::move(AOnReceiveData), std::move(AOptions));
  return std::make_shared<TLumTcpServer>(APortParams, std::move(AOnReceiveData), std::move(AOptions));
}

}  // namespace orvane
