#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channels/channel_options.h"
#include "channels/server_interface.h"
#include "channels/split_send.h"
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
// Every wait (connect, name, room to send, acknowledgement) asks the cancel check at least
// every 50 ms.
class TLumTcpServer : public IServerInterface {
 public:
  // AOptions.Ticks drives every timeout of the channel and AOptions.CancelCheck cuts every
  // wait short; tests pass a clock and a resolver of their own. The debug trace does not
  // apply here.
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
  // The socket while connected.
  int ReadyHandle() const override { return FActive ? Socket_Handle.Handle() : -1; }
  // 0 when a whole frame already waits in the receive buffer (one that came in behind an
  // acknowledgement); otherwise nothing is due without bytes arriving, as sends keep their
  // own pacing.
  std::optional<uint32_t> NextDeadlineMs() const override;
  // Whole milliseconds left of the port's send pause since the last send call that sent
  // something; a part of a millisecond left is waited out by the next send itself.
  uint32_t SendPauseMs() const override;
  // ReadData without its wait for the first bytes.
  void ReadWaiting() override { ReadAndDeliver(0); }

  // A connect that neither succeeds nor fails gives up after this long.
  static constexpr uint32_t CONNECT_TIMEOUT_MS = 30000;
  static constexpr uint32_t SEND_TIMEOUT_MS = 30000;
  static constexpr uint32_t ANSWER_TIMEOUT_MS = 7000;
  static constexpr uint16_t READ_TIMEOUT_MS = 10;
  static constexpr uint16_t READ_MAX_COUNT = 250;
  // Consecutive send calls are at least the port's SendPause apart (at most
  // SEND_PAUSE_MAX_MS); by default this far, as converters have always seen them.
  static constexpr uint32_t SEND_GAP_MS = SEND_PAUSE_DEFAULT_MS;
  // Keep-alive on the converter's connection: a converter that is gone is noticed in about
  // KEEPALIVE_IDLE_S + KEEPALIVE_COUNT * KEEPALIVE_INTERVAL_S seconds even while the port only receives.
  static constexpr uint32_t KEEPALIVE_IDLE_S = 10;
  static constexpr uint32_t KEEPALIVE_INTERVAL_S = 5;
  static constexpr uint32_t KEEPALIVE_COUNT = 3;
  // The longest single wait, so a stop request is seen promptly.
  static constexpr uint32_t CANCEL_SLICE_MS = 50;
  // Bytes at the front of the IP485 receive buffer that begin no frame hold back everything
  // behind them; at this many the buffer is emptied.
  static constexpr size_t IP485_MAX_HELD = 65536;

 private:
  // Up to MaxCount bytes: waits at most Timeout ms for the first ones, then takes what is
  // waiting and returns as soon as nothing more is.
  bool ReceiveBytes(std::string& Data, uint32_t Timeout, uint16_t MaxCount);
  // Reads what the socket holds, waiting at most AWaitMs for the first bytes, and
  // returns the data that is complete.
  bool ReadString(std::string& Readed_For_485_Data, uint32_t AWaitMs);
  void ReadAndDeliver(uint32_t AWaitMs);
  // The sending loop: every byte or a failure with its log line.
  bool SendBytes(const std::string& ABytes);
  // Waits out the pause after the previous send call (SendPauseMs); a worker that asked
  // SendPauseMs first never waits here.
  void WaitSendGap();
  // What is left of the pause, in microseconds.
  uint64_t SendPauseUs() const;
  // One IP485 frame and its acknowledgement.
  bool SendFrame(std::string_view APayload, bool Will_Be_Delay_Between_Chars);
  bool WaitAnswer(const std::string& AExpected, uint32_t ATimeout);
  // Empties the IP485 buffer when IP485_MAX_HELD bytes are held behind a front that is no frame.
  void BoundIncomingBuffer();
  bool Connect(const std::string& IP, uint16_t Port, uint8_t Line);
  bool FrameWaiting() const;
  bool Cancelled() const { return FOptions.CancelCheck && FOptions.CancelCheck(); }
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
  // FTicks is the system's own clock: the send pause is timed in microseconds.
  const bool FFineClock;
  TStopWatch FTimeout;
  TLumPortParams FPortParams;
  TOnReceiveDataEvent FOnReceiveData;
  TOnParamPortChange FOnParamPortChange;
  bool FNewMode;
  const uint32_t FSendGap;
  uint8_t Line_Number = 0;
  std::vector<char> FReceiveArea;
  // Bytes that do not begin a frame block the receive buffer until the next acknowledgement
  // wait clears it; they are reported once per such episode, not on every read.
  bool FInWaitAnswer = false;
  bool FForeignReported = false;
  // Set by ReceiveBytes when the converter ended the connection.
  bool FPeerClosed = false;
  // Tick of the last send call that sent something; meaningful once FSent is set.
  uint32_t FLastSendTick = 0;
  // The same moment on the microsecond clock, kept when FTicks is the system's own.
  uint64_t FLastSendUs = 0;
  bool FSent = false;
  TSplitSendResume FResume;
};

}  // namespace orvane
