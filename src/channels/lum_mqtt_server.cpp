#include "channels/lum_mqtt_server.h"

#include <algorithm>
#include <charconv>
#include <random>
#include <string_view>

namespace orvane {

namespace {

constexpr uint32_t PING_INTERVAL_MS = 10000;
constexpr uint8_t HELLO_MARK = 0xFF;
constexpr std::string_view HELLO_TEXT = "Hello1234567890";

// A decimal text as an integer; anything else is -1.
int64_t PortNumber(const std::string& AText) {
  int64_t value = 0;
  const char* begin = AText.data();
  const char* end = begin + AText.size();
  if (begin != end && *begin == '+') ++begin;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || begin == end) return -1;
  return value;
}

// ComName, "_" and a random number below a random bound below 1000000, so small numbers are likelier.
std::string MakeClientID(const std::string& AComName) {
  std::random_device seed;
  std::mt19937 rng(seed());
  const uint32_t bound = std::uniform_int_distribution<uint32_t>(0, 999999)(rng);
  const uint32_t number = bound == 0 ? 0 : std::uniform_int_distribution<uint32_t>(0, bound - 1)(rng);
  return AComName + "_" + std::to_string(number);
}

}  // namespace

TLumMqttServer::TLumMqttServer(const TLumPortParams& APortParams, TOnReceiveDataEvent AOnReceiveData,
                               TChannelOptions AOptions)
    : FPortParams(APortParams),
      FOnReceiveData(std::move(AOnReceiveData)),
      FTopic(APortParams.MqttTopic),
      FSecurityKeyStr(std::to_string(APortParams.MqttSecurityKey)),
      FCryptKey(FSecurityKeyStr),
      FOptions(std::move(AOptions)),
      FDebugTrace(FOptions.DebugWindow, FOptions.DebugWindowName) {
  if (!FOptions.Ticks) FOptions.Ticks = DefaultTickSource();
  const std::string& host = FPortParams.MqttHost;
  const size_t colon = host.find(':');
  FHost = host.substr(0, colon);
  FPort = FPortParams.MqttTls ? MQTTS_DEFAULT_PORT : MQTT_DEFAULT_PORT;
  if (colon != std::string::npos) {
    const int64_t port = PortNumber(host.substr(colon + 1));
    // No log callback can be set yet, so nobody sees this line; it stays for the order of events.
    if (port < 1 || port > 65535) WriteLog("Некорректно указан порт", false);
    FPort = uint16_t(port);
  }
  TClientParams params;
  params.HostName = FHost;
  params.Port = FPort;
  params.ClientID = MakeClientID(FPortParams.ComName);
  params.UserName = FPortParams.MqttUserName;
  params.Password = FPortParams.MqttPassword;
  params.AnswerTimeout = 30;
  params.ReconnectTimeout = 30;
  params.KeepAlive = 30;
  params.QoS = TQualityOfService::QoS0;
  if (FPortParams.MqttTls) {
    params.SSLMode = "tls";
    params.SSLCACertFile = FPortParams.MqttCaFile;
    params.SSLVerifyPeer = FPortParams.MqttVerifyCert;
  }
  FMQTTClient = std::make_unique<TMQTTClient>(params);
  FMQTTClient->OnPublishData = [this](TMQTTClient* s, uint16_t id, TQualityOfService q, const std::string& t,
                                      const TBytes& p) { HandlePublishData(s, id, q, t, p); };
  if (FOptions.CancelCheck) FMQTTClient->SetCancelCheck(FOptions.CancelCheck);
  FMQTTClient->OnConnAck = [this](TMQTTClient* s, TConnectErrorCode c) { HandleConnAck(s, c); };
  FMQTTClient->OnSubAck = [this](TMQTTClient*, uint16_t AID, const std::vector<TSubscribeErrorCode>& ACodes) {
    // 0x80 is the broker's refusal of a topic.
    if (AID == FSubAckID) FSubAccepted = !ACodes.empty() && ACodes.front() != 0x80;
    if (AID == FSubAckID && !FSubAccepted) FSubAckID = 0;
    // Active from here: a PUBLISH read together with the SUBACK is delivered, not dropped.
    if (FSubAccepted && FConnAccepted) FOpened = true;
  };
  FMQTTClient->OnPingResp = [this](TMQTTClient*) { FPingUnanswered = false; };
}

