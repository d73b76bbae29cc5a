#include "mqtt/mqtt_client.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace orvane {

namespace {

// A failure inside an operation; caught, logged and turned into a false result by that operation.
struct EMQTTFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string VFormat(const char* AFormat, va_list AArgs) {
  va_list copy;
  va_copy(copy, AArgs);
  const int n = std::vsnprintf(nullptr, 0, AFormat, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, AFormat, AArgs);
  return out;
}

std::string Format(const char* AFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* AFormat, ...) {
  va_list args;
  va_start(args, AFormat);
  std::string out = VFormat(AFormat, args);
  va_end(args);
  return out;
}

const char* BoolStr(bool AValue) {
  return AValue ? "True" : "False";
}

constexpr size_t MAX_DUMP_INDEX = 300;
constexpr size_t READ_CHUNK = 1024;

template <typename TList, typename TItem>
std::string ListToStr(const TList& AList, TItem AItem) {
  if (AList.empty()) return {};
  std::string out = "[" + std::to_string(AList.size()) + "] ";
  for (size_t i = 0; i < AList.size(); ++i) {
    if (i > 0) out += "; ";
    out += AItem(AList[i]);
    if (i >= MAX_DUMP_INDEX) {
      out += " ...";
      break;
    }
  }
  return out;
}

}  // namespace

TMQTTClient::TMQTTClient(const TClientParams& AClientParams)
    : FClientParams(AClientParams),
      FLine(Format("%s:%d", AClientParams.HostName.c_str(), AClientParams.Port)) {}

TMQTTClient::~TMQTTClient() {
  if (FSocket) Disconnect(false);
}

void TMQTTClient::LogMessage(const std::string& AMsg) {
  if (OnLogMessageEvent) OnLogMessageEvent(this, AMsg);
}

void TMQTTClient::LogMessageFmt(const char* AFormat, ...) {
  if (!OnLogMessageEvent) return;
  va_list args;
  va_start(args, AFormat);
  const std::string line = VFormat(AFormat, args);
  va_end(args);
  OnLogMessageEvent(this, line);
}

std::string TMQTTClient::DataToStr(TByteView AData) {
  return DataToStr(AData, 0, AData.size());
}

std::string TMQTTClient::DataToStr(TByteView AData, size_t AStart, size_t ACount) {
  if (AData.empty() || AStart >= AData.size()) return {};
  ACount = std::min(ACount, AData.size() - AStart);
  std::string out = "[" + std::to_string(ACount) + "] ";
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  for (size_t i = 0; i < ACount; ++i) {
    if (i > 0) out += ' ';
    const uint8_t b = AData[AStart + i];
    out += DIGITS[b >> 4];
    out += DIGITS[b & 0x0F];
    if (i >= MAX_DUMP_INDEX) {
      out += " ...";
      break;
    }
  }
  return out;
}

std::string TMQTTClient::ErrorCodesToStr(const std::vector<TSubscribeErrorCode>& ACodes) {
  return ListToStr(ACodes, [](TSubscribeErrorCode c) { return std::to_string(c); });
}

std::string TMQTTClient::TopicsToStr(const std::vector<std::string>& ATopics) {
  return ListToStr(ATopics, [](const std::string& t) { return t; });
}

uint16_t TMQTTClient::NextPacketID() {
  if (FPacketID == 0 || FPacketID == 0xFFFF) FPacketID = 1;
  return FPacketID++;
}

bool TMQTTClient::Connect() {
  LogMessageFmt("MQTTClient.Connect, Line=%s", FLine.c_str());
  try {
    if (FIsConnected) Disconnect(false);
    FSocket.reset();
    auto socket = std::make_unique<TMQTTSocket>();
    std::string failure;
    if (!socket->Connect(FClientParams.HostName, FClientParams.Port, FCancelCheck)) {
      failure = Format("Error connect TCP, ErrorCode=%d, Message=%s", socket->LastError(),
                       socket->LastErrorDesc().c_str());
    } else {
      LogMessageFmt("MQTTClient.Connect, Line=%s, Connect TCP", FLine.c_str());
      if (!FClientParams.SSLMode.empty()) {
        const TTlsSettings tls{FClientParams.SSLCACertFile, FClientParams.SSLClientCertFile,
                               FClientParams.SSLClientKeyFile, FClientParams.SSLClientKeyPassword,
                               FClientParams.SSLVerifyPeer};
        if (!socket->SSLDoConnect(tls, FCancelCheck)) {
          // "SSL/TCL" is the text log readers know.
          failure = Format("Error connect SSL/TCL, ErrorCode=%d, Message=%s", socket->LastError(),
                           socket->LastErrorDesc().c_str());
        } else {
          LogMessageFmt("MQTTClient.Connect, Line=%s, Connect SSL/TCL", FLine.c_str());
        }
      }
    }
    if (!failure.empty()) {
      FIsConnected = false;
      throw EMQTTFailure(failure);
    }
    FSocket = std::move(socket);
    FIsConnected = true;
    SendData(FProtocolClient.CommandConnect(FClientParams.ClientID, FClientParams.UserName,
                                            FClientParams.Password, FClientParams.KeepAlive, true,
                                            TWillParams{}));
    FReceiveCount = 0;  // bytes of an earlier connection are stale
    FSkipCount = 0;
    FConnAckPending = true;
    LogMessage("MQTTClient.Connect - OK");
    return true;
  } catch (const std::exception& e) {
    FLastFailure = e.what();
    LogMessageFmt("[EXCEPTION] MQTTClient.Connect, Line=%s, Error=(%s)", FLine.c_str(), e.what());
    Disconnect(true);
    return false;
  }
}

