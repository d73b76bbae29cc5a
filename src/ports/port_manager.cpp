#include "ports/port_manager.h"

#include <algorithm>

#include "ports/lum_real_port.h"
#include "ports/lum_virtual_port.h"

namespace orvane {

namespace {

// The only place the kind of a port's bridge is chosen.
std::unique_ptr<ILocalPort> MakeLocalPort(const TLumPortParams& APortParams, const TPortEnvironment& AEnv) {
  if (APortParams.isRealPort) return std::make_unique<TLumRealPort>(APortParams, AEnv);
  return std::make_unique<TLumVirtualPort>(APortParams, AEnv);
}

}  // namespace

TPortManager::TPortManager(const TLumPortParams& APortParams, const TPortEnvironment& AEnv)
    : FPortParams(APortParams), FPort(MakeLocalPort(APortParams, AEnv)) {}

TPortManager::~TPortManager() = default;

TLumVirtualPort* TPortManager::GetVirtPort() const {
  return dynamic_cast<TLumVirtualPort*>(FPort.get());
}

TLumRealPort* TPortManager::GetRealPort() const {
  return dynamic_cast<TLumRealPort*>(FPort.get());
}

void TPortManager::WriteLog(const std::string& AMessage, bool ADebug) const {
  if (!IsRealPort()) FPort->Bridge().WriteLog(AMessage, ADebug);
}

TLumPortList::~TLumPortList() {
  ClearPorts();
}

TPortManager* TLumPortList::AddPort(const TLumPortParams& APortParams) {
  auto port = std::make_unique<TPortManager>(APortParams, FEnv);
  FPorts.push_back(std::move(port));
  return FPorts.back().get();
}

TPortManager* TLumPortList::GetPort(int AIndex) const {
  if (AIndex < 0 || static_cast<size_t>(AIndex) >= FPorts.size()) return nullptr;
  return FPorts[static_cast<size_t>(AIndex)].get();
}

TPortManager* TLumPortList::GetPort(const std::string& APortName) const {
  for (const auto& port : FPorts)
    if (port->PortParams().ComName == APortName) return port.get();
  return nullptr;
}

bool TLumPortList::DeletePort(const std::string& APortName) {
  TPortManager* port = GetPort(APortName);
  return port != nullptr && DeletePort(port);
}

bool TLumPortList::DeletePort(TPortManager* APort) {
  const auto it = Find(APort);
  if (it == FPorts.end()) return false;
  // Out of the list first: calls served while its worker is waited for never find it.
  std::unique_ptr<TPortManager> port = std::move(*it);
  FPorts.erase(it);
  // The worker goes before the port: a creation retry of its own cannot bring it back.
  port->StopWorker();
  const bool result = port->Delete();
  // For a physical port this writes nothing.
  if (!result) port->WriteLog("Error on delete virtual COM port", false);
  port.reset();
  return result;
}

std::vector<std::unique_ptr<TPortManager>>::iterator TLumPortList::Find(const TPortManager* APort) {
  return std::find_if(FPorts.begin(), FPorts.end(), [&](const auto& AEach) { return AEach.get() == APort; });
}

bool TLumPortList::ReleasePort(TPortManager* APort) {
  const auto it = Find(APort);
  if (it == FPorts.end()) return false;
  std::unique_ptr<TPortManager> port = std::move(*it);
  FPorts.erase(it);
  port.reset();
  return true;
}

void TLumPortList::ClearPorts() {
  // Every worker is told first, so ports that wait for their peers stop together,
  // not one after the other; they are still destroyed first to last.
  for (const auto& port : FPorts) port->RequestStop();
  while (!FPorts.empty()) {
    std::unique_ptr<TPortManager> port = std::move(FPorts.front());
    FPorts.erase(FPorts.begin());
    port.reset();
  }
}

}  // namespace orvane
