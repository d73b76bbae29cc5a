#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "model/config_file.h"
#include "model/lum_port_params.h"
#include "ports/lum_real_port.h"
#include "ports/lum_virtual_port.h"
#include "ports/port_environment.h"

namespace orvane {

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
  TLumVirtualPort* GetVirtPort() const { return FLumVirtualPort.get(); }
  TLumRealPort* GetRealPort() const { return FLumRealPort.get(); }
  TLumPortParams PortParams() const;
  // Physical: always false. Virtual: an application holds the port open.
  bool IsOpened() const;
  bool IsActive() const;
  // Physical: closes the serial port. Virtual: removes the port and its link.
  bool Delete();
  // Virtual: to the bridge's log event. Physical: nothing is written.
  void WriteLog(const std::string& AMessage, bool ADebug) const;
  bool CreatePort();
  IPortLog* Log() const;
  void SetLog(IPortLog* AValue);
  // The channel of the bridge, whatever its kind.
  IServerInterface* TcpServer() const;
  // Runs the bridge's next pass now.
  void Wake();
  // Asks the bridge's worker to stop, without waiting for it.
  void RequestStop();
  uint64_t PassCount() const;

 private:
  const TLumPortParams FPortParams;
  std::unique_ptr<TLumVirtualPort> FLumVirtualPort;
  std::unique_ptr<TLumRealPort> FLumRealPort;
};

// Every port of the program, in the order they were added.
// Threads: the main thread only; no lock. A port is taken out of the list
// before it is destroyed, so the main-thread calls served while its worker is
// waited for (state refreshes included) never find it.
class TLumPortList : public IPortParamsView {
 public:
  explicit TLumPortList(const TPortEnvironment& AEnv) : FEnv(AEnv) {}
  // Destroys every port, first to last.
  ~TLumPortList();
  TLumPortList(const TLumPortList&) = delete;
  TLumPortList& operator=(const TLumPortList&) = delete;

  // Builds the port and only then appends it; on an error the list is unchanged.
  TPortManager* AddPort(const TLumPortParams& APortParams);
  // None when AIndex is out of range.
  TPortManager* GetPort(int AIndex) const;
  // The first port whose ComName equals APortName exactly.
  TPortManager* GetPort(const std::string& APortName) const;
  // Deletes the first port of that name and destroys it whatever the outcome;
  // false when there is none or its Delete failed.
  bool DeletePort(const std::string& APortName);
  void ClearPorts();
  // The number of ports; with Params, the view the configuration file saves.
  size_t Count() const override { return FPorts.size(); }
  TLumPortParams Params(size_t AIndex) const override { return FPorts.at(AIndex)->PortParams(); }

 private:
  const TPortEnvironment& FEnv;
  std::vector<std::unique_ptr<TPortManager>> FPorts;
};

}  // namespace orvane
