#include "ports/lum_real_port.h"

#include <algorithm>

#include "platform/serial_port_list.h"
#include "ports/port_conversions.h"

namespace orvane {

namespace {

// As the serial port finds it: a bare name is looked up in /dev.
std::string DevicePathOf(const std::string& APort) {
  return APort.find('/') == std::string::npos ? "/dev/" + APort : APort;
}

// More than this is never read for one notification.
constexpr int32_t kMaxRead = 65536;

}  // namespace

TLumRealPort::TLumRealPort(const TLumPortParams& APortParams, const TPortEnvironment& AEnv)
    : TComPort(AEnv.Dispatcher),
      FDevicePath(DevicePathOf(StripRealPortSuffix(APortParams.ComName))),
      FBridge(*this, APortParams, AEnv) {
  SetBaudRate(BaudRateOfOrdinal(APortParams.RealPortBaudRate));
  uint8_t dataBits = 8;
  if (DataBitsOfOrdinal(APortParams.RealPortBitData, dataBits)) SetDataBits(dataBits);
  if (APortParams.RealPortParityBits <= prSpace)
    SetParity(static_cast<TComParity>(APortParams.RealPortParityBits));
  if (APortParams.RealPortStopBits <= sbTwoStopBits)
    SetStopBits(static_cast<TComStopBits>(APortParams.RealPortStopBits));
  SetPort(StripRealPortSuffix(APortParams.ComName));
}

TLumRealPort::~TLumRealPort() {
  // Notifications queued for this port are served while the worker is waited for.
  FOutOfReach = true;
  FBridge.Shutdown();
}

bool TLumRealPort::CreatePort() {
  const bool open = Open();
  if (open) {
    ReadDeviceIdentity(FDevicePath, FIdentity);
    SetState();
  }
  FBridge.FinishCreatePort(open);
  return open;
}

bool TLumRealPort::Delete() {
  Close();
  return !Connected();
}

void TLumRealPort::SetState() {
  const int32_t parity = static_cast<int32_t>(Parity());
  FBridge.SetState(static_cast<int32_t>(BaudRate()), ParityToParity(parity), DataBits(),
                   static_cast<TTCP_Port_StopBits>(StopBits()), parity);
}

void TLumRealPort::HandleRxChar(int32_t ACount) {
  if (FOutOfReach) return;
  std::string data(static_cast<size_t>(std::clamp(ACount, 0, kMaxRead)), '\0');
  const int32_t read = Read(data.data(), static_cast<int32_t>(data.size()));
  data.resize(static_cast<size_t>(std::max(read, 0)));
  FBridge.WriteLog("EVENT: RxChar, Received = " + std::to_string(data.size()), true);
  if (data.empty()) return;
  FBridge.WriteLog("IN: [" + std::to_string(data.size()) + "] " + BytesToHex(data), false);
  FBridge.OnRxData(data);
}

int32_t TLumRealPort::WriteLocal(const std::string& AData, std::string& AWhyNot) {
  const int32_t written = WriteAnsiStr(AData);
  if (static_cast<size_t>(written) < AData.size()) AWhyNot = Connected() ? LastError() : "the port is closed";
  return written;
}

void TLumRealPort::RemoteLineSettings(TTCP_Port_BaudRate ABaudRate, TTCP_Port_Parity AParity,
                                      TTCP_Port_StopBits AStopBits, TTCP_Port_DataBits ADataBits) {
  // "Фиксированные настройки": the port keeps its configured settings.
  if (PortParams().RealPortTunnelMode) return;
  // Codes that name nothing leave that setting as it is.
  if (const uint32_t rate = BaudRateOfOrdinal(ABaudRate)) SetBaudRate(rate);
  uint8_t dataBits = 8;
  if (DataBitsOfOrdinal(ADataBits, dataBits)) SetDataBits(dataBits);
  TComParity parity = TComParity::None;
  if (SerialParityOfCode(AParity, parity)) SetParity(parity);
  TComStopBits stopBits = TComStopBits::One;
  if (SerialStopBitsOfCode(AStopBits, stopBits)) SetStopBits(stopBits);
}

bool TLumRealPort::LocalPortAlive(std::string& AWhyNot) {
  TDeviceIdentity now;
  if (!ReadDeviceIdentity(FDevicePath, now)) {
    AWhyNot = FDevicePath + " is gone";
    return false;
  }
  if (!(now == FIdentity)) {
    AWhyNot = FDevicePath + " is another device now";
    return false;
  }
  return true;
}

}  // namespace orvane
