#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mqtt/data_utils.h"

namespace orvane {

// The packet type, the high nibble of the first byte. A decoded value of 15
// lies outside the list and is passed on as is.
enum class TMQTTCommand : uint8_t {
  None = 0,
  Connect = 1,
  ConnAck = 2,
  Publish = 3,
  PubAck = 4,
  PubRec = 5,
  PubRel = 6,
  PubComp = 7,
  Subscribe = 8,
  SubAck = 9,
  Unsubscribe = 10,
  UnsubAck = 11,
  PingReq = 12,
  PingResp = 13,
  Disconnect = 14
};

// A received QoS of 3 is passed on unchanged. Scoped, as every enumeration of the
// codec, so its names cannot collide with those of the port bridges.
enum class TQualityOfService : uint8_t { QoS0 = 0, QoS1 = 1, QoS2 = 2 };

// The CONNACK return code; the broker's byte is stored as is, so values above 5 can arrive.
enum class TConnectErrorCode : uint8_t {
  Success = 0,
  UnacceptProtocolVersion = 1,
  ClientIDRejected = 2,
  ServerUnavailable = 3,
  BadUserPassword = 4,
  NotAuthorized = 5
};

// One SUBACK byte per topic, carried unchanged (granted QoS, or 128 for a refusal).
using TSubscribeErrorCode = uint8_t;

struct TWillParams {
  std::string WillTopic;  // a will is present when this is not empty
  std::string WillMessage;
  TQualityOfService QoS = TQualityOfService::QoS0;
  bool Retain = false;
};

// MQTT 3.1 ("MQIsdp", level 3) packets to bytes and back; no I/O, no state
// beyond two scratch buffers. Builders return exactly one packet and never
// fail. Decoders take bytes that begin with one packet, ignore anything after
// it and return true only when the packet parses.
// Threads: builders share the scratch buffers, so one thread at a time;
// decoders touch no shared state.
class TMQTTProtocolClient {
 public:
  TMQTTProtocolClient();

  TBytes CommandConnect(const std::string& AClientID, uint16_t AKeepAlive);
  TBytes CommandConnect(const std::string& AClientID, const std::string& AUserName,
                        const std::string& APassword, uint16_t AKeepAlive, bool ACleanSession,
                        const TWillParams& AWillParams);
  TBytes CommandSubscribe(const std::string& ATopic, TQualityOfService ARequestQuality, uint16_t APacketID);
  TBytes CommandSubscribe(const std::vector<std::string>& ATopics, TQualityOfService ARequestQuality,
                          uint16_t APacketID);
  TBytes CommandUnsubscribe(const std::string& ATopic, uint16_t APacketID);
  TBytes CommandUnsubscribe(const std::vector<std::string>& ATopics, uint16_t APacketID);
  TBytes CommandPublish(const std::string& ATopicName, TByteView APayload, uint16_t APacketID,
                        TQualityOfService AQuality, bool ARetain, bool ADuplicate);
  TBytes CommandPublish(const std::string& ATopicName, const std::string& APayload, uint16_t APacketID,
                        TQualityOfService AQuality, bool ARetain);
  TBytes CommandPubAck(uint16_t APacketID);
  TBytes CommandPubRec(uint16_t APacketID);
  TBytes CommandPubRel(uint16_t APacketID);
  TBytes CommandPubComp(uint16_t APacketID);
  TBytes CommandPingReq();
  TBytes CommandDisconnect();

  // Cuts one packet at AOffset: type, flag nibble and body. On success AOffset
  // points just past the packet; on failure it may have moved and must not be used.
  static bool DataToCommand(TByteView AData, size_t& AOffset, TMQTTCommand& ACommand, uint8_t& ACmndParams,
                            TBytes& ACmndData);

  static bool DecodeConnAck(TByteView AData, bool& ASessionPresent, TConnectErrorCode& AErrorCode);
  static bool DecodeSubAck(TByteView AData, uint16_t& APacketID,
                           std::vector<TSubscribeErrorCode>& AErrorCodes);
  static bool DecodeUnsubAck(TByteView AData, uint16_t& APacketID);
  static bool DecodePublish(TByteView AData, std::string& ATopicName, TBytes& APayload, uint16_t& APacketID,
                            TQualityOfService& AQuality, bool& ARetain, bool& ADuplicate);
  static bool DecodePublish(TByteView AData, std::string& ATopicName, std::string& APayload,
                            uint16_t& APacketID, TQualityOfService& AQuality, bool& ARetain);
  static bool DecodePubAck(TByteView AData, uint16_t& APacketID);
  static bool DecodePubRec(TByteView AData, uint16_t& APacketID);
  static bool DecodePubRel(TByteView AData, uint16_t& APacketID);
  static bool DecodePubComp(TByteView AData, uint16_t& APacketID);
  static bool DecodePingResp(TByteView AData);

  static void EncodeRemainingLength(uint32_t AValue, TBytes& ABuffer, size_t& AOffset);
  // At most three length bytes (up to 2,097,151); a fourth fails even when it would end the field.
  static bool DecodeRemainingLength(TByteView AData, size_t& AOffset, uint32_t& AValue);

 private:
  TBytes MakeCommand(TMQTTCommand AType, uint8_t AFlags, size_t ABodyLength);
  TBytes IdOnly(TMQTTCommand AType, uint8_t AFlags, uint16_t APacketID);
  static bool DecodeIdOnly(TByteView AData, uint8_t AFirstByte, uint16_t& APacketID);

  TBytes FCommand;
  TBytes FData;
  bool FFirstHigh = true;  // MQTT integers are big-endian
};

}  // namespace orvane