bool TMQTTClient::Disconnect(bool AForce) {
  LogMessageFmt("MQTTClient.Disconnect, Line=%s, Force=%s", FLine.c_str(), BoolStr(AForce));
  try {
    if (FIsConnected) {
      FIsConnected = false;
      if (FSocket) {
        // Released whatever happens while saying goodbye.
        struct TRelease {
          std::unique_ptr<TMQTTSocket>& S;
          ~TRelease() {
            if (S) S->CloseSocket();
            S.reset();
          }
        } release{FSocket};
        const TBytes packet = FProtocolClient.CommandDisconnect();
        if (!AForce) SendData(packet);
      }
    }
    FSocket.reset();
    LogMessage("MQTTClient.Disconnect - OK");
    return true;
  } catch (const std::exception& e) {
    LogMessageFmt("[EXCEPTION] MQTTClient.Disconnect, Line=%s, Error=%s", FLine.c_str(), e.what());
    FSocket.reset();
    return false;
  }
}

template <typename TBody>
bool TMQTTClient::Guarded(const char* AExceptionFormat, TBody ABody) {
  try {
    ABody();
    return true;
  } catch (const std::exception& e) {
    FLastFailure = e.what();
    LogMessageFmt(AExceptionFormat, FLine.c_str(), e.what());
    Disconnect(true);
    return false;
  }
}

void TMQTTClient::EnsureConnected() {
  if (!FIsConnected && !Connect()) throw EMQTTFailure("Connect error");
}

bool TMQTTClient::Subscribe(const std::vector<std::string>& ATopics, TQualityOfService ARequestQoS,
                            uint16_t& APacketID) {
  APacketID = 0;
  if (OnLogMessageEvent)
    LogMessageFmt("MQTTClient.Subscribe, Line=%s, ATopics=(%s), RequestQoS=%d", FLine.c_str(),
                  TopicsToStr(ATopics).c_str(), int(ARequestQoS));
  return Guarded("[EXCEPTION] MQTTClient.Subscribe, Line=%s, Error=%s", [&] {
    EnsureConnected();
    APacketID = NextPacketID();
    SendData(FProtocolClient.CommandSubscribe(ATopics, ARequestQoS, APacketID));
    LogMessageFmt("MQTTClient.Subscribe - OK, PacketID=%d", APacketID);
  });
}

bool TMQTTClient::Unsubscribe(const std::string& ATopic, uint16_t& APacketID) {
  APacketID = 0;
  LogMessageFmt("MQTTClient.Unsubscribe, Line=%s, Topic=%s", FLine.c_str(), ATopic.c_str());
  return Guarded("[EXCEPTION] MQTTClient.Unsubscribe, Line=%s, Error=%s", [&] {
    EnsureConnected();
    APacketID = NextPacketID();
    SendData(FProtocolClient.CommandUnsubscribe(ATopic, APacketID));
    LogMessageFmt("MQTTClient.Unsubscribe - OK, PacketID=%d", APacketID);
  });
}

bool TMQTTClient::Publish(const std::string& ATopic, const std::string& APayload, uint16_t& APacketID) {
  return Publish(ATopic, APayload, false, TQualityOfService::QoS0, APacketID);
}

bool TMQTTClient::Publish(const std::string& ATopic, const std::string& APayload, bool ARetain,
                          uint16_t& APacketID) {
  return Publish(ATopic, APayload, ARetain, TQualityOfService::QoS0, APacketID);
}

