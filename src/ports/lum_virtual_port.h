#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "channels/server_interface.h"
#include "model/lum_port_params.h"
#include "platform/pty_port.h"
#include "ports/port_bridge.h"
#include "ports/port_environment.h"

namespace orvane {

// Bridges one virtual serial port to one channel: it is the driver port itself
// (a pty offered as a link named ComName), owns the channel and the worker,
// and moves bytes both ways. Bytes from the application reach it through
// OnRxData (the port's log view reads them when the driver raises OnRxChar);
// bytes from the network are written into the port by the worker.
// Threads: construction, CreatePort (the first call), OnRxData, the driver
// events, Delete, IsOpened and destruction on the main thread; the worker runs
// the passes, later CreatePort attempts and the writes into the port. See
// TPortBridge for what is shared between the two.
class TLumVirtualPort : public TVSPortAx, private IBridgeLocalPort {
 public:
  TLumVirtualPort(const TLumPortParams& APortParams, const TPortEnvironment& AEnv);
  // Clears the driver events first, so none queued for this port reaches it
  // while the worker is waited for; then stops the worker, releases the channel
  // and the pty. The link stays for the next run.
  ~TLumVirtualPort() override;

  // Creates the port, or attaches to the link an earlier run left; starts the
  // worker on the first call whatever the outcome.
  bool CreatePort();
  bool IsActive() const { return FBridge.IsActive(); }
  void OnRxData(const std::string& AData) { FBridge.OnRxData(AData); }
  // Driver parity (0 none, 1 odd, 2 even, 3 mark, 4 space) to the channel's code.
  static TTCP_Port_Parity ParityToParity(int32_t AParity) { return ParityToTcp(AParity); }
  void Synchronize(const std::function<void()>& AMethod) { FBridge.Synchronize(AMethod); }
  // Where calls for the main thread are queued without waiting.
  TMainDispatcher& Dispatcher() const { return FBridge.Environment().Dispatcher; }
  // Runs the worker's next pass now.
  void Wake() { FBridge.Wake(); }
  void RequestStop() { FBridge.RequestStop(); }
  uint64_t PassCount() const { return FBridge.PassCount(); }

  const TLumPortParams& PortParams() const { return FBridge.PortParams(); }
  IServerInterface* TcpServer() const { return FBridge.TcpServer(); }
  const TWriteLogEvent& OnWriteLogEvent() const { return FBridge.OnWriteLogEvent; }
  void SetOnWriteLogEvent(TWriteLogEvent AValue) { FBridge.OnWriteLogEvent = std::move(AValue); }
  void SetOnProcessEvent(TProcessEvent AValue) { FBridge.OnProcessEvent = std::move(AValue); }
  IPortLog* Log() const { return FBridge.Log; }
  void SetLog(IPortLog* AValue) { FBridge.Log = AValue; }
  void WriteLog(const std::string& AMessage, bool ADebug) const { FBridge.WriteLog(AMessage, ADebug); }

 private:
  bool RetryCreatePort() override { return CreatePort(); }
  int32_t WriteLocal(const std::string& AData, std::string& AWhyNot) override;
  // Line settings announced by the remote end are not applied to a virtual port.
  void RemoteLineSettings(TTCP_Port_BaudRate, TTCP_Port_Parity, TTCP_Port_StopBits,
                          TTCP_Port_DataBits) override {}
  void SetState(bool AIsNew);
  std::string ParamsToString() const;

  TPortBridge FBridge;
  // Why the port could not be made, as last logged; used by CreatePort only.
  std::string FToldFailure;
};

}  // namespace orvane
