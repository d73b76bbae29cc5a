#include "ports/port_bridge.h"

#include <algorithm>
#include <cerrno>

#include "platform/errno_text.h"
#include "platform/printable_text.h"

namespace orvane {

namespace {

// Milliseconds until a stopwatch shows AInterval; 0 when it is stopped or there already.
int64_t Remaining(const TStopWatch& AWatch, uint32_t AInterval) {
  if (!AWatch.IsRuning()) return 0;
  const uint32_t elapsed = AWatch.ElapsedMilliseconds();
  return elapsed >= AInterval ? 0 : int64_t{AInterval} - elapsed;
}

// The soonest of several deadlines, in milliseconds from now; -1 when there is none.
class TSoonest {
 public:
  void Due(int64_t AMs) {
    FMs = FMs < 0 ? std::max<int64_t>(AMs, 0) : std::min(FMs, std::max<int64_t>(AMs, 0));
  }
  int32_t Ms() const { return static_cast<int32_t>(std::min<int64_t>(FMs, INT32_MAX)); }

 private:
  int64_t FMs = -1;
};

std::string Traffic(const char* ADirection, const std::string& AData) {
  return std::string(ADirection) + ": [" + std::to_string(AData.size()) + "] " + BytesToHex(AData);
}

}  // namespace

std::optional<std::string> TDropTally::Add(size_t ACount, const std::string& AReason, uint32_t ANow,
                                           uint32_t ALongMs) {
  std::optional<std::string> line;
  if (FCount > 0 && (AReason != FReason || ANow - FSince >= ALongMs)) line = End();
  if (FCount == 0) {
    FReason = AReason;
    FSince = ANow;
  }
  FCount += ACount;
  return line;
}

std::optional<std::string> TDropTally::End() {
  if (FCount == 0) return std::nullopt;
  std::string line = Line(Prefix, FCount, FReason);
  FCount = 0;
  return line;
}

std::string TDropTally::Line(const std::string& APrefix, size_t ACount, const std::string& AReason) {
  return APrefix + "dropped [" + std::to_string(ACount) + "] bytes, " + AReason;
}

TPortBridge::TPortBridge(IBridgeLocalPort& APort, const TLumPortParams& APortParams,
                         const TPortEnvironment& AEnv)
    : FPort(APort),
      FEnv(AEnv),
      FPortParams(APortParams),
      FIsMqtt(APortParams.Protocol == PROTOCOL_MQTT),
      FRecreate(AEnv.Ticks),
      FReconnect(AEnv.Ticks),
      FReceivePacket(AEnv.Ticks),
      FAliveCheck(AEnv.Ticks) {
  // The worker's stop request is the cancel check of every wait of the
  // channel, so ending a port never waits for its peer.
  FCommServer = MakeChannel(
      FEnv, FPortParams, [this](const std::string& AData) { DoReceiveData(AData); },
      [this] { return FProcessThread->Terminated(); });
  FCommServer->SetOnParamPortChange(
      [this](TTCP_Port_BaudRate ABaudRate, TTCP_Port_Parity AParity, TTCP_Port_StopBits AStopBits,
             TTCP_Port_DataBits ADataBits) { DoParamPortChange(ABaudRate, AParity, AStopBits, ADataBits); });
  FCommServer->SetOnHelloFailed([this](IServerInterface*) { DoHelloFailed(); });
  FProcessThread = std::make_unique<TProcessThread>(
      FEnv.Dispatcher, [this] { Process(); }, [this] { return NextWait(); });
  FToPortDrops.Prefix = "OUT: ";
  FToNetworkDrops.Prefix = ChannelPrefix() + "OUT: ";
}

TPortBridge::~TPortBridge() {
  Shutdown();
}

void TPortBridge::Shutdown() {
  if (FShutDown) return;
  FShutDown = true;
  FProcessThread->Terminate();
  FProcessThread->WaitFor();
  EndDrops(FToNetworkDrops);
  EndDrops(FToPortDrops);
  // The channel goes before the local port: it closes its connection here.
  FCommServer.reset();
}

std::string TPortBridge::ChannelPrefix() const {
  return PrintableText(FPortParams.IpAddress) + ":" + std::to_string(FPortParams.PortNumber) + " ";
}

void TPortBridge::WriteLog(const std::string& AMessage, bool ADebug) const {
  if (OnWriteLogEvent) OnWriteLogEvent(AMessage, ADebug);
}

void TPortBridge::Synchronize(const std::function<void()>& AMethod) {
  FProcessThread->Synchronize(AMethod);
}

void TPortBridge::Wake() {
  FProcessThread->Wake();
}

bool TPortBridge::IsActive() const {
  return FIsCreated && FCommServer && FCommServer->GetActive();
}

void TPortBridge::FinishCreatePort(bool AExists, const std::string& AWhyNot) {
  if (AExists) FCountRecreate = 0;
  // The reason may carry the port's name (a device path), which is the configuration's text.
  const std::string fault = AExists ? std::string() : PrintableText(AWhyNot);
  if (!fault.empty() && fault != FCreateFault) WriteLog(fault, false);
  FCreateFault = fault;
  FIsCreated = AExists;
  if (!FProcessThread->Started()) FProcessThread->Start();
}

void TPortBridge::SetState(int32_t ABaudRate, TTCP_Port_Parity AParityCode, uint8_t ADataBits,
                           TTCP_Port_StopBits AStopBits, int32_t AReportedParity) {
  FCommServer->Set_Port_Send_Baud(ABaudRate);
  FCommServer->Set_Port_Recv_Baud(ABaudRate);
  FCommServer->SetSendParams(AParityCode, ADataBits, AStopBits);
  FCommServer->SetReciveParams(AParityCode, ADataBits, AStopBits);
  WriteLog("SetState - OK, Baudrate=" + std::to_string(ABaudRate) + ", Parity=" +
               std::to_string(AReportedParity) + ", StopBits=" + std::to_string(static_cast<int>(AStopBits)),
           true);
}

void TPortBridge::OnRxData(const std::string& AData) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FRxData += AData;
    FReceivePacket.Restart();
  }
  Wake();
}

