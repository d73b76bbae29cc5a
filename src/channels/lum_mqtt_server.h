#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "channels/channel_options.h"
#include "channels/channel_packet.h"
#include "channels/server_interface.h"
#include "channels/split_send.h"
#include "model/lum_port_params.h"
#include "mqtt/mqtt_client.h"
#include "platform/debug_trace.h"

namespace orvane {

// The channel of an "MQTT" port: the port's bytes travel as enciphered packets
// on the port's topic through a broker; both ends subscribe and publish there,
// each ignores its own packets, and a periodic hello checks that the keys match.
// Threads: the worker calls Open, Close, Send_String, Send_Hello and ReadData,
// and every callback runs on it (inside ReadData). The main thread may call the
// line-setting operations and GetActive at any time; the four setting bytes are
// atomics for that reason. Setters of callbacks are called before the worker starts.
// Of its options, Ticks times the keep-alive ping and its answer, and CancelCheck cuts a
// connect, the wait for the broker's answers and a send short. A dropped session stays
// down: the owner decides when to Open again.
class TLumMqttServer : public IServerInterface {
 public:
  // Packets never carry more data than this, so the receiving session, which
  // drops everything once 65536 bytes are buffered, can always take a whole one.
  static constexpr size_t MAX_PACKET_DATA = 32768;

  TLumMqttServer(const TLumPortParams& APortParams, TOnReceiveDataEvent AOnReceiveData,
                 TChannelOptions AOptions = {});
  ~TLumMqttServer() override;

  bool GetActive() override;
  TSevc_Port_On_Debug_String_Event GetOnWriteLog() override { return FWriteLog; }
  void SetOnWriteLog(TSevc_Port_On_Debug_String_Event AValue) override { FWriteLog = std::move(AValue); }
  TOnParamPortChange GetOnParamPortChange() override { return FOnParamPortChange; }
  void SetOnParamPortChange(TOnParamPortChange AValue) override { FOnParamPortChange = std::move(AValue); }
  TNotifyEvent GetOnHelloFailed() override { return FOnHelloFailed; }
  void SetOnHelloFailed(TNotifyEvent AValue) override { FOnHelloFailed = std::move(AValue); }
  bool Open(const std::string& IP, uint16_t Port, uint8_t Line) override;
  bool Close() override;
  bool Send_String(const std::string& AData, uint16_t AWaitAnswer, bool Will_Be_Delay_Between_Chars) override;
  bool Send_Hello() override;
  void ReadData() override;
  bool Set_Port_Send_Baud(int32_t Speed) override;
  bool Set_Port_Recv_Baud(int32_t Speed) override;
  void SetSendParams(TTCP_Port_Parity aParity, uint8_t aDataBits, TTCP_Port_StopBits aStopBits) override;
  void SetReciveParams(TTCP_Port_Parity aParity, uint8_t aDataBits, TTCP_Port_StopBits aStopBits) override;
  void Set_Wait_Answer_Timeout(uint16_t AValue) override { FWaitAnswerTimeout = AValue; }
  void WriteLog(const std::string& AMessage, bool ADebug) override;
  std::string GetLastIpError() const override { return Last_IP_Error; }
  void SetCancelCheck(TCancelCheck AValue) override;
  int ReadyHandle() const override;
  std::optional<uint32_t> NextDeadlineMs() const override;

  // A ping that has had no answer for this long means the link is gone.
  static constexpr uint32_t PING_ANSWER_TIMEOUT_MS = 30000;
  // Open waits this long at most for the CONNACK and the SUBACK, asking the cancel
  // check every OPEN_WAIT_SLICE_MS.
  static constexpr uint32_t OPEN_ANSWER_TIMEOUT_MS = 5000;
  static constexpr uint32_t OPEN_WAIT_SLICE_MS = 50;

  // For tests and diagnostics.
  const std::string& ClientID() const { return FMQTTClient->ClientID(); }
  const std::string& Host() const { return FHost; }
  uint16_t BrokerPort() const { return FPort; }
  uint8_t BaudRate() const { return FBaudRate; }
  uint8_t BitData() const { return FBitData; }
  uint8_t ParityBits() const { return FParityBits; }
  uint8_t StopBits() const { return FStopBits; }

 private:
  TBytes EncodePacket(const TPacketData& APacket);
  bool DecodePacket(TByteView AData, TPacketData& APacket);
  void HandlePublishData(TMQTTClient* ASender, uint16_t APacketID, TQualityOfService AQoS,
                         const std::string& ATopic, const TBytes& APayload);
  void HandleConnAck(TMQTTClient* ASender, TConnectErrorCode AErrorCode);
  bool PublishPacket(const TPacketData& APacket, const TDeadline& ALimit = TDeadline::Never());
  // After CONNECT and SUBSCRIBE: true once the broker has accepted both; otherwise the
  // reason, and the session is closed.
  bool AwaitAnswers(uint16_t ASubscribeID, std::string& AWhyNot);
  // Keeps the text in Last_IP_Error and logs it after "ERROR=".
  void LogError(const std::string& AError);

  std::unique_ptr<TMQTTClient> FMQTTClient;
  TSevc_Port_On_Debug_String_Event FWriteLog;
  std::atomic<uint16_t> FWaitAnswerTimeout{0};  // stored, never read
  std::string Last_IP_Error;
  TLumPortParams FPortParams;
  TOnReceiveDataEvent FOnReceiveData;
  TOnParamPortChange FOnParamPortChange;
  TNotifyEvent FOnHelloFailed;
  std::string FTopic;
  std::string FHost;
  uint16_t FPort = MQTT_DEFAULT_PORT;
  bool FPinged = false;  // the first ReadData pings at once
  uint32_t FLastPing = 0;
  // Tick of the oldest ping still without its PINGRESP.
  bool FPingUnanswered = false;
  uint32_t FPingSentAt = 0;
  TSplitSendResume FResume;
  // Set when the broker refused the CONNECT (its line is logged then).
  bool FRefused = false;
  // The answers Open waits for: CONNACK with code 0, the SUBACK of its packet id.
  bool FConnAccepted = false;
  uint16_t FSubAckID = 0;
  bool FSubAccepted = false;
  // Open has had both answers and the session has not been closed since.
  std::atomic<bool> FOpened{false};
  std::atomic<uint8_t> FBaudRate{0};
  std::atomic<uint8_t> FParityBits{0};
  std::atomic<uint8_t> FStopBits{0};
  std::atomic<uint8_t> FBitData{0};
  std::string FSecurityKeyStr;
  // The key schedule of FSecurityKeyStr, computed once.
  TCryptKey FCryptKey;
  TChannelOptions FOptions;
  TDebugTrace FDebugTrace;
};

}  // namespace orvane
