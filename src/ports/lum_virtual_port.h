#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "channels/server_interface.h"
#include "model/lum_port_params.h"
#include "platform/pty_port.h"
#include "ports/local_port.h"
#include "ports/port_bridge.h"
#include "ports/port_environment.h"

namespace orvane {

// Bridges one virtual serial port to one channel: it is the driver port itself
// (a pty offered as a link named ComName), owns the channel and the worker,
// and moves bytes both ways. It serves the driver's events itself: each is
// logged (OnWriteLogEvent), received characters are read and handed to the
// bridge, speed and line settings the application sets go to the channel.
// Bytes from the network are written into the port by the worker.
// Threads: construction, CreatePort (the first call), Delete, IsOpened and
// destruction on the main thread; the driver events (and with them the reads
// of the port, OnRxData and the settings told to the channel) on the port's
// watcher thread; the worker runs the passes, later CreatePort attempts and the
// writes into the port. See TPortBridge for what is shared.
class TLumVirtualPort : public TVSPortAx, public ILocalPort, private IBridgeLocalPort {
 public:
  TLumVirtualPort(const TLumPortParams& APortParams, const TPortEnvironment& AEnv);
  // StopWorker, then releases the pty. The link stays for the next run.
  ~TLumVirtualPort() override;

  // Ends the driver events first (waiting for one that runs) and clears them,
  // so none reaches the port while the worker is waited for; then stops the
  // worker and releases the channel. Later calls do nothing more.
  void StopWorker() override;

  // Creates the port, or attaches to the link an earlier run left; starts the
  // worker on the first call whatever the outcome.
  bool CreatePort() override;
  bool IsOpened() const override { return TVSPortAx::IsOpened(); }
  bool Delete() override { return TVSPortAx::Delete(); }
  TPortBridge& Bridge() override { return FBridge; }
  const TPortBridge& Bridge() const override { return FBridge; }
  bool IsActive() const { return FBridge.IsActive(); }
  void OnRxData(const std::string& AData) { FBridge.OnRxData(AData); }
  // Driver parity (0 none, 1 odd, 2 even, 3 mark, 4 space) to the channel's code.
  static TTCP_Port_Parity ParityToParity(int32_t AParity) { return ParityToTcp(AParity); }
  // The speed and the line control the application set (the driver's OnBaudRate and
  // OnLineControl, watcher thread): told to the channel unless the port's line settings are
  // fixed, in which case the channel keeps the configured ones.
  void ApplicationBaudRate(int32_t ABaudrate);
  void ApplicationLineControl(int32_t AStopBits, int32_t AParity, int32_t AWordLength);
  // "Фиксированные настройки": the record's four line settings stand for the application's
  // (a pty cannot show even parity or the word length).
  bool FixedLineSettings() const { return PortParams().RealPortTunnelMode; }
  void Synchronize(const std::function<void()>& AMethod) { FBridge.Synchronize(AMethod); }
  // Runs the worker's next pass now.
  void Wake() { FBridge.Wake(); }
  void RequestStop() { FBridge.RequestStop(); }
  uint64_t PassCount() const { return FBridge.PassCount(); }

  const TLumPortParams& PortParams() const { return FBridge.PortParams(); }
  IServerInterface* TcpServer() const { return FBridge.TcpServer(); }
  const TWriteLogEvent& OnWriteLogEvent() const { return FBridge.OnWriteLogEvent; }
  void SetOnWriteLogEvent(TWriteLogEvent AValue) { FBridge.OnWriteLogEvent = std::move(AValue); }
  uint64_t BytesToNetwork() const { return FBridge.BytesToNetwork(); }
  uint64_t BytesToPort() const { return FBridge.BytesToPort(); }
  void WriteLog(const std::string& AMessage, bool ADebug) const { FBridge.WriteLog(AMessage, ADebug); }

 private:
  bool RetryCreatePort() override { return CreatePort(); }
  int32_t WriteLocal(const std::string& AData, std::string& AWhyNot) override;
  // Line settings announced by the remote end are not applied to a virtual port.
  void RemoteLineSettings(TTCP_Port_BaudRate, TTCP_Port_Parity, TTCP_Port_StopBits,
                          TTCP_Port_DataBits) override {}
  void ConnectDriverEvents();
  void SetState(bool AIsNew);
  std::string ParamsToString() const;

  TPortBridge FBridge;
};

}  // namespace orvane
