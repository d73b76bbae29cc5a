#include "ports/lum_virtual_port.h"

#include "platform/printable_text.h"

namespace orvane {

namespace {

const char* TrueFalse(bool AValue) {
  return AValue ? "True" : "False";
}

}  // namespace

TLumVirtualPort::TLumVirtualPort(const TLumPortParams& APortParams, const TPortEnvironment& AEnv)
    : TVSPortAx(AEnv.Dispatcher, AEnv.PortDir, AEnv.PortAccess, AEnv.OpenWatch),
      FBridge(*this, APortParams, AEnv) {
  SetDeleteOnExit(false);
  // The port's bytes are read and logged on its own thread, not the window's.
  RunEventsOnWatcher();
  ConnectDriverEvents();
  OnWriteDropped = [this](TVSPortAx&, uint64_t ACount, int AError) {
    FBridge.LocalWriteDropped(ACount, AError, "the application does not read the port");
  };
}

TLumVirtualPort::~TLumVirtualPort() {
  StopWorker();
}

void TLumVirtualPort::StopWorker() {
  // None runs from here on, so the handlers may go while the watcher runs.
  MuteEvents();
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

void TLumVirtualPort::ConnectDriverEvents() {
  // In every handler the line comes first, then what it does.
  OnRxChar = [this](TVSPortAx&, int32_t ACount) {
    FBridge.LocalBytesArrived(ACount, [this](char* ABuffer, int32_t AWant) {
      int32_t count = AWant;
      Read(ABuffer, count);
      return count;
    });
  };
  OnDTR = [this](TVSPortAx&, bool ADtr) { WriteLog(std::string("EVENT: DTR = ") + TrueFalse(ADtr), true); };
  OnRTS = [this](TVSPortAx&, bool ARts) { WriteLog(std::string("EVENT: RTS = ") + TrueFalse(ARts), true); };
  OnRING = [this](TVSPortAx&) { WriteLog("EVENT: RING", true); };
  OnOpenClose = [this](TVSPortAx&, bool AOpened) {
    WriteLog(AOpened ? "Open COM port" : "Close COM port", false);
  };
  OnTimeouts = [this](TVSPortAx&, int32_t AReadInterval, int32_t AReadMultiplier, int32_t AReadConstant,
                      int32_t AWriteMultiplier, int32_t AWriteConstant) {
    WriteLog("EVENT: ReadIntervalTimeout = " + std::to_string(AReadInterval) +
                 ", ReadTotalTimeoutMultiplier = " + std::to_string(AReadMultiplier) +
                 ", ReadTotalTimeoutConstant = " + std::to_string(AReadConstant) +
                 ", WriteTotalTimeoutMultiplier = " + std::to_string(AWriteMultiplier) +
                 ", WriteTotalTimeoutConstant = " + std::to_string(AWriteConstant),
             true);
  };
  OnLineControl = [this](TVSPortAx&, int32_t AStopBits, int32_t AParity, int32_t AWordLength) {
    WriteLog("EVENT: StopBits = " + std::to_string(AStopBits) + ", Parity = " + std::to_string(AParity) +
                 ", WordLength = " + std::to_string(AWordLength),
             true);
    ApplicationLineControl(AStopBits, AParity, AWordLength);
  };
  OnHandflow = [this](TVSPortAx&, int32_t AControlHandShake, int32_t AFlowReplace, int32_t AXOnLimit,
                      int32_t AXOffLimit) {
    WriteLog("EVENT: ControlHandShake = " + std::to_string(AControlHandShake) +
                 ", FlowReplace = " + std::to_string(AFlowReplace) +
                 ", XOnLimit = " + std::to_string(AXOnLimit) + ", XOffLimit = " + std::to_string(AXOffLimit),
             true);
  };
  OnSpecialChars = [this](TVSPortAx&, uint8_t AEofChar, uint8_t AErrorChar, uint8_t ABreakChar,
                          uint8_t AEventChar, uint8_t AXOnChar, uint8_t AXOffChar) {
    WriteLog("EVENT: EofChar = " + std::to_string(AEofChar) + ", ErrorChar = " + std::to_string(AErrorChar) +
                 ", BreakChar = " + std::to_string(ABreakChar) +
                 ", EventChar = " + std::to_string(AEventChar) + ", XOnChar = " + std::to_string(AXOnChar) +
                 ", XOffChar = " + std::to_string(AXOffChar),
             true);
  };
  OnBaudRate = [this](TVSPortAx&, int32_t ABaudrate) {
    WriteLog("Baudrate = " + std::to_string(ABaudrate), false);
    ApplicationBaudRate(ABaudrate);
  };
  OnEvent = [this](TVSPortAx&, int32_t AEvtMask) {
    WriteLog("EVENT: EvtMask = " + std::to_string(AEvtMask), true);
  };
  OnBreak = [this](TVSPortAx&, bool ABreak) {
    WriteLog(std::string("EVENT: bBreak = ") + TrueFalse(ABreak), true);
  };
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
  // An application quick to open the new port is told of after the creation's lines.
  const std::unique_lock<std::mutex> hold = HoldEvents();
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
  // The record's 100 ms pause after a creation is left out: a pty is ready when made.
  if (exists) SetState(isNew);
  FBridge.FinishCreatePort(exists, whyNot);
  return exists;
}

void TLumVirtualPort::SetState(bool AIsNew) {
  if (FixedLineSettings()) {
    const TLumPortParams& p = PortParams();
    // An ordinal beyond the lists (a damaged record) gives 8 data bits, as a pty has.
    const uint8_t dataBits = p.RealPortBitData <= dbEight ? DataBitsCount(p.RealPortBitData) : 8;
    FBridge.SetState(static_cast<int32_t>(BaudRateOf(p.RealPortBaudRate)), ParityToTcp(p.RealPortParityBits),
                     dataBits, StopBitsToTcp(p.RealPortStopBits), static_cast<int32_t>(p.RealPortParityBits));
    return;
  }
  const int32_t baud = AIsNew ? 9600 : Baudrate();
  const int32_t parity = AIsNew ? 0 : Parity();
  const int32_t stopBits = AIsNew ? 0 : StopBits();
  // The data bits are always given as 8 here.
  FBridge.SetState(baud, ParityToParity(parity), 8, static_cast<TTCP_Port_StopBits>(stopBits), parity);
}

void TLumVirtualPort::ApplicationBaudRate(int32_t ABaudrate) {
  if (FixedLineSettings()) return;
  TcpServer()->Set_Port_Send_Baud(ABaudrate);
  TcpServer()->Set_Port_Recv_Baud(ABaudrate);
}

void TLumVirtualPort::ApplicationLineControl(int32_t AStopBits, int32_t AParity, int32_t AWordLength) {
  if (FixedLineSettings()) return;
  const TTCP_Port_Parity parity = ParityToParity(AParity);
  const auto dataBits = static_cast<uint8_t>(AWordLength);
  const auto stopBits = static_cast<TTCP_Port_StopBits>(AStopBits);
  TcpServer()->SetSendParams(parity, dataBits, stopBits);
  TcpServer()->SetReciveParams(parity, dataBits, stopBits);
}

int32_t TLumVirtualPort::WriteLocal(const std::string& AData, std::string& AWhyNot) {
  const int32_t taken = Write(AData.data(), static_cast<int32_t>(AData.size()));
  // With an application on the port, a full queue is told by the port (OnWriteDropped).
  if (static_cast<size_t>(taken) < AData.size() && !IsOpened()) AWhyNot = "no application holds the port";
  return taken;
}

}  // namespace orvane
