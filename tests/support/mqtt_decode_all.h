#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mqtt/mqtt_protocol.h"

namespace orvane::test {

// Puts any bytes through every decoder of the MQTT codec: packets are cut one after the
// other, as the session cuts its receive buffer, then each decoder reads the bytes from
// the start. False when a cut claimed more bytes than there are. Shared by the fuzz
// harness and the random-input unit test, so both exercise the same code.
inline bool DecodeAllMqtt(TByteView AData) {
  size_t offset = 0;
  TMQTTCommand command;
  uint8_t flags;
  TBytes body;
  while (offset < AData.size() && TMQTTProtocolClient::DataToCommand(AData, offset, command, flags, body)) {
    if (offset > AData.size()) return false;
  }
  bool b1, b2;
  TConnectErrorCode code;
  uint16_t id;
  std::vector<TSubscribeErrorCode> codes;
  std::string topic, text;
  TBytes payload;
  TQualityOfService qos;
  TMQTTProtocolClient::DecodeConnAck(AData, b1, code);
  TMQTTProtocolClient::DecodeSubAck(AData, id, codes);
  TMQTTProtocolClient::DecodeUnsubAck(AData, id);
  TMQTTProtocolClient::DecodePublish(AData, topic, payload, id, qos, b1, b2);
  TMQTTProtocolClient::DecodePublish(AData, topic, text, id, qos, b1);
  TMQTTProtocolClient::DecodePubAck(AData, id);
  TMQTTProtocolClient::DecodePubRec(AData, id);
  TMQTTProtocolClient::DecodePubRel(AData, id);
  TMQTTProtocolClient::DecodePubComp(AData, id);
  TMQTTProtocolClient::DecodePingResp(AData);
  return true;
}

}  // namespace orvane::test
