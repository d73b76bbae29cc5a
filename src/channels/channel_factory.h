#pragma once

#include "channels/channel_options.h"
#include "channels/server_interface.h"
#include "model/lum_port_params.h"

namespace orvane {

// "MQTT" (exact, case-sensitive) builds the MQTT channel, any other label the TCP channel.
IServerInterfacePtr CreateServerChannel(const TLumPortParams& APortParams, TOnReceiveDataEvent AOnReceiveData,
                                        TChannelOptions AOptions = {});

}  // namespace orvane