// The session goes first, saying goodbye to the broker while every member its handlers touch still exists.
TLumMqttServer::~TLumMqttServer() {
  FMQTTClient.reset();
}

bool TLumMqttServer::GetActive() {
  return FOpened && FMQTTClient->IsConnected();
}

void TLumMqttServer::WriteLog(const std::string& AMessage, bool ADebug) {
  if (FWriteLog) FWriteLog(AMessage, ADebug);
}

void TLumMqttServer::LogError(const std::string& AError) {
  Last_IP_Error = AError;
  WriteLog("ERROR=" + Last_IP_Error, false);
}

void TLumMqttServer::SetCancelCheck(TCancelCheck AValue) {
  FOptions.CancelCheck = AValue;
  FMQTTClient->SetCancelCheck(std::move(AValue));
}

int TLumMqttServer::ReadyHandle() const {
  return FMQTTClient->ReadyHandle();
}

std::optional<uint32_t> TLumMqttServer::NextDeadlineMs() const {
  if (!FMQTTClient->IsConnected()) return std::nullopt;
  // Bytes inside the TLS layer do not make the descriptor readable.
  if (FMQTTClient->HasBufferedInput() || !FPinged) return 0;
  const uint32_t now = FOptions.Ticks();
  const uint32_t sincePing = now - FLastPing;
  uint32_t due = sincePing > PING_INTERVAL_MS ? 0 : PING_INTERVAL_MS + 1 - sincePing;
  if (FPingUnanswered) {
    const uint32_t waited = now - FPingSentAt;
    due = std::min(due, waited >= PING_ANSWER_TIMEOUT_MS ? 0 : PING_ANSWER_TIMEOUT_MS - waited);
  }
  return due;
}

bool TLumMqttServer::Open(const std::string& /*IP*/, uint16_t /*Port*/, uint8_t /*Line*/) {
  WriteLog("Connecting to mqtt...", false);
  FOpened = false;
  FRefused = false;
  FPingUnanswered = false;
  FPinged = false;
  FConnAccepted = false;
  FSubAccepted = false;
  bool opened = false;
  try {
    if (FMQTTClient->Connect()) {
      std::string why;
      uint16_t id = 0;
      // "Connect - OK" only once the broker has answered: a frozen broker's kernel
      // still accepts the connection.
      if (!FMQTTClient->Subscribe({FTopic}, TQualityOfService::QoS0, id)) {
        why = FMQTTClient->LastFailure();
      } else {
        opened = AwaitAnswers(id, why);
      }
      if (opened) {
        WriteLog("Connect - OK", false);
      } else if (!FRefused) {
        // A refusal has said its own line.
        LogError(why);
      }
    } else {
      // A refused certificate must say why; plain ports keep their two known lines.
      if (FPortParams.MqttTls) LogError(FMQTTClient->LastFailure());
      WriteLog("Connect - Fail", false);
    }
  } catch (const std::exception& e) {
    Last_IP_Error = e.what();
    WriteLog("Connect fail : " + Last_IP_Error, false);
  }
  if (!opened) FMQTTClient->Disconnect(true);
  FResume.Opened(opened);
  FOpened = opened;
  return opened;
}

bool TLumMqttServer::AwaitAnswers(uint16_t ASubscribeID, std::string& AWhyNot) {
  FSubAckID = ASubscribeID;
  const TDeadline limit(OPEN_ANSWER_TIMEOUT_MS);
  while (FMQTTClient->IsConnected() && !(FConnAccepted && FSubAccepted)) {
    if (FSubAckID == 0) {
      AWhyNot = "Subscription refused, topic " + FTopic;
      return false;
    }
    if (limit.Expired()) {
      AWhyNot = std::string(FConnAccepted ? "No SUBACK" : "No CONNACK") + " within " +
                std::to_string(OPEN_ANSWER_TIMEOUT_MS) + " ms";
      return false;
    }
    if (FOptions.CancelCheck && FOptions.CancelCheck()) {
      AWhyNot = "Cancelled";
      return false;
    }
    // Bytes inside the TLS layer do not make the descriptor readable.
    if (!FMQTTClient->HasBufferedInput())
      WaitReadable({FMQTTClient->ReadyHandle()},
                   TDeadline(std::min(OPEN_WAIT_SLICE_MS, limit.RemainingMs())));
    FMQTTClient->Process();
  }
  if (!FMQTTClient->IsConnected()) {
    AWhyNot = FMQTTClient->LastFailure();
    return false;
  }
  return true;
}

