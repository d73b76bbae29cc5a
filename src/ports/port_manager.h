#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/config_file.h"
#include "model/lum_port_params.h"
#include "ports/local_port.h"
#include "ports/port_environment.h"

namespace orvane {

class TLumRealPort;
class TLumVirtualPort;

// Owns one bridge, virtual or physical by isRealPort, and gives the rest of the
// program one face for both.
// Threads: the main thread only.
class TPortManager {
 public:
  // Builds the bridge; an error building it passes to the caller.
  TPortManager(const TLumPortParams& APortParams, const TPortEnvironment& AEnv);
  ~TPortManager();
  TPortManager(const TPortManager&) = delete;
  TPortManager& operator=(const TPortManager&) = delete;

  bool IsRealPort() const { return FPortParams.isRealPort; }
  // The bridge as its own kind, or none when it is the other kind.
  TLumVirtualPort* GetVirtPort() const;
  TLumRealPort* GetRealPort() const;
  TLumPortParams PortParams() const { return FPort->Bridge().PortParams(); }
  // Physical: always false. Virtual: an application holds the port open.
  bool IsOpened() const { return FPort->IsOpened(); }
  bool IsActive() const { return FPort->Bridge().IsActive(); }
  // Physical: closes the serial port. Virtual: removes the port and its link.
  bool Delete() { return FPort->Delete(); }
  // Stops the worker and waits for it; the local port stays until Delete or destruction.
  void StopWorker() { FPort->StopWorker(); }
  // Virtual: to the bridge's log event. Physical: nothing is written.
  void WriteLog(const std::string& AMessage, bool ADebug) const;
  bool CreatePort() { return FPort->CreatePort(); }
  // Where the bridge's own lines go; set before CreatePort.
  void SetOnWriteLogEvent(TWriteLogEvent AValue) { FPort->Bridge().OnWriteLogEvent = std::move(AValue); }
  // The channel of the bridge, whatever its kind.
  IServerInterface* TcpServer() const { return FPort->Bridge().TcpServer(); }
  // Runs the bridge's next pass now.
  void Wake() { FPort->Bridge().Wake(); }
  // Asks the bridge's worker to stop, without waiting for it.
  void RequestStop() { FPort->Bridge().RequestStop(); }
  uint64_t PassCount() const { return FPort->Bridge().PassCount(); }
  uint64_t BytesToNetwork() const { return FPort->Bridge().BytesToNetwork(); }
  uint64_t BytesToPort() const { return FPort->Bridge().BytesToPort(); }
  // The bridge's counters and state for a status view.
  const TPortBridge& Bridge() const { return FPort->Bridge(); }

 private:
  const TLumPortParams FPortParams;
  std::unique_ptr<ILocalPort> FPort;
};

// Every port of the program, in the order they were added.
// Threads: the main thread only; no lock. A port is taken out of the list
// before it is destroyed, so the main-thread calls served while its worker is
// waited for (state refreshes included) never find it.
class TLumPortList : public IPortParamsView {
 public:
  explicit TLumPortList(const TPortEnvironment& AEnv) : FEnv(AEnv) {}
  // Destroys every port, first to last.
  ~TLumPortList() override;
  TLumPortList(const TLumPortList&) = delete;
  TLumPortList& operator=(const TLumPortList&) = delete;

  // Builds the port and only then appends it; on an error the list is unchanged.
  TPortManager* AddPort(const TLumPortParams& APortParams);
  // None when AIndex is out of range.
  TPortManager* GetPort(int AIndex) const;
  // The first port whose ComName equals APortName exactly.
  TPortManager* GetPort(const std::string& APortName) const;
  // Deletes the first port of that name (DeletePort of it); false when there is none.
  bool DeletePort(const std::string& APortName);
  // Takes the port out of the list, stops its worker, deletes its local port,
  // then destroys it whatever the outcome; false when it is not in the list
  // or its Delete failed.
  bool DeletePort(TPortManager* APort);
  // Takes the port out of the list and destroys it (its local port stays,
  // as at the program's end); false when it is not in the list.
  bool ReleasePort(TPortManager* APort);
  void ClearPorts();
  // The number of ports; with Params, the view the configuration file saves.
  size_t Count() const override { return FPorts.size(); }
  TLumPortParams Params(size_t AIndex) const override { return FPorts.at(AIndex)->PortParams(); }

 private:
  std::vector<std::unique_ptr<TPortManager>>::iterator Find(const TPortManager* APort);

  const TPortEnvironment& FEnv;
  std::vector<std::unique_ptr<TPortManager>> FPorts;
};

}  // namespace orvane
