#include "mqtt/mqtt_protocol.h"

namespace orvane {

using namespace DataUtils;

namespace {
constexpr uint32_t MAX_MULTIPLIER = 128 * 128 * 128;
}

TMQTTProtocolClient::TMQTTProtocolClient() : FCommand(100), FData(100) {}

void TMQTTProtocolClient::EncodeRemainingLength(uint32_t AValue, TBytes& ABuffer, size_t& AOffset) {
  do {
    uint8_t digit = AValue % 128;
    AValue /= 128;
    if (AValue > 0) digit |= 0x80;
    WriteByte(digit, ABuffer, AOffset);
  } while (AValue > 0);
}

bool TMQTTProtocolClient::DecodeRemainingLength(TByteView AData, size_t& AOffset, uint32_t& AValue) {
  AValue = 0;
  uint32_t multiplier = 1;
  uint8_t b = 0;
  do {
    if (!ReadByte(AData, AOffset, b)) return false;
    AValue += (b & 0x7F) * multiplier;
    multiplier *= 128;
    if (multiplier > MAX_MULTIPLIER) return false;
  } while (b & 0x80);
  return true;
}

TBytes TMQTTProtocolClient::MakeCommand(TMQTTCommand AType, uint8_t AFlags, size_t ABodyLength) {
  size_t offset = 0;
  WriteByte(uint8_t(uint8_t(AType) << 4 | (AFlags & 0x0F)), FCommand, offset);
  EncodeRemainingLength(uint32_t(ABodyLength), FCommand, offset);
  WriteBytes(FData, 0, FCommand, offset, ABodyLength);
  return CopyBytes(FCommand, offset);
}

TBytes TMQTTProtocolClient::CommandConnect(const std::string& AClientID, uint16_t AKeepAlive) {
  return CommandConnect(AClientID, "", "", AKeepAlive, true, TWillParams{});
}

TBytes TMQTTProtocolClient::CommandConnect(const std::string& AClientID, const std::string& AUserName,
                                           const std::string& APassword, uint16_t AKeepAlive,
                                           bool ACleanSession, const TWillParams& AWillParams) {
  size_t offset = 0;
  WriteString("MQIsdp", FData, offset, FFirstHigh);
  WriteByte(3, FData, offset);
  uint8_t flags = 0;
  if (ACleanSession) flags |= 0x02;
  const bool will = !AWillParams.WillTopic.empty();
  if (will) {
    flags |= 0x04;
    flags |= uint8_t(uint8_t(AWillParams.QoS) << 3) & 0x18;
    if (AWillParams.Retain) flags |= 0x20;
  }
  // MQTT 3.1: bit 7 announces the user name, bit 6 the password. A broker
  // refuses a user name sent under the password bit ("password without user name").
  if (!AUserName.empty()) flags |= 0x80;
  if (!APassword.empty()) flags |= 0x40;
  WriteByte(flags, FData, offset);
  WriteWord(AKeepAlive, FData, offset, FFirstHigh);
  WriteString(AClientID, FData, offset, FFirstHigh);
  if (will) {
    WriteString(AWillParams.WillTopic, FData, offset, FFirstHigh);
    WriteString(AWillParams.WillMessage, FData, offset, FFirstHigh);
  }
  if (!AUserName.empty()) WriteString(AUserName, FData, offset, FFirstHigh);
  if (!APassword.empty()) WriteString(APassword, FData, offset, FFirstHigh);
  return MakeCommand(TMQTTCommand::Connect, 0, offset);
}

TBytes TMQTTProtocolClient::CommandSubscribe(const std::string& ATopic, TQualityOfService ARequestQuality,
                                             uint16_t APacketID) {
  return CommandSubscribe(std::vector<std::string>{ATopic}, ARequestQuality, APacketID);
}

TBytes TMQTTProtocolClient::CommandSubscribe(const std::vector<std::string>& ATopics,
                                             TQualityOfService ARequestQuality, uint16_t APacketID) {
  size_t offset = 0;
  WriteWord(APacketID, FData, offset, FFirstHigh);
  for (const auto& topic : ATopics) {
    WriteString(topic, FData, offset, FFirstHigh);
    WriteByte(uint8_t(ARequestQuality), FData, offset);
  }
  return MakeCommand(TMQTTCommand::Subscribe, 2, offset);
}

TBytes TMQTTProtocolClient::CommandUnsubscribe(const std::string& ATopic, uint16_t APacketID) {
  return CommandUnsubscribe(std::vector<std::string>{ATopic}, APacketID);
}

TBytes TMQTTProtocolClient::CommandUnsubscribe(const std::vector<std::string>& ATopics, uint16_t APacketID) {
  size_t offset = 0;
  WriteWord(APacketID, FData, offset, FFirstHigh);
  for (const auto& topic : ATopics) WriteString(topic, FData, offset, FFirstHigh);
  return MakeCommand(TMQTTCommand::Unsubscribe, 2, offset);
}

TBytes TMQTTProtocolClient::CommandPublish(const std::string& ATopicName, TByteView APayload,
                                           uint16_t APacketID, TQualityOfService AQuality, bool ARetain,
                                           bool ADuplicate) {
  const uint8_t flags = uint8_t((ARetain ? 1 : 0) | (uint8_t(AQuality) << 1) | (ADuplicate ? 8 : 0));
  size_t offset = 0;
  WriteString(ATopicName, FData, offset, FFirstHigh);
  if (AQuality != TQualityOfService::QoS0) WriteWord(APacketID, FData, offset, FFirstHigh);
  WriteBytes(APayload, 0, FData, offset, APayload.size());
  return MakeCommand(TMQTTCommand::Publish, flags, offset);
}

TBytes TMQTTProtocolClient::CommandPublish(const std::string& ATopicName, const std::string& APayload,
                                           uint16_t APacketID, TQualityOfService AQuality, bool ARetain) {
  const TByteView payload(reinterpret_cast<const uint8_t*>(APayload.data()), APayload.size());
  return CommandPublish(ATopicName, payload, APacketID, AQuality, ARetain, false);
}

TBytes TMQTTProtocolClient::IdOnly(TMQTTCommand AType, uint8_t AFlags, uint16_t APacketID) {
  size_t offset = 0;
  WriteWord(APacketID, FData, offset, FFirstHigh);
  return MakeCommand(AType, AFlags, offset);
}

TBytes TMQTTProtocolClient::CommandPubAck(uint16_t APacketID) {
  return IdOnly(TMQTTCommand::PubAck, 0, APacketID);
}
TBytes TMQTTProtocolClient::CommandPubRec(uint16_t APacketID) {
  return IdOnly(TMQTTCommand::PubRec, 0, APacketID);
}
TBytes TMQTTProtocolClient::CommandPubRel(uint16_t APacketID) {
  return IdOnly(TMQTTCommand::PubRel, 2, APacketID);
}
TBytes TMQTTProtocolClient::CommandPubComp(uint16_t APacketID) {
  return IdOnly(TMQTTCommand::PubComp, 0, APacketID);
}
TBytes TMQTTProtocolClient::CommandPingReq() {
  return MakeCommand(TMQTTCommand::PingReq, 0, 0);
}
TBytes TMQTTProtocolClient::CommandDisconnect() {
  return MakeCommand(TMQTTCommand::Disconnect, 0, 0);
}

bool TMQTTProtocolClient::DataToCommand(TByteView AData, size_t& AOffset, TMQTTCommand& ACommand,
                                        uint8_t& ACmndParams, TBytes& ACmndData) {
  ACommand = TMQTTCommand::None;
  ACmndParams = 0;
  ACmndData.clear();
  uint8_t b = 0;
  if (!ReadByte(AData, AOffset, b)) return false;
  ACommand = TMQTTCommand(b >> 4);
  ACmndParams = b & 0x0F;
  uint32_t length = 0;
  if (!DecodeRemainingLength(AData, AOffset, length)) return false;
  // Check before ReadBytes sizes the body, so a lying length allocates nothing.
  if (AOffset > AData.size() || length > AData.size() - AOffset) return false;
  return ReadBytes(AData, AOffset, ACmndData, 0, length);
}

namespace {
// Cuts the packet and checks its first byte; ABody receives the body.
bool Expect(TByteView AData, uint8_t AFirstByte, TBytes& ABody) {
  size_t offset = 0;
  TMQTTCommand cmd;
  uint8_t params = 0;
  if (!TMQTTProtocolClient::DataToCommand(AData, offset, cmd, params, ABody)) return false;
  return (uint8_t(cmd) << 4 | params) == AFirstByte;
}
}  // namespace

bool TMQTTProtocolClient::DecodeConnAck(TByteView AData, bool& ASessionPresent,
                                        TConnectErrorCode& AErrorCode) {
  ASessionPresent = false;
  AErrorCode = TConnectErrorCode::Success;
  TBytes body;
  if (!Expect(AData, 0x20, body)) return false;
  size_t offset = 0;
  uint8_t flags = 0, code = 0;
  if (!ReadByte(body, offset, flags) || !ReadByte(body, offset, code)) return false;
  ASessionPresent = flags & 0x01;
  AErrorCode = TConnectErrorCode(code);
  return true;
}

bool TMQTTProtocolClient::DecodeSubAck(TByteView AData, uint16_t& APacketID,
                                       std::vector<TSubscribeErrorCode>& AErrorCodes) {
  APacketID = 0;
  AErrorCodes.clear();
  TBytes body;
  if (!Expect(AData, 0x90, body)) return false;
  size_t offset = 0;
  if (!ReadWord(body, offset, APacketID, true)) return false;
  AErrorCodes.assign(body.begin() + offset, body.end());
  return true;
}

bool TMQTTProtocolClient::DecodeIdOnly(TByteView AData, uint8_t AFirstByte, uint16_t& APacketID) {
  APacketID = 0;
  TBytes body;
  if (!Expect(AData, AFirstByte, body)) return false;
  size_t offset = 0;
  return ReadWord(body, offset, APacketID, true);
}

bool TMQTTProtocolClient::DecodeUnsubAck(TByteView AData, uint16_t& APacketID) {
  return DecodeIdOnly(AData, 0xB0, APacketID);
}
bool TMQTTProtocolClient::DecodePubAck(TByteView AData, uint16_t& APacketID) {
  return DecodeIdOnly(AData, 0x40, APacketID);
}
bool TMQTTProtocolClient::DecodePubRec(TByteView AData, uint16_t& APacketID) {
  return DecodeIdOnly(AData, 0x50, APacketID);
}
bool TMQTTProtocolClient::DecodePubRel(TByteView AData, uint16_t& APacketID) {
  return DecodeIdOnly(AData, 0x62, APacketID);
}
bool TMQTTProtocolClient::DecodePubComp(TByteView AData, uint16_t& APacketID) {
  return DecodeIdOnly(AData, 0x70, APacketID);
}

bool TMQTTProtocolClient::DecodePingResp(TByteView AData) {
  TBytes body;
  return Expect(AData, 0xD0, body);
}

bool TMQTTProtocolClient::DecodePublish(TByteView AData, std::string& ATopicName, TBytes& APayload,
                                        uint16_t& APacketID, TQualityOfService& AQuality, bool& ARetain,
                                        bool& ADuplicate) {
  ATopicName.clear();
  APayload.clear();
  APacketID = 0;
  AQuality = TQualityOfService::QoS0;
  ARetain = ADuplicate = false;
  size_t offset = 0;
  TMQTTCommand cmd;
  uint8_t flags = 0;
  TBytes body;
  if (!DataToCommand(AData, offset, cmd, flags, body) || cmd != TMQTTCommand::Publish) return false;
  ARetain = flags & 0x01;
  AQuality = TQualityOfService((flags >> 1) & 0x03);
  ADuplicate = flags & 0x08;
  offset = 0;
  if (!ReadString(body, offset, ATopicName, true)) return false;
  if (AQuality != TQualityOfService::QoS0 && !ReadWord(body, offset, APacketID, true)) return false;
  APayload.assign(body.begin() + offset, body.end());
  return true;
}

bool TMQTTProtocolClient::DecodePublish(TByteView AData, std::string& ATopicName, std::string& APayload,
                                        uint16_t& APacketID, TQualityOfService& AQuality, bool& ARetain) {
  TBytes payload;
  bool duplicate = false;
  const bool ok = DecodePublish(AData, ATopicName, payload, APacketID, AQuality, ARetain, duplicate);
  APayload.assign(payload.begin(), payload.end());
  return ok;
}

}  // namespace orvane