bool TLumMqttServer::Close() {
  WriteLog("Disconnected", false);
  FOpened = false;
  // A session that is down only needs to be sure it is closed: unsubscribing would
  // connect first, against a broker that may not answer.
  if (!FMQTTClient->IsConnected()) {
    FMQTTClient->Disconnect(true);
    return true;
  }
  try {
    uint16_t id = 0;
    FMQTTClient->Unsubscribe(FTopic, id);
    FMQTTClient->Disconnect(false);
  } catch (const std::exception& e) {
    Last_IP_Error = e.what();
    WriteLog("Disconnected fail : " + Last_IP_Error, false);
  }
  return true;
}

bool TLumMqttServer::PublishPacket(const TPacketData& APacket, const TDeadline& ALimit) {
  return FMQTTClient->Publish(FTopic, EncodePacket(APacket), ALimit);
}

bool TLumMqttServer::Send_String(const std::string& AData, uint16_t /*AWaitAnswer*/,
                                 bool /*Will_Be_Delay_Between_Chars*/) {
  // A resend of a block that failed part-way starts at its first undelivered packet.
  size_t pos = FResume.Start(AData);
  try {
    WriteLog("Sending " + BytesToHexCapped(AData), true);
    // A publish on a dropped session would reconnect without subscribing; the
    // false result makes the bridge close, open (and subscribe) and send again.
    if (!GetActive()) {
      FResume.Finished(AData, false, pos);
      LogError("Not connected");
      return false;
    }
    // One limit for the whole block, so a broker that reads slowly cannot hold the worker
    // for as many full per-packet limits as the block has packets.
    const TDeadline limit(TMQTTClient::SendLimitMs(AData.size() - pos));
    // Long data goes in several packets, in order: one packet's length field has
    // 16 bits, and the receiving end must be able to buffer a whole packet.
    do {
      const size_t n = std::min(MAX_PACKET_DATA, AData.size() - pos);
      TPacketData packet{FMQTTClient->ClientID(), FBaudRate, FBitData, FParityBits, FStopBits,
                         AData.substr(pos, n)};
      if (!PublishPacket(packet, limit)) {
        // The session has dropped; the rest would only arrive with a gap.
        FResume.Finished(AData, false, pos);
        LogError("Publish failed");
        return false;
      }
      pos += n;
    } while (pos < AData.size());
    FResume.Finished(AData, true, pos);
    return true;
  } catch (const std::exception& e) {
    FResume.Finished(AData, false, pos);
    LogError(e.what());
    return false;
  }
}

bool TLumMqttServer::Send_Hello() {
  try {
    // Only over a live session: a reconnecting publish would leave the topic unsubscribed.
    if (!GetActive()) return false;
    TPacketData packet{FMQTTClient->ClientID(), HELLO_MARK, HELLO_MARK, HELLO_MARK, HELLO_MARK,
                       std::string(HELLO_TEXT)};
    WriteLog("Sending hello", true);
    PublishPacket(packet);
    return true;
  } catch (const std::exception& e) {
    LogError(e.what());
    return false;
  }
}

void TLumMqttServer::ReadData() {
  try {
    const bool wasConnected = FMQTTClient->IsConnected();
    FMQTTClient->Process();
    // A refusal has said its own line.
    if (wasConnected && !FMQTTClient->IsConnected() && !FRefused) LogError(FMQTTClient->LastFailure());
    const uint32_t now = FOptions.Ticks();
    // A half-open link (a cut network) answers nothing and reports nothing: only the
    // missing PINGRESP shows it.
    if (FMQTTClient->IsConnected() && FPingUnanswered && now - FPingSentAt >= PING_ANSWER_TIMEOUT_MS) {
      LogError("No PINGRESP within " + std::to_string(PING_ANSWER_TIMEOUT_MS) + " ms");
      FMQTTClient->Disconnect(true);
    }
    // Only a live session is pinged: a ping on a dropped one would reconnect it without the subscription.
    if (FMQTTClient->IsConnected() && (!FPinged || now - FLastPing > PING_INTERVAL_MS)) {
      FPinged = true;
      FLastPing = now;
      if (!FPingUnanswered) {
        FPingUnanswered = true;
        FPingSentAt = now;
      }
      FMQTTClient->PingReq();
    }
  } catch (const std::exception& e) {
    LogError(e.what());
  }
}

