#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "channels/channel_options.h"
#include "channels/server_interface.h"
#include "channels/stop_watch.h"
#include "model/lum_port_params.h"
#include "platform/tcp_socket.h"
#include "platform/tick_counter.h"

namespace orvane {

// The channel to a network converter over one TCP connection, in pass-through mode or in
// the IP485 framing (chosen by the port's protocol label).
// Threads: the bridge's worker calls Open, Close, Send_String, ReadData and Send_Hello, never
// at the same time; the main thread sets the callbacks before the worker starts and calls
// GetActive and the line-setting operations at any time. FSendPortMode, FRecvPortMode,
// FWaitAnswerTimeout and FActive are atomics for that; everything else belongs to the worker.
class TLumTcpServer : public IServerInterface {
 public:
  // AOptions.Ticks drives every timeout of the channel and AOptions.CancelCheck cuts a
  // connect short; tests pass a clock of their own. The debug trace does not apply here.
  TLumTcpServer(const TLumPortParams& APortParams, TOnReceiveDataEvent AOnReceiveData,
                TChannelOptions AOptions = {});
  ~TLumTcpServer() override;
  TLumTcpServer(const TLumTcpServer&) = delete;
  TLumTcpServer& operator=(const TLumTcpServer&) = delete;

  bool GetActive() override { return FActive; }
  TSevc_Port_On_Debug_String_Event GetOnWriteLog() override { return FWriteLog; }
  void SetOnWriteLog(TSevc_Port_On_Debug_String_Event AValue) override { FWriteLog = std::move(AValue); }
  TOnParamPortChange GetOnParamPortChange() override { return FOnParamPortChange; }
  void SetOnParamPortChange(TOnParamPortChange AValue) override { FOnParamPortChange = std::move(AValue); }
  TNotifyEvent GetOnHelloFailed() override { return {}; }
  void SetOnHelloFailed(TNotifyEvent) override {}
  bool Open(const std::string& IP, uint16_t Port, uint8_t Line) override;
  bool Close() override;
  bool Send_String(const std::string& AData, uint16_t AWaitAnswer, bool Will_Be_Delay_Between_Chars) override;
  bool Send_Hello() override { return true; }
  void ReadData() override;
  bool Set_Port_Send_Baud(int32_t Speed) override;
  bool Set_Port_Recv_Baud(int32_t Speed) override;
  void SetSendParams(TTCP_Port_Parity aParity, uint8_t aDataBits, TTCP_Port_StopBits aStopBits) override;
  void SetReciveParams(TTCP_Port_Parity aParity, uint8_t aDataBits, TTCP_Port_StopBits aStopBits) override;
  void Set_Wait_Answer_Timeout(uint16_t AValue) override;
  void WriteLog(const std::string& AMessage, bool ADebug) override;
  std::string GetLastIpError() const override { return Last_IP_Error; }
  void SetCancelCheck(TCancelCheck AValue) override { FOptions.CancelCheck = std::move(AValue); }

  // Reads what the socket holds and returns the data that is complete; called by ReadData.
  bool Read_String_2(std::string& Readed_For_485_Data);

  // A connect that neither succeeds nor fails gives up after this long.
  static constexpr uint32_t CONNECT_TIMEOUT_MS = 30000;
  static constexpr uint32_t SEND_TIMEOUT_MS = 30000;
  static constexpr uint32_t ANSWER_TIMEOUT_MS = 7000;
  static constexpr uint16_t READ_TIMEOUT_MS = 10;
  static constexpr uint16_t READ_MAX_COUNT = 250;

 private:
  bool ReceiveBytes(std::string& Data, uint16_t Timeout, uint16_t MaxCount);
  // The sending loop: every byte or a failure with its log line.
  bool SendBytes(const std::string& ABytes);
  // One IP485 frame and its acknowledgement.
  bool SendFrame(std::string_view APayload, bool Will_Be_Delay_Between_Chars);
  bool WaitAnswer(const std::string& AExpected, uint32_t ATimeout);
  void LogError(const std::string& AError);

  TSevc_Port_On_Debug_String_Event FWriteLog;
  TTcpSocket Socket_Handle;
  std::atomic<uint16_t> FSendPortMode{0};
  std::atomic<uint16_t> FRecvPortMode{0};
  std::atomic<uint16_t> FWaitAnswerTimeout{0};  // stored, never read: the acknowledgement wait is fixed
  std::string Last_IP_Error;
  std::atomic<bool> FActive{false};
  std::string IP_RS485_Incoming_Buffer;
  TChannelOptions FOptions;
  TTickSource FTicks;
  TStopWatch FTimeout;
  TLumPortParams FPortParams;
  TOnReceiveDataEvent FOnReceiveData;
  TOnParamPortChange FOnParamPortChange;
  bool FNewMode;
  uint8_t Line_Number = 0;
  std::vector<char> FReceiveArea;
  // Bytes that do not begin a frame block the receive buffer until the next acknowledgement
  // wait clears it; they are reported once per such episode, not on every read.
  bool FInWaitAnswer = false;
  bool FForeignReported = false;
  // Set by ReceiveBytes when the converter ended the connection.
  bool FPeerClosed = false;
};

}  // namespace orvane
