#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/deadline.h"
#include "platform/line_settings.h"

namespace orvane {

class IServerInterface;

// Callbacks may be unset (empty); a channel calls only those that are set.
using TSevc_Port_On_Debug_String_Event = std::function<void(const std::string& AMessage, bool ADebug)>;
using TOnReceiveDataEvent = std::function<void(const std::string& AData)>;
using TOnParamPortChange = std::function<void(TTCP_Port_BaudRate aBaudRate, TTCP_Port_Parity aParity,
                                              TTCP_Port_StopBits aStopBits, TTCP_Port_DataBits aDataBits)>;
using TNotifyEvent = std::function<void(IServerInterface* Sender)>;

// The contract between a port bridge and its remote end.
// Threads: the bridge's worker calls GetActive, Open, Close, Send_String,
// ReadData and Send_Hello (never overlapping); the main thread calls the
// setters before the worker starts and the line-setting operations at any time,
// so both channels keep the line settings in atomics.
class IServerInterface {
 public:
  virtual ~IServerInterface() = default;

  virtual bool GetActive() = 0;
  virtual TSevc_Port_On_Debug_String_Event GetOnWriteLog() = 0;
  virtual void SetOnWriteLog(TSevc_Port_On_Debug_String_Event AValue) = 0;
  virtual TOnParamPortChange GetOnParamPortChange() = 0;
  virtual void SetOnParamPortChange(TOnParamPortChange AValue) = 0;
  virtual TNotifyEvent GetOnHelloFailed() = 0;
  virtual void SetOnHelloFailed(TNotifyEvent AValue) = 0;
  virtual bool Open(const std::string& IP, uint16_t Port, uint8_t Line) = 0;
  virtual bool Close() = 0;
  // A block longer than one frame or packet goes out in pieces. When Send_String fails
  // after some pieces reached the far end, the channel keeps the rest: the next
  // Send_String with the same bytes (the bridge's resend after Close and Open) sends only
  // the pieces not delivered, so none arrives twice. That rest serves one resend: a
  // Send_String with other bytes, a failed Open or a failure of the resend itself forgets
  // it, and a later block is sent whole. TSplitSendResume keeps this rule for a channel.
  virtual bool Send_String(const std::string& AData, uint16_t AWaitAnswer,
                           bool Will_Be_Delay_Between_Chars) = 0;
  virtual bool Send_Hello() = 0;
  virtual void ReadData() = 0;
  virtual bool Set_Port_Send_Baud(int32_t Speed) = 0;
  virtual bool Set_Port_Recv_Baud(int32_t Speed) = 0;
  virtual void SetSendParams(TTCP_Port_Parity aParity, uint8_t aDataBits, TTCP_Port_StopBits aStopBits) = 0;
  virtual void SetReciveParams(TTCP_Port_Parity aParity, uint8_t aDataBits, TTCP_Port_StopBits aStopBits) = 0;
  virtual void Set_Wait_Answer_Timeout(uint16_t AValue) = 0;
  virtual void WriteLog(const std::string& AMessage, bool ADebug) = 0;
  // The channel's last failure text (Last_IP_Error); worker thread only.
  virtual std::string GetLastIpError() const = 0;

  // Not one of the original slots: lets the owning bridge end any wait in progress
  // (connect, name lookup, send, acknowledgement). Set on the main thread before the
  // worker starts.
  virtual void SetCancelCheck(TCancelCheck AValue) = 0;

  // What a worker waits on instead of polling the channel. Worker thread only, between the
  // channel's own calls.
  // ReadyHandle: a descriptor that becomes readable (or hangs up) when ReadData has work;
  // -1 when there is none (not connected). It may change with every Open, Close,
  // Send_String and ReadData, so ask again after each; wait on it only, never read it.
  virtual int ReadyHandle() const { return -1; }
  // Milliseconds until the channel needs a ReadData even without a readable handle (a
  // keep-alive ping, bytes it already holds: then 0); nullopt when nothing is due.
  // Send_String keeps its own pacing; SendPauseMs tells how long it is.
  virtual std::optional<uint32_t> NextDeadlineMs() const { return std::nullopt; }
  // Milliseconds before Send_String can send without first waiting out its own pacing; 0
  // when it can send now. A worker keeps its bytes and waits on this instead of blocking in
  // Send_String, so it goes on reading meanwhile.
  virtual uint32_t SendPauseMs() const { return 0; }
  // ReadData without waiting for bytes to come: only what is waiting (or a whole frame
  // held) is taken, with the same limit per call. For a worker that waits on ReadyHandle
  // and NextDeadlineMs itself; a channel whose ReadData does not wait keeps the default.
  virtual void ReadWaiting() { ReadData(); }
};

using IServerInterfacePtr = std::shared_ptr<IServerInterface>;

}  // namespace orvane