bool TLumMqttServer::Set_Port_Send_Baud(int32_t Speed) {
  if (const auto code = BaudRateOrdinal(Speed)) FBaudRate = *code;
  return true;
}

bool TLumMqttServer::Set_Port_Recv_Baud(int32_t /*Speed*/) {
  return true;
}

void TLumMqttServer::SetSendParams(TTCP_Port_Parity aParity, uint8_t aDataBits,
                                   TTCP_Port_StopBits aStopBits) {
  if (const auto ordinal = DataBitsOrdinal(aDataBits)) FBitData = *ordinal;
  FParityBits = aParity;
  FStopBits = aStopBits;
}

void TLumMqttServer::SetReciveParams(TTCP_Port_Parity aParity, uint8_t aDataBits,
                                     TTCP_Port_StopBits aStopBits) {
  SetSendParams(aParity, aDataBits, aStopBits);
}

TBytes TLumMqttServer::EncodePacket(const TPacketData& APacket) {
  FDebugTrace.Send("EncodePacket   " + FPortParams.ComName + "    " + FSecurityKeyStr);
  return EncodeChannelPacket(APacket, FCryptKey);
}

bool TLumMqttServer::DecodePacket(TByteView AData, TPacketData& APacket) {
  FDebugTrace.Send("DecodePacket   " + FPortParams.ComName + "    " + FSecurityKeyStr);
  return DecodeChannelPacket(AData, FCryptKey, APacket);
}

void TLumMqttServer::HandleConnAck(TMQTTClient* /*ASender*/, TConnectErrorCode AErrorCode) {
  FConnAccepted = AErrorCode == TConnectErrorCode::Success;
  if (FConnAccepted) return;
  // A refused session can never carry anything: end it so Active turns false.
  WriteLog("ERROR=Connection refused, code=" + std::to_string(int(AErrorCode)), false);
  FRefused = true;
  FMQTTClient->Disconnect(true);
}

void TLumMqttServer::HandlePublishData(TMQTTClient* /*ASender*/, uint16_t /*APacketID*/,
                                       TQualityOfService /*AQoS*/, const std::string& /*ATopic*/,
                                       const TBytes& APayload) {
  try {
    TPacketData packet;
    if (!DecodePacket(APayload, packet)) return;  // undecodable: dropped without a word
    if (packet.ClientID == FMQTTClient->ClientID()) return;
    if (packet.BaudRate == HELLO_MARK && packet.BitData == HELLO_MARK && packet.ParityBits == HELLO_MARK &&
        packet.StopBits == HELLO_MARK) {
      if (packet.Data != HELLO_TEXT && FOnHelloFailed) FOnHelloFailed(this);
      return;
    }
    bool changed = false;
    auto adopt = [&changed](std::atomic<uint8_t>& AField, uint8_t AValue) {
      if (AField != AValue) {
        AField = AValue;
        changed = true;
      }
    };
    adopt(FBaudRate, packet.BaudRate);
    adopt(FBitData, packet.BitData);
    adopt(FParityBits, packet.ParityBits);
    adopt(FStopBits, packet.StopBits);
    if (changed && FOnParamPortChange)
      FOnParamPortChange(TTCP_Port_BaudRate(FBaudRate.load()), TTCP_Port_Parity(FParityBits.load()),
                         TTCP_Port_StopBits(FStopBits.load()), TTCP_Port_DataBits(FBitData.load()));
    if (!packet.Data.empty() && FOnReceiveData) FOnReceiveData(packet.Data);
  } catch (const std::exception&) {
    // Handling errors drop the packet silently, as undecodable ones are.
  }
}

}  // namespace orvane
