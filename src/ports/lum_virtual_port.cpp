#include "ports/lum_virtual_port.h"

#include "platform/printable_text.h"

namespace orvane {

TLumVirtualPort::TLumVirtualPort(const TLumPortParams& APortParams, const TPortEnvironment& AEnv)
    : TVSPortAx(AEnv.Dispatcher, AEnv.PortDir, AEnv.PortAccess, AEnv.OpenWatch),
      FBridge(*this, APortParams, AEnv) {
  SetDeleteOnExit(false);
  OnWriteDropped = [this](TVSPortAx&, uint64_t ACount, int AError) {
    FBridge.LocalWriteDropped(ACount, AError, "the application does not read the port");
  };
}

TLumVirtualPort::~TLumVirtualPort() {
  OnRxChar = nullptr;
  OnDTR = nullptr;
  OnRTS = nullptr;
  OnRING = nullptr;
  OnOpenClose = nullptr;
  OnTimeouts = nullptr;
  OnLineControl = nullptr;
  OnHandflow = nullptr;
  OnSpecialChars = nullptr;
  OnBaudRate = nullptr;
  OnEvent = nullptr;
  OnBreak = nullptr;
  OnWriteDropped = nullptr;
  FBridge.Shutdown();
}

std::string TLumVirtualPort::ParamsToString() const {
  const TLumPortParams& p = PortParams();
  return "ComName=" + PrintableText(p.ComName) + ", IpAddress=" + PrintableText(p.IpAddress) +
         ", PortNumber=" + std::to_string(p.PortNumber) + ", LineNumber=" + std::to_string(p.LineNumber) +
         ", Protocol=" + PrintableText(p.Protocol) +
         ", ReadPacketTimeout=" + std::to_string(p.ReadPacketTimeout) +
         ", ReadIntervalTimeout=" + std::to_string(p.ReadIntervalTimeout);
}

bool TLumVirtualPort::CreatePort() {
  const std::string params = ParamsToString();
  const std::string& name = PortParams().ComName;
  const bool isNew = TVSPortAx::CreatePort(name);
  bool exists = isNew;
  std::string whyNot;
  if (isNew) {
    WriteLog("Create COM port - OK, " + params, false);
  } else {
    WriteLog("Error on create COM port, " + params, false);
    const std::string createFault = LastError();
    exists = Attach(name);
    WriteLog((exists ? "Attach to COM port - OK, " : "Error on attach COM port, ") + params, false);
    // Both reasons: the creation's tells a bad name or directory, the attach's
    // what stands under the name when it is taken.
    const std::string attachFault = LastError();
    whyNot = "COM port cannot be created: " + createFault;
    if (attachFault != createFault) whyNot += "; attach: " + attachFault;
  }
  // The reason once, not with every retry; a new reason is told again.
  const std::string failure = exists ? std::string() : LastError();
  if (!failure.empty() && failure != FToldFailure) WriteLog("COM port not available: " + failure, false);
  FToldFailure = failure;
  // The record's 100 ms pause after a creation is left out: a pty is ready when made.
  if (exists) SetState(isNew);
  FBridge.FinishCreatePort(exists, whyNot);
  return exists;
}

void TLumVirtualPort::SetState(bool AIsNew) {
  const int32_t baud = AIsNew ? 9600 : Baudrate();
  const int32_t parity = AIsNew ? 0 : Parity();
  const int32_t stopBits = AIsNew ? 0 : StopBits();
  // The data bits are always given as 8 here.
  FBridge.SetState(baud, ParityToParity(parity), 8, static_cast<TTCP_Port_StopBits>(stopBits), parity);
}

int32_t TLumVirtualPort::WriteLocal(const std::string& AData, std::string& AWhyNot) {
  const int32_t taken = Write(AData.data(), static_cast<int32_t>(AData.size()));
  // With an application on the port, a full queue is told by the port (OnWriteDropped).
  if (static_cast<size_t>(taken) < AData.size() && !IsOpened()) AWhyNot = "no application holds the port";
  return taken;
}

}  // namespace orvane
