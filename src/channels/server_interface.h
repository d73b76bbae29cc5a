#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/deadline.h"

namespace orvane {

// Line-setting codes as they travel to the converter and in channel packets.
enum TTCP_Port_BaudRate : uint8_t {
  ttp_Custom = 0, ttp_110 = 1, ttp_300 = 2, ttp_600 = 3, ttp_1200 = 4, ttp_2400 = 5,
  ttp_4800 = 6, ttp_9600 = 7, ttp_14400 = 8, ttp_19200 = 9, ttp_38400 = 10, ttp_56000 = 11,
  ttp_57600 = 12, ttp_115200 = 13, ttp_128000 = 14, ttp_256000 = 15
};
// Values 1 to 3 are unused but may be stored as given.
enum TTCP_Port_Parity : uint8_t { tpp_None = 0, tpp_Odd = 4, tpp_Even = 5, tpp_Mark = 6, tpp_Space = 7 };
enum TTCP_Port_StopBits : uint8_t { tps_One = 0, tps_OneHalf = 1, tps_Two = 2, tps_None = 3 };
enum TTCP_Port_DataBits : uint8_t { tpdb_Five = 0, tpdb_Six = 1, tpdb_Seven = 2, tpdb_Eight = 3 };

class IServerInterface;

// Callbacks may be unset (empty); a channel calls only those that are set.
using TSevc_Port_On_Debug_String_Event = std::function<void(const std::string& AMessage, bool ADebug)>;
using TOnReceiveDataEvent = std::function<void(const std::string& AData)>;
using TOnParamPortChange = std::function<void(TTCP_Port_BaudRate aBaudRate, TTCP_Port_Parity aParity,
                                              TTCP_Port_StopBits aStopBits, TTCP_Port_DataBits aDataBits)>;
using TNotifyEvent = std::function<void(IServerInterface* Sender)>;

// OS parity numbering (0 none, 1 odd, 2 even, 3 mark, 4 space) to the wire code and back.
TTCP_Port_Parity ParityToTcp(uint8_t AOsParity);
uint8_t ParityFromTcp(TTCP_Port_Parity AParity);

// The contract between a port bridge and its remote end.
// Threads: the bridge's worker calls GetActive, Open, Close, Send_String,
// ReadData and Send_Hello (never overlapping); the main thread calls the
// setters before the worker starts and the line-setting operations at any time.
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
  virtual bool Send_String(const std::string& AData, uint16_t AWaitAnswer, bool Will_Be_Delay_Between_Chars) = 0;
  virtual bool Send_Hello() = 0;
  virtual void ReadData() = 0;
  virtual bool Set_Port_Send_Baud(int32_t Speed) = 0;
  virtual bool Set_Port_Recv_Baud(int32_t Speed) = 0;
  virtual void SetSendParams(TTCP_Port_Parity aParity, uint8_t aDataBits, TTCP_Port_StopBits aStopBits) = 0;
  virtual void SetReciveParams(TTCP_Port_Parity aParity, uint8_t aDataBits, TTCP_Port_StopBits aStopBits) = 0;
  virtual void Set_Wait_Answer_Timeout(uint16_t AValue) = 0;
  virtual void WriteLog(const std::string& AMessage, bool ADebug) = 0;

  // Not one of the original slots: lets the owning bridge cancel a connect in
  // progress. Set on the main thread before the worker starts.
  virtual void SetCancelCheck(TCancelCheck AValue) = 0;
};

using IServerInterfacePtr = std::shared_ptr<IServerInterface>;

}  // namespace orvane