bool TMQTTClient::Publish(const std::string& ATopic, const std::string& APayload, bool ARetain,
                          TQualityOfService AQoS, uint16_t& APacketID) {
  APacketID = 0;
  LogMessageFmt("MQTTClient.Publish, Line=%s, Topic=%s, Payload=%s, Retain=%s, QoS=%d", FLine.c_str(),
                ATopic.c_str(), APayload.c_str(), BoolStr(ARetain), int(AQoS));
  return Guarded("[EXCEPTION] MQTTClient.Publish, Line=%s, Error=%s", [&] {
    EnsureConnected();
    APacketID = NextPacketID();
    SendData(FProtocolClient.CommandPublish(ATopic, APayload, APacketID, AQoS, ARetain));
    LogMessageFmt("MQTTClient.Publish - OK, PacketID=%d", APacketID);
  });
}

bool TMQTTClient::Publish(const std::string& ATopic, const TBytes& APayload) {
  return Publish(ATopic, APayload, TDeadline::Never());
}

bool TMQTTClient::Publish(const std::string& ATopic, const TBytes& APayload, const TDeadline& ALimit) {
  return Guarded("[EXCEPTION] MQTTClient.Publish bytes, Line=%s, Error=%s", [&] {
    EnsureConnected();
    const uint16_t id = NextPacketID();
    SendData(FProtocolClient.CommandPublish(ATopic, APayload, id, TQualityOfService::QoS0, false, false),
             ALimit);
    // "bytes- OK" without a blank is the line log readers know.
    LogMessageFmt("MQTTClient.Publish bytes- OK, PacketID=%d", id);
  });
}

bool TMQTTClient::SendIdPacket(const char* AName, TBytes (TMQTTProtocolClient::*ABuild)(uint16_t),
                               uint16_t APacketID) {
  LogMessageFmt("MQTTClient.%s, Line=%s, PacketID=%d", AName, FLine.c_str(), APacketID);
  const std::string failure = std::string("[EXCEPTION] MQTTClient.") + AName + ", Line=%s, Error=%s";
  return Guarded(failure.c_str(), [&] {
    EnsureConnected();
    SendData((FProtocolClient.*ABuild)(APacketID));
    LogMessageFmt("MQTTClient.%s - OK", AName);
  });
}

bool TMQTTClient::PubAck(uint16_t APacketID) {
  return SendIdPacket("PubAck", &TMQTTProtocolClient::CommandPubAck, APacketID);
}

bool TMQTTClient::PubRec(uint16_t APacketID) {
  return SendIdPacket("PubRec", &TMQTTProtocolClient::CommandPubRec, APacketID);
}

bool TMQTTClient::PubRel(uint16_t APacketID) {
  return SendIdPacket("PubRel", &TMQTTProtocolClient::CommandPubRel, APacketID);
}

bool TMQTTClient::PubComp(uint16_t APacketID) {
  return SendIdPacket("PubComp", &TMQTTProtocolClient::CommandPubComp, APacketID);
}

bool TMQTTClient::PingReq() {
  LogMessageFmt("MQTTClient.PingReq, Line=%s", FLine.c_str());
  // "Line%s" without the "=" is the line log readers know.
  return Guarded("[EXCEPTION] MQTTClient.PingReq, Line%s, Error=%s", [&] {
    EnsureConnected();
    SendData(FProtocolClient.CommandPingReq());
    LogMessage("MQTTClient.PingReq - OK");
  });
}

uint32_t TMQTTClient::SendLimitMs(size_t ALength) {
  return uint32_t(std::min<uint64_t>(SEND_BASE_MS + ALength / SEND_MIN_BYTES_PER_MS, UINT32_MAX - 1));
}

int TMQTTClient::ReadyHandle() const {
  return FSocket ? int(FSocket->Handle()) : -1;
}

bool TMQTTClient::HasBufferedInput() const {
  return FSocket && FSocket->BufferedInput() > 0;
}

void TMQTTClient::SendData(const TBytes& AData, const TDeadline& AOuterLimit) {
  if (OnLogMessageEvent) LogMessageFmt("MQTTClient.SendData, Data=(%s)", DataToStr(AData).c_str());
  if (!FSocket) throw EMQTTFailure("MQTTClient.SendData, not connected");
  // Held for the whole packet: the bytes of two packets must never interleave.
  std::lock_guard<std::recursive_mutex> lock(FLock);
  const TDeadline limit(std::min(SendLimitMs(AData.size()), AOuterLimit.RemainingMs()));
  size_t written = 0;
  if (!FSocket->SendBuffer(AData.data(), AData.size(), written, limit, FCancelCheck) ||
      written != AData.size())
    throw EMQTTFailure(
        Format("MQTTClient.SendData, Error writing to socket, ErrorCode=%d, Message=%s, LengthToWrite=%d, "
               "LengthWrite=%d",
               FSocket->LastError(), FSocket->LastErrorDesc().c_str(), int(AData.size()), int(written)));
  LogMessage("MQTTClient.SendData - OK");
}

