#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mqtt/mqtt_protocol.h"
#include "mqtt/mqtt_socket.h"
#include "platform/deadline.h"

namespace orvane {

struct TClientParams {
  std::string HostName;
  uint16_t Port = 1883;
  std::string ClientID;
  uint16_t AnswerTimeout = 0;                       // carried, not used by the session
  uint16_t ReconnectTimeout = 0;                    // carried, not used by the session
  uint16_t KeepAlive = 0;                           // seconds, sent in CONNECT
  TQualityOfService QoS = TQualityOfService::QoS0;  // carried, not used by the session
  std::string UserName;
  std::string Password;
  std::string SSLMode;  // TLS when not empty; the content is not interpreted
  std::string SSLCACertFile;
  std::string SSLClientCertFile;
  std::string SSLClientKeyFile;
  std::string SSLClientKeyPassword;
  // The broker's certificate chain and host name are checked unless this is switched off.
  bool SSLVerifyPeer = true;
};

class TMQTTClient;

using TConnAckEvent = std::function<void(TMQTTClient* ASender, TConnectErrorCode AErrorCode)>;
using TSubAckEvent = std::function<void(TMQTTClient* ASender, uint16_t APacketID,
                                        const std::vector<TSubscribeErrorCode>& AErrorCodes)>;
using TUnSubAckEvent = std::function<void(TMQTTClient* ASender, uint16_t APacketID)>;
using TPublishEvent = std::function<void(TMQTTClient* ASender, uint16_t APacketID, TQualityOfService AQoS,
                                         const std::string& ATopic, const std::string& APayload)>;
using TPublishEventData = std::function<void(TMQTTClient* ASender, uint16_t APacketID, TQualityOfService AQoS,
                                             const std::string& ATopic, const TBytes& APayload)>;
using TPubAckEvent = std::function<void(TMQTTClient* ASender, uint16_t APacketID)>;
using TPubRecEvent = TPubAckEvent;
using TPubRelEvent = TPubAckEvent;
using TPubCompEvent = TPubAckEvent;
using TPingRespEvent = std::function<void(TMQTTClient* ASender)>;
using TLogMessageEvent = std::function<void(TMQTTClient* ASender, const std::string& Msg)>;

// A small MQTT 3.1 client over one connection. No thread, no timer: the owner
// calls Process to receive and the senders when it wants; every sender
// connects first when the client is not connected. It does not wait for
// CONNACK, retransmit, acknowledge or ping by itself. No operation throws;
// failures are logged and end in a forced disconnect.
// Threads: Process and the events it raises run on the caller's thread with
// FLock held (re-entrant, so a handler may send). FLock serialises socket reads
// in Process with writes in SendData. Connect, Disconnect and the destructor
// must not overlap Process or SendData on another thread. IsConnected may be
// read from any thread. Event handlers are set before use.
class TMQTTClient {
 public:
  static constexpr int32_t MaxCommandSize = 65536;

  explicit TMQTTClient(const TClientParams& AClientParams);
  ~TMQTTClient();
  TMQTTClient(const TMQTTClient&) = delete;
  TMQTTClient& operator=(const TMQTTClient&) = delete;

  bool Connect();
  bool Disconnect() { return Disconnect(false); }
  bool Disconnect(bool AForce);
  bool Subscribe(const std::vector<std::string>& ATopics, TQualityOfService ARequestQoS, uint16_t& APacketID);
  bool Unsubscribe(const std::string& ATopic, uint16_t& APacketID);
  bool Publish(const std::string& ATopic, const std::string& APayload, uint16_t& APacketID);
  bool Publish(const std::string& ATopic, const std::string& APayload, bool ARetain, uint16_t& APacketID);
  bool Publish(const std::string& ATopic, const std::string& APayload, bool ARetain, TQualityOfService AQoS,
               uint16_t& APacketID);
  bool Publish(const std::string& ATopic, const TBytes& APayload);
  // The byte form within ALimit as well as its own: an owner that sends a block in several
  // packets bounds the whole block.
  bool Publish(const std::string& ATopic, const TBytes& APayload, const TDeadline& ALimit);
  bool PubAck(uint16_t APacketID);
  bool PubRec(uint16_t APacketID);
  bool PubRel(uint16_t APacketID);
  bool PubComp(uint16_t APacketID);
  bool PingReq();
  void Process();