void TPortBridge::LocalWriteDropped(uint64_t ACount, int AError, const std::string& AQueueFullWhy) const {
  if (ACount == 0) return;
  // The port counts the episode itself; the prefix is fixed before the worker starts.
  WriteLog(TDropTally::Line(FToPortDrops.Prefix, static_cast<size_t>(ACount),
                            ErrnoText(AError == ENOBUFS ? AQueueFullWhy : "write failed", AError)),
           false);
}

void TPortBridge::Process() {
  ++FPassCount;
  // Creation retries: the first at once, then every 10 s, 40 in all.
  if (!FIsCreated && FCountRecreate < MAX_RECREATE &&
      (!FRecreate.IsRuning() || FRecreate.ElapsedMilliseconds() >= RECREATE_INTERVAL_MS)) {
    FRecreate.Restart();
    ++FCountRecreate;
    FPort.RetryCreatePort();
  }
  if (!FIsCreated) return;
  CheckLocalPort();
  if (FIsCreated) {
    if (!ChannelActive() &&
        (!FReconnect.IsRuning() || FReconnect.ElapsedMilliseconds() >= FReconnectSpacing)) {
      FReconnect.Restart();
      ConnectServer();
    }
    SendRxData();
    ReadServerData();
    SendHello();
  }
  ReportState();
  if (OnProcessEvent) OnProcessEvent();
}

TNextWait TPortBridge::NextWait() {
  TSoonest soonest;
  if (!FIsCreated) {
    if (FCountRecreate < MAX_RECREATE) soonest.Due(Remaining(FRecreate, RECREATE_INTERVAL_MS));
    return {soonest.Ms(), -1};
  }
  int handle = -1;
  if (ChannelActive()) {
    // Asked after the pass, so after the channel's last call: the handle and
    // the deadline may have changed with it.
    handle = FCommServer->ReadyHandle();
    if (const std::optional<uint32_t> due = FCommServer->NextDeadlineMs()) soonest.Due(*due);
    // A channel that offers nothing to wait on is looked at on a short period.
    if (handle < 0) soonest.Due(NO_HANDLE_PERIOD_MS);
    // Bytes from the application leave once the hold-back silence is over and the
    // channel's pause since its last send has passed, whichever comes later.
    const uint32_t pause = FCommServer->SendPauseMs();
    std::lock_guard<std::mutex> guard(FLock);
    if (!FRxData.empty()) {
      const uint32_t holdBack = FPortParams.ReadPacketTimeout;
      soonest.Due(std::max<int64_t>(holdBack == 0 ? 0 : Remaining(FReceivePacket, holdBack), pause));
    }
  } else {
    soonest.Due(Remaining(FReconnect, FReconnectSpacing));
  }
  if (FIsMqtt && FLastHello) {
    const uint32_t since = FEnv.Ticks() - *FLastHello;
    soonest.Due(since > HELLO_INTERVAL_MS ? 0 : int64_t{HELLO_INTERVAL_MS} + 1 - since);
  }
  const int32_t period = FPort.AliveCheckPeriodMs();
  if (period >= 0) soonest.Due(Remaining(FAliveCheck, static_cast<uint32_t>(period)));
  return {soonest.Ms(), handle};
}

void TPortBridge::CheckLocalPort() {
  const int32_t period = FPort.AliveCheckPeriodMs();
  if (period < 0) return;
  if (FAliveCheck.IsRuning() && FAliveCheck.ElapsedMilliseconds() < static_cast<uint32_t>(period)) return;
  FAliveCheck.Restart();
  std::string why;
  if (FPort.LocalPortAlive(why) || Terminated()) return;
  // Closed, and created again on the retry schedule with the count started afresh.
  FPort.CloseLostPort();
  WriteLog("COM port lost, closed: " + why, false);
  FIsCreated = false;
  FCountRecreate = 0;
  FRecreate.Stop();
  FAliveCheck.Stop();
}