void TMQTTClient::SkipOversizedPacket() {
  size_t offset = 1;  // past the first byte
  uint32_t length = 0;
  if (!TMQTTProtocolClient::DecodeRemainingLength(TByteView(FReceiveData.data(), size_t(FReceiveCount)),
                                                  offset, length)) {
    // An unreadable length says nothing about where the next packet starts.
    FReceiveCount = 0;
    return;
  }
  const size_t end = offset + length;
  if (end >= size_t(FReceiveCount)) {
    FSkipCount = end - size_t(FReceiveCount);
    FReceiveCount = 0;
    return;
  }
  std::memmove(FReceiveData.data(), FReceiveData.data() + end, size_t(FReceiveCount) - end);
  FReceiveCount -= int32_t(end);
}

void TMQTTClient::Process() {
  if (!FIsConnected) return;
  std::lock_guard<std::recursive_mutex> lock(FLock);
  try {
    // Readable rather than bytes waiting: a broker that closed must be noticed now. A plain
    // socket is read at once: the read tells both, and finding bytes costs one call, not two.
    if (!FSocket || (!FSocket->Plain() && !FSocket->ReadableNow())) return;
    DataUtils::EnsureLength(FReceiveData, size_t(FReceiveCount) + READ_CHUNK);
    const long got =
        FSocket->RecvBufferEx(FReceiveData.data() + FReceiveCount, READ_CHUNK, uint32_t(FTimeout));
    if (got < 0)
      throw EMQTTFailure(Format("Error reading from socket, ErrorCode=%d, Message=%s", FSocket->LastError(),
                                FSocket->LastErrorDesc().c_str()));
    if (got == 0 && FSocket->Plain()) return;  // nothing waiting
    FReceiveCount += int32_t(got);
    if (OnLogMessageEvent)
      LogMessageFmt("MQTTClient.Process, ReceiveData=(%s)",
                    DataToStr(TByteView(FReceiveData.data(), size_t(FReceiveCount))).c_str());
    if (FSkipCount > 0) {
      const size_t n = std::min(FSkipCount, size_t(FReceiveCount));
      std::memmove(FReceiveData.data(), FReceiveData.data() + n, size_t(FReceiveCount) - n);
      FReceiveCount -= int32_t(n);
      FSkipCount -= n;
    }
    if (FReceiveCount >= MaxCommandSize) {
      LogMessageFmt("[ERROR] MQTTClient.Process, Data overflow, ReceiveCount=%d, MaxCommandSize=%d",
                    FReceiveCount, MaxCommandSize);
      SkipOversizedPacket();
    }
    TBytes body;
    while (FReceiveCount > 0) {
      size_t size = 0;
      TMQTTCommand command;
      uint8_t flags;
      if (!TMQTTProtocolClient::DataToCommand(TByteView(FReceiveData.data(), size_t(FReceiveCount)), size,
                                              command, flags, body))
        break;
      const TBytes packet(FReceiveData.begin(), FReceiveData.begin() + long(size));
      std::memmove(FReceiveData.data(), FReceiveData.data() + size, size_t(FReceiveCount) - size);
      FReceiveCount -= int32_t(size);
      ReceivePacket(command, packet);
      // A handler may have closed the session; what is left belongs to that connection.
      if (!FIsConnected) {
        FReceiveCount = 0;
        break;
      }
    }
  } catch (const std::exception& e) {
    FLastFailure = e.what();
    // A TLS listener drops plain MQTT without a word; the socket error alone does not tell the user that.
    if (FConnAckPending && FClientParams.SSLMode.empty())
      FLastFailure =
          "Connection closed before CONNACK (does the broker expect TLS on this port?): " + FLastFailure;
    LogMessageFmt("[EXCEPTION] MQTTClient.Process, Line=%s, Error=%s", FLine.c_str(), e.what());
    Disconnect(true);
  }
}

