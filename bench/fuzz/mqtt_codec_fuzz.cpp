// libFuzzer harness for the MQTT decoders: any bytes, no crash, no read past the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mqtt/mqtt_protocol.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const TByteView data(AData, ASize);
  size_t offset = 0;
  TMQTTCommand command;
  uint8_t flags;
  TBytes body;
  // Cut packets one after the other, as the session does with its receive buffer.
  while (offset < ASize && TMQTTProtocolClient::DataToCommand(data, offset, command, flags, body)) {
  }
  bool b1, b2;
  TConnectErrorCode code;
  uint16_t id;
  std::vector<TSubscribeErrorCode> codes;
  std::string topic, text;
  TBytes payload;
  TQualityOfService qos;
  TMQTTProtocolClient::DecodeConnAck(data, b1, code);
  TMQTTProtocolClient::DecodeSubAck(data, id, codes);
  TMQTTProtocolClient::DecodeUnsubAck(data, id);
  TMQTTProtocolClient::DecodePublish(data, topic, payload, id, qos, b1, b2);
  TMQTTProtocolClient::DecodePublish(data, topic, text, id, qos, b1);
  TMQTTProtocolClient::DecodePubAck(data, id);
  TMQTTProtocolClient::DecodePubRec(data, id);
  TMQTTProtocolClient::DecodePubRel(data, id);
  TMQTTProtocolClient::DecodePubComp(data, id);
  TMQTTProtocolClient::DecodePingResp(data);
  return 0;
}
