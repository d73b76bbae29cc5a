#pragma once

#include <cstdint>
#include <string>

#include "mqtt/mqtt_client.h"

namespace orvane::test {

// A bare MQTT session to a broker on loopback: a listener on a topic or a foreign publisher.
inline TClientParams LocalClientParams(uint16_t ABrokerPort, const std::string& AClientID,
                                       uint16_t AKeepAlive = 30) {
  TClientParams params;
  params.HostName = "127.0.0.1";
  params.Port = ABrokerPort;
  params.ClientID = AClientID;
  params.KeepAlive = AKeepAlive;
  return params;
}

}  // namespace orvane::test