  bool IsConnected() const { return FIsConnected; }
  const std::string& ClientID() const { return FClientParams.ClientID; }
  // Asked while a connect or a send waits, so a worker that is stopping is not held up.
  void SetCancelCheck(TCancelCheck AValue) { FCancelCheck = std::move(AValue); }
  // The text of the last failure that ended or refused the connection (a connect, a send, Process).
  const std::string& LastFailure() const { return FLastFailure; }
  // The connection's descriptor, for an owner that waits on it; -1 when not connected.
  int ReadyHandle() const;
  // True when received bytes wait inside the TLS layer, where the descriptor does not show them.
  bool HasBufferedInput() const;
  // Longest time one send may take: a base plus the time at the slowest rate still taken
  // for a working link (SEND_MIN_BYTES_PER_MS).
  static uint32_t SendLimitMs(size_t ALength);
  static constexpr uint32_t SEND_BASE_MS = 5000;
  static constexpr uint32_t SEND_MIN_BYTES_PER_MS = 64;

  TConnAckEvent OnConnAck;
  TSubAckEvent OnSubAck;
  TUnSubAckEvent OnUnsubAck;
  TPublishEvent OnPublish;
  TPublishEventData OnPublishData;
  TPubAckEvent OnPubAck;
  TPubRecEvent OnPubRec;
  TPubRelEvent OnPubRel;
  TPubCompEvent OnPubComp;
  TPingRespEvent OnPingResp;
  TLogMessageEvent OnLogMessageEvent;

  // "[3] 10 0C 00": the count, then the bytes; at most 301 bytes, then " ...".
  static std::string DataToStr(TByteView AData);
  static std::string DataToStr(TByteView AData, size_t AStart, size_t ACount);
  static std::string ErrorCodesToStr(const std::vector<TSubscribeErrorCode>& ACodes);
  static std::string TopicsToStr(const std::vector<std::string>& ATopics);

 private:
  uint16_t NextPacketID();
  void SendData(const TBytes& AData, const TDeadline& AOuterLimit = TDeadline::Never());
  // After a receive buffer overflow: drops the packet at the front to the end its own
  // length announces, so the bytes inside it are never read as packets.
  void SkipOversizedPacket();
  void EnsureConnected();
  void ReceivePacket(TMQTTCommand ACommand, const TBytes& APacket);
  void LogMessage(const std::string& AMsg);
  // Formats only when a log handler is set.
  void LogMessageFmt(const char* AFormat, ...) __attribute__((format(printf, 2, 3)));
  // The acknowledgements that carry only a packet identifier, sent and received.
  bool SendIdPacket(const char* AName, TBytes (TMQTTProtocolClient::*ABuild)(uint16_t), uint16_t APacketID);
  void ReceiveIdPacket(const char* AName, bool (*ADecode)(TByteView, uint16_t&), const TBytes& APacket,
                       const TPubAckEvent& AEvent);
  // Runs ABody; on any failure logs AExceptionFormat with the line and the text, then forces a disconnect.
  template <typename TBody>
  bool Guarded(const char* AExceptionFormat, TBody ABody);

  TClientParams FClientParams;
  TMQTTProtocolClient FProtocolClient;
  uint16_t FPacketID = 1;
  std::atomic<bool> FIsConnected{false};
  std::recursive_mutex FLock;
  std::string FLine;
  int32_t FTimeout = 0;
  std::unique_ptr<TMQTTSocket> FSocket;
  TBytes FReceiveData;
  int32_t FReceiveCount = 0;
  // Bytes still to come of an oversized packet that is being skipped.
  size_t FSkipCount = 0;
  // A CONNECT went out and its CONNACK has not come: any other CONNACK breaks the protocol.
  bool FConnAckPending = false;
  std::string FLastFailure;
  TCancelCheck FCancelCheck;
};

}  // namespace orvane
