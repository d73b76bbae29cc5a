#include "ports/lum_real_port.h"

#include <algorithm>

#include "platform/serial_port_list.h"

namespace orvane {

TLumRealPort::TLumRealPort(const TLumPortParams& APortParams, const TPortEnvironment& AEnv)
    : TComPort(AEnv.Dispatcher), FBridge(*this, APortParams, AEnv) {
  // The port's bytes are read and logged on its own thread, not the window's.
  RunEventsOnWatcher();
  // Ordinal 0 opens the port at 75 baud, the speed it stands for everywhere else.
  SetBaudRate(BaudRateOf(APortParams.RealPortBaudRate));
  if (APortParams.RealPortBitData <= dbEight) SetDataBits(DataBitsCount(APortParams.RealPortBitData));
  SetParity(APortParams.RealPortParityBits);
  SetStopBits(APortParams.RealPortStopBits);
  SetPort(StripRealPortSuffix(APortParams.ComName));
  OnWriteDropped = [this](TComPort&, uint64_t ACount, int AError) {
    FBridge.LocalWriteDropped(ACount, AError, "the device does not take them");
  };
  // The worker closes the port on its next pass; this only wakes it.
  OnLost = [this](TComPort&, const std::string&) { FBridge.Wake(); };
}

TLumRealPort::~TLumRealPort() {
  StopWorker();
  // The watcher may wake the worker (OnLost) until it has ended: before the bridge goes.
  Close();
}

void TLumRealPort::StopWorker() {
  // No notification reaches the port from here on (one that runs is waited for).
  MuteEvents();
  FBridge.Shutdown();
}

bool TLumRealPort::CreatePort() {
  // Bytes that come at once are told of after the opening's lines.
  const std::unique_lock<std::mutex> hold = HoldEvents();
  const bool open = Open();
  if (open) SetState();
  FBridge.FinishCreatePort(open, open ? std::string() : "COM port cannot be opened: " + LastError());
  return open;
}

bool TLumRealPort::Delete() {
  Close();
  return !Connected();
}

void TLumRealPort::SetState() {
  FBridge.SetState(static_cast<int32_t>(BaudRate()), ParityToTcp(Parity()), DataBits(),
                   StopBitsToTcp(StopBits()), static_cast<int32_t>(Parity()));
}

void TLumRealPort::HandleRxChar(int32_t ACount) {
  FBridge.LocalBytesArrived(ACount, [this](char* ABuffer, int32_t AWant) { return Read(ABuffer, AWant); });
}

int32_t TLumRealPort::WriteLocal(const std::string& AData, std::string& AWhyNot) {
  const bool failedBefore = WriteFailed();
  const int32_t written = WriteAnsiStr(AData);
  // A full queue or a write failing now is told by the port (OnWriteDropped);
  // bytes refused after an earlier failure, or by a closed port, are not.
  if (static_cast<size_t>(written) < AData.size() && (failedBefore || !Connected()))
    AWhyNot = Connected() ? LastError() : "the port is closed";
  return written;
}

void TLumRealPort::RemoteLineSettings(TTCP_Port_BaudRate ABaudRate, TTCP_Port_Parity AParity,
                                      TTCP_Port_StopBits AStopBits, TTCP_Port_DataBits ADataBits) {
  // "Фиксированные настройки": the port keeps its configured settings.
  if (PortParams().RealPortTunnelMode) return;
  // A speed or data-bit code that names nothing leaves that setting as it is;
  // parity and stop-bit codes without a meaning give none and one.
  if (const uint32_t rate = BaudRateOf(ABaudRate)) SetBaudRate(rate);
  if (ADataBits <= tpdb_Eight) SetDataBits(DataBitsCount(static_cast<TDataBits>(ADataBits)));
  SetParity(ParityFromTcp(AParity));
  SetStopBits(StopBitsFromTcp(AStopBits));
}

bool TLumRealPort::LocalPortAlive(std::string& AWhyNot) {
  AWhyNot = LostReason();
  return AWhyNot.empty();
}

}  // namespace orvane
