#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "channels/server_interface.h"
#include "model/lum_port_params.h"
#include "platform/serial_port.h"
#include "ports/local_port.h"
#include "ports/port_bridge.h"
#include "ports/port_environment.h"

namespace orvane {

// Bridges an existing serial port of the machine (ComName without "(r)") to one
// channel: the twin of TLumVirtualPort with a serial port in place of the
// driver port. It reads the received bytes itself, applies line settings
// announced by the remote end unless RealPortTunnelMode fixes them, and closes
// a device that went away (an adapter pulled out: the serial port's OnLost) at
// once and reopens it on the creation retry schedule.
// Threads: construction, the first CreatePort, Delete and destruction on the
// main thread; the received-characters notification (HandleRxChar) and the
// loss reports on the port's watcher thread; the worker runs the passes, later
// CreatePort attempts, the serial writes and the remote settings.
class TLumRealPort : public TComPort, public ILocalPort, private IBridgeLocalPort {
 public:
  TLumRealPort(const TLumPortParams& APortParams, const TPortEnvironment& AEnv);
  // Ends the notifications, stops the worker, releases the channel, closes
  // the serial port.
  ~TLumRealPort() override;

  // Opens the serial port; no log line when it cannot. Starts the worker on
  // the first call whatever the outcome.
  bool CreatePort() override;
  // A physical port is never reported as held by an application.
  bool IsOpened() const override { return false; }
  TPortBridge& Bridge() override { return FBridge; }
  const TPortBridge& Bridge() const override { return FBridge; }
  bool IsActive() const { return FBridge.IsActive(); }
  // Closes the serial port; true when it is closed afterwards.
  bool Delete() override;
  // The serial port stays open until Delete or destruction.
  void StopWorker() override;
  void Synchronize(const std::function<void()>& AMethod) { FBridge.Synchronize(AMethod); }
  void Wake() { FBridge.Wake(); }
  void RequestStop() { FBridge.RequestStop(); }
  uint64_t PassCount() const { return FBridge.PassCount(); }

  const TLumPortParams& PortParams() const { return FBridge.PortParams(); }
  IServerInterface* TcpServer() const { return FBridge.TcpServer(); }
  const TWriteLogEvent& OnWriteLogEvent() const { return FBridge.OnWriteLogEvent; }
  void SetOnWriteLogEvent(TWriteLogEvent AValue) { FBridge.OnWriteLogEvent = std::move(AValue); }
  void WriteLog(const std::string& AMessage, bool ADebug) const { FBridge.WriteLog(AMessage, ADebug); }
  uint64_t BytesToNetwork() const { return FBridge.BytesToNetwork(); }
  uint64_t BytesToPort() const { return FBridge.BytesToPort(); }

 protected:
  void DoRxChar(int32_t ACount) override { HandleRxChar(ACount); }

 private:
  void HandleRxChar(int32_t ACount);
  void SetState();
  bool RetryCreatePort() override { return CreatePort(); }
  int32_t WriteLocal(const std::string& AData, std::string& AWhyNot) override;
  void RemoteLineSettings(TTCP_Port_BaudRate ABaudRate, TTCP_Port_Parity AParity,
                          TTCP_Port_StopBits AStopBits, TTCP_Port_DataBits ADataBits) override;
  bool LocalPortAlive(std::string& AWhyNot) override;
  void CloseLostPort() override { Close(); }
  // Asked at once when the device went away; no periodic look otherwise.
  int32_t AliveCheckPeriodMs() const override { return Lost() ? 0 : -1; }

  TPortBridge FBridge;
};

}  // namespace orvane
