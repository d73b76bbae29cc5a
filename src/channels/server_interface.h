#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "model/line_settings.h"
#include "platform/deadline.h"

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

  // Not one of the original slots: lets the owning bridge cancel a connect in
  // progress. Set on the main thread before the worker starts.
  virtual void SetCancelCheck(TCancelCheck AValue) = 0;
};

using IServerInterfacePtr = std::shared_ptr<IServerInterface>;

}  // namespace orvane