bool TPortBridge::ChannelActive() {
  const bool active = FCommServer->GetActive();
  if (active) {
    FChannelUp = true;
  } else if (FChannelUp) {
    // A connection that worked and then dropped is reopened at once; the long
    // spacing is for attempts that failed.
    FChannelUp = false;
    FReconnectSpacing = QUICK_REOPEN_GAP_MS;
  }
  return active;
}

bool TPortBridge::ConnectServer() {
  const bool connected = FCommServer->Open(
      FPortParams.IpAddress, static_cast<uint16_t>(FPortParams.PortNumber), FPortParams.LineNumber);
  FChannelUp = connected;
  FReconnectSpacing = RECONNECT_INTERVAL_MS;
  return connected;
}

void TPortBridge::DisconnectServer() {
  FCommServer->Close();
}

std::string TPortBridge::TakeRxData() {
  std::lock_guard<std::mutex> guard(FLock);
  const uint32_t holdBack = FPortParams.ReadPacketTimeout;
  if (holdBack > 0 && FReceivePacket.IsRuning() && FReceivePacket.ElapsedMilliseconds() < holdBack) return {};
  std::string data;
  data.swap(FRxData);
  return data;
}

void TPortBridge::SendRxData() {
  if (!IsActive()) return;  // the bytes wait for the channel
  // The pause between two sends is waited for between passes, not inside Send_String, so
  // reading goes on meanwhile; bytes that come during it leave with the next send.
  if (FCommServer->SendPauseMs() > 0) return;
  const std::string data = TakeRxData();
  if (data.empty()) return;
  bool sent = FCommServer->Send_String(data, 0, false);
  if (!sent) {
    DisconnectServer();
    FReconnect.Restart();
    if (ConnectServer()) sent = FCommServer->Send_String(data, 0, false);
  }
  if (sent) {
    EndDrops(FToNetworkDrops);
    WriteLog(ChannelPrefix() + Traffic("OUT", data), false);
  } else {
    // The channel has logged why.
    Dropped(FToNetworkDrops, data.size(), "send failed");
  }
}

void TPortBridge::ReadServerData() {
  // The worker sleeps on the channel's handle and deadline between passes, so a read need
  // not wait for bytes itself: a pass that woke for something else would hold up the rest.
  if (IsActive()) FCommServer->ReadWaiting();
}

void TPortBridge::SendHello() {
  if (!FIsMqtt) return;
  const uint32_t now = FEnv.Ticks();
  // No hello yet counts as long ago: the first pass of a created port sends one.
  if (FLastHello && now - *FLastHello <= HELLO_INTERVAL_MS) return;
  FLastHello = now;
  FCommServer->Send_Hello();
}

void TPortBridge::ReportState() {
  const bool active = IsActive();
  if (active == FIsActive) return;
  Synchronize([this] {
    if (FEnv.OnStateChanged) FEnv.OnStateChanged();
  });
  FIsActive = active;
}

void TPortBridge::DoReceiveData(const std::string& AData) {
  if (AData.empty()) return;
  if (!IsActive()) {
    Dropped(FToPortDrops, AData.size(), "port not active");
    return;
  }
  WriteLog(ChannelPrefix() + Traffic("IN", AData), false);
  std::string why;
  const int32_t taken =
      std::clamp<int32_t>(FPort.WriteLocal(AData, why), 0, static_cast<int32_t>(AData.size()));
  if (taken > 0) WriteLog(Traffic("OUT", AData.substr(0, static_cast<size_t>(taken))), false);
  if (static_cast<size_t>(taken) < AData.size()) {
    // An empty reason: the port tells this loss once its episode is over.
    if (!why.empty()) Dropped(FToPortDrops, AData.size() - static_cast<size_t>(taken), why);
    // A write that failed may be the first sign of a device that went away:
    // the next pass looks.
    FAliveCheck.Stop();
  } else {
    EndDrops(FToPortDrops);
  }
}

void TPortBridge::DoParamPortChange(TTCP_Port_BaudRate ABaudRate, TTCP_Port_Parity AParity,
                                    TTCP_Port_StopBits AStopBits, TTCP_Port_DataBits ADataBits) {
  FPort.RemoteLineSettings(ABaudRate, AParity, AStopBits, ADataBits);
}

void TPortBridge::DoHelloFailed() {
  WriteLog("Неверный ответ. Возможно используется некорректный ключ безопасности", false);
}

void TPortBridge::Dropped(TDropTally& ATally, size_t ACount, const std::string& AReason) {
  if (const auto line = ATally.Add(ACount, AReason, FEnv.Ticks(), DROP_REPORT_MS)) WriteLog(*line, false);
}

void TPortBridge::EndDrops(TDropTally& ATally) {
  if (const auto line = ATally.End()) WriteLog(*line, false);
}

}  // namespace orvane