void TMQTTClient::ReceiveIdPacket(const char* AName, bool (*ADecode)(TByteView, uint16_t&),
                                  const TBytes& APacket, const TPubAckEvent& AEvent) {
  uint16_t decoded = 0;
  if (!ADecode(APacket, decoded)) return;
  // A copy: GCC 12 at -O3 takes the decoder's reference for one that outlives
  // the call (-Wdangling-pointer) and fails the build.
  const uint16_t id = decoded;
  LogMessageFmt("MQTTClient.Receive%s, Line=%s, PacketID=%d", AName, FLine.c_str(), id);
  if (AEvent) AEvent(this, id);
  LogMessageFmt("MQTTClient.Receive%s - OK", AName);
}

void TMQTTClient::ReceivePacket(TMQTTCommand ACommand, const TBytes& APacket) {
  if (OnLogMessageEvent)
    LogMessageFmt("MQTTClient.ReceivePacket, Line=%s, ACommand=%d, Packet=(%s)", FLine.c_str(), int(ACommand),
                  DataToStr(APacket).c_str());
  uint16_t id = 0;
  switch (ACommand) {
    case TMQTTCommand::ConnAck: {
      bool present = false;
      TConnectErrorCode code;
      if (TMQTTProtocolClient::DecodeConnAck(APacket, present, code)) {
        // Only the answer to our CONNECT is one; any other is a broken stream, not a refusal.
        if (!FConnAckPending) throw EMQTTFailure(Format("Unexpected CONNACK, ErrorCode=%d", int(code)));
        FConnAckPending = false;
        LogMessageFmt("MQTTClient.ReceiveConnAck, Line=%s, ErrorCode=%d", FLine.c_str(), int(code));
        if (OnConnAck) OnConnAck(this, code);
        LogMessage("MQTTClient.ReceiveConnAck - OK");
      }
      break;
    }
    case TMQTTCommand::Publish: {
      std::string topic;
      TQualityOfService qos;
      bool retain = false;
      if (OnPublish) {
        std::string payload;
        if (TMQTTProtocolClient::DecodePublish(APacket, topic, payload, id, qos, retain)) {
          LogMessageFmt("MQTTClient.ReceivePublish, Line=%s, PacketID=%d, QoS=%d, Topic=%s, Payload=%s",
                        FLine.c_str(), id, int(qos), topic.c_str(), payload.c_str());
          OnPublish(this, id, qos, topic, payload);
          LogMessage("MQTTClient.ReceivePublish - OK");
        }
      }
      if (OnPublishData) {
        TBytes payload;
        bool duplicate = false;
        if (TMQTTProtocolClient::DecodePublish(APacket, topic, payload, id, qos, retain, duplicate)) {
          OnPublishData(this, id, qos, topic, payload);
          LogMessage("MQTTClient.ReceivePublish2 - OK");
        }
      }
      break;
    }
    case TMQTTCommand::PubAck:
      ReceiveIdPacket("PubAck", TMQTTProtocolClient::DecodePubAck, APacket, OnPubAck);
      break;
    case TMQTTCommand::PubRec:
      ReceiveIdPacket("PubRec", TMQTTProtocolClient::DecodePubRec, APacket, OnPubRec);
      break;
    case TMQTTCommand::PubRel:
      ReceiveIdPacket("PubRel", TMQTTProtocolClient::DecodePubRel, APacket, OnPubRel);
      break;
    case TMQTTCommand::PubComp:
      ReceiveIdPacket("PubComp", TMQTTProtocolClient::DecodePubComp, APacket, OnPubComp);
      break;
    case TMQTTCommand::SubAck: {
      std::vector<TSubscribeErrorCode> codes;
      if (TMQTTProtocolClient::DecodeSubAck(APacket, id, codes)) {
        if (OnLogMessageEvent)
          LogMessageFmt("MQTTClient.ReceiveSubAck, Line=%s, PacketID=%d, ErrorCodes=(%s)", FLine.c_str(), id,
                        ErrorCodesToStr(codes).c_str());
        if (OnSubAck) OnSubAck(this, id, codes);
        LogMessage("MQTTClient.ReceiveSubAck - OK");
      }
      break;
    }
    case TMQTTCommand::UnsubAck:
      ReceiveIdPacket("UnsubAck", TMQTTProtocolClient::DecodeUnsubAck, APacket, OnUnsubAck);
      break;
    case TMQTTCommand::PingResp:
      if (TMQTTProtocolClient::DecodePingResp(APacket)) {
        LogMessageFmt("MQTTClient.ReceivePingResp, Line=%s", FLine.c_str());
        if (OnPingResp) OnPingResp(this);
        LogMessage("MQTTClient.ReceivePingResp - OK");
      }
      break;
    default: break;
  }
  LogMessage("MQTTClient.ReceivePacket - OK");
}

}  // namespace orvane
