#include "ports/port_manager.h"

namespace orvane {

TPortManager::TPortManager(const TLumPortParams& APortParams, const TPortEnvironment& AEnv)
    : FPortParams(APortParams) {
  if (FPortParams.isRealPort) {
    FLumRealPort = std::make_unique<TLumRealPort>(APortParams, AEnv);
  } else {
    FLumVirtualPort = std::make_unique<TLumVirtualPort>(APortParams, AEnv);
  }
}

TPortManager::~TPortManager() = default;

TLumPortParams TPortManager::PortParams() const {
  return FLumRealPort ? FLumRealPort->PortParams() : FLumVirtualPort->PortParams();
}

bool TPortManager::IsOpened() const {
  return FLumRealPort ? FLumRealPort->IsOpened() : FLumVirtualPort->IsOpened();
}

bool TPortManager::IsActive() const {
  return FLumRealPort ? FLumRealPort->IsActive() : FLumVirtualPort->IsActive();
}

bool TPortManager::Delete() {
  return FLumRealPort ? FLumRealPort->Delete() : FLumVirtualPort->Delete();
}

void TPortManager::WriteLog(const std::string& AMessage, bool ADebug) const {
  if (FLumVirtualPort) FLumVirtualPort->WriteLog(AMessage, ADebug);
}

bool TPortManager::CreatePort() {
  return FLumRealPort ? FLumRealPort->CreatePort() : FLumVirtualPort->CreatePort();
}

IPortLog* TPortManager::Log() const {
  return FLumRealPort ? FLumRealPort->Log() : FLumVirtualPort->Log();
}

void TPortManager::SetLog(IPortLog* AValue) {
  if (FLumRealPort) {
    FLumRealPort->SetLog(AValue);
  } else {
    FLumVirtualPort->SetLog(AValue);
  }
}

IServerInterface* TPortManager::TcpServer() const {
  return FLumRealPort ? FLumRealPort->TcpServer() : FLumVirtualPort->TcpServer();
}

void TPortManager::Wake() {
  if (FLumRealPort) {
    FLumRealPort->Wake();
  } else {
    FLumVirtualPort->Wake();
  }
}

void TPortManager::RequestStop() {
  if (FLumRealPort) {
    FLumRealPort->RequestStop();
  } else {
    FLumVirtualPort->RequestStop();
  }
}

uint64_t TPortManager::PassCount() const {
  return FLumRealPort ? FLumRealPort->PassCount() : FLumVirtualPort->PassCount();
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
  for (auto it = FPorts.begin(); it != FPorts.end(); ++it) {
    if ((*it)->PortParams().ComName != APortName) continue;
    const bool result = (*it)->Delete();
    // For a physical port this writes nothing.
    if (!result) (*it)->WriteLog("Error on delete virtual COM port", false);
    std::unique_ptr<TPortManager> port = std::move(*it);
    FPorts.erase(it);
    port.reset();
    return result;
  }
  return false;
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
