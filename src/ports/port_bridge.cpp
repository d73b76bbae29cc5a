#include "ports/port_bridge.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <utility>

#include "platform/errno_text.h"
#include "platform/printable_text.h"
#include "platform/serial_port_list.h"

namespace orvane {

namespace {

// Wall-clock seconds, for the times a status shows.
int64_t EpochSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// "<what>: <error>", or nothing when the channel gave no reason.
std::string Labelled(const char* AWhat, const std::string& AError) {
  return AError.empty() ? std::string() : AWhat + std::string(": ") + AError;
}

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
      FAliveCheck(AEnv.Ticks),
      FStateSince(EpochSeconds()) {
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
  // Only the slow attempts of a device that stayed away long are told when they succeed.
  if (AExists && FCountRecreate > MAX_RECREATE)
    WriteLog("COM port reopened: " + PrintableText(StripRealPortSuffix(FPortParams.ComName)), false);
  if (AExists) FCountRecreate = 0;
  // The reason may carry the port's name (a device path), which is the configuration's text.
  const std::string fault = AExists ? std::string() : PrintableText(AWhyNot);
  if (!fault.empty() && fault != FCreateFault) {
    WriteLog(fault, false);
    NoteError(fault);
  }
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
    HoldLocked(AData, FEnv.Ticks());
    FReceivePacket.Restart();
  }
  Wake();
}

void TPortBridge::HoldLocked(const std::string& AData, uint32_t AReadAt) {
  const size_t room = MAX_HELD_BYTES - std::min(MAX_HELD_BYTES, FRxData.size());
  const size_t taken = std::min(room, AData.size());
  if (FRxData.empty() && taken > 0) FRxSince = AReadAt;
  FRxData.append(AData, 0, taken);
  FRxOverflow += AData.size() - taken;
}

void TPortBridge::LocalBytesArrived(int32_t ACount, const TLocalRead& ARead) {
  std::string data(static_cast<size_t>(std::clamp(ACount, 0, MAX_LOCAL_READ)), '\0');
  const int32_t read = data.empty() ? 0 : ARead(data.data(), static_cast<int32_t>(data.size()));
  data.resize(static_cast<size_t>(std::clamp(read, 0, static_cast<int32_t>(data.size()))));
  WriteLog("EVENT: RxChar, Received = " + std::to_string(data.size()), true);
  if (data.empty()) return;
  {
    // The line is written under the lock: the worker can neither send the bytes (and log
    // them OUT) ahead of it nor count the time it takes as silence or as the bytes' age.
    std::lock_guard<std::mutex> guard(FLock);
    const uint32_t readAt = FEnv.Ticks();
    FReceivePacket.Restart();
    WriteLog(TrafficLine("IN", data), false);
    HoldLocked(data, readAt);
  }
  Wake();
}

void TPortBridge::LocalWriteDropped(uint64_t ACount, int AError, const std::string& AQueueFullWhy) const {
  // What a lasting episode has told already is not told again.
  const uint64_t told = std::min(FPortToldAhead.load(), ACount);
  FPortToldAhead -= told;
  ACount -= told;
  if (ACount == 0) return;
  FDroppedBytes += ACount;
  // The port counts the episode itself; the prefix is fixed before the worker starts.
  WriteLog(TDropTally::Line(FToPortDrops.Prefix, static_cast<size_t>(ACount),
                            ErrnoText(AError == ENOBUFS ? AQueueFullWhy : "write failed", AError)),
           false);
}

void TPortBridge::Process() {
  ++FPassCount;
  if (!FIsCreated && RecreateDue()) RetryCreate();
  if (!FIsCreated) return;
  CheckLocalPort();
  if (FIsCreated) {
    if (!ChannelActive() &&
        (!FReconnect.IsRuning() || FReconnect.ElapsedMilliseconds() >= FReconnectSpacing)) {
      FReconnect.Restart();
      ConnectServer();
    }
    DropUnsendable();
    SendRxData();
    ReadServerData();
    SendHello();
  }
  ReportState();
}

bool TPortBridge::RecreateDue() const {
  // The first at once, then every 10 s, 40 in all; a physical port then goes on every
  // 60 s, as a device that was unplugged may come back any time.
  if (FCountRecreate >= MAX_RECREATE && !FPortParams.isRealPort) return false;
  const uint32_t spacing = FCountRecreate >= MAX_RECREATE ? RECONNECT_INTERVAL_MS : RECREATE_INTERVAL_MS;
  return !FRecreate.IsRuning() || FRecreate.ElapsedMilliseconds() >= spacing;
}

void TPortBridge::RetryCreate() {
  FRecreate.Restart();
  ++FCountRecreate;
  const bool created = FPort.RetryCreatePort();
  if (!created && FCountRecreate == MAX_RECREATE && FPortParams.isRealPort)
    WriteLog("COM port not opened after " + std::to_string(MAX_RECREATE) +
                 " attempts, will keep trying every " + std::to_string(RECONNECT_INTERVAL_MS / 1000) + " s",
             false);
}

TNextWait TPortBridge::NextWait() {
  TSoonest soonest;
  if (!FIsCreated) {
    if (FCountRecreate < MAX_RECREATE) {
      soonest.Due(Remaining(FRecreate, RECREATE_INTERVAL_MS));
    } else if (FPortParams.isRealPort) {
      soonest.Due(Remaining(FRecreate, RECONNECT_INTERVAL_MS));
    }
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
    if (!FRxData.empty()) soonest.Due(std::max<int64_t>(HoldBackRemaining(), pause));
  } else {
    soonest.Due(Remaining(FReconnect, FReconnectSpacing));
  }
  {
    // Bytes to drop or count while the channel is down are told at once.
    std::lock_guard<std::mutex> guard(FLock);
    if (FRxOverflow > 0 || (!FRxData.empty() && !FChannelUp && !FReopenPending)) soonest.Due(0);
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
  NoteError("COM port lost, closed: " + why);
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
    // A connection that worked and then dropped is reopened at once; the growing
    // spacing is for attempts that failed.
    FChannelUp = false;
    FReconnectSpacing = QUICK_REOPEN_GAP_MS;
    FReopenPending = true;
  }
  return active;
}

bool TPortBridge::ConnectServer() {
  const bool connected = FCommServer->Open(
      FPortParams.IpAddress, static_cast<uint16_t>(FPortParams.PortNumber), FPortParams.LineNumber);
  FChannelUp = connected;
  FReopenPending = false;
  // A connection that worked starts the schedule afresh.
  if (connected) {
    FFailedConnects = 0;
    if (std::exchange(FConnectedOnce, true)) ++FReconnects;
  } else {
    NoteError(Labelled("connect", FCommServer->GetLastIpError()));
    constexpr size_t steps = std::size(RECONNECT_BACKOFF_MS);
    FReconnectSpacing =
        FFailedConnects < steps ? RECONNECT_BACKOFF_MS[FFailedConnects] : RECONNECT_INTERVAL_MS;
    ++FFailedConnects;
  }
  return connected;
}

void TPortBridge::DisconnectServer() {
  FCommServer->Close();
}

void TPortBridge::DropUnsendable() {
  size_t overflow = 0;
  size_t stale = 0;
  {
    std::lock_guard<std::mutex> guard(FLock);
    overflow = std::exchange(FRxOverflow, 0);
    // Kept only for the reopen that follows a drop at once; a peer that comes back
    // later must not get requests that nobody waits for any more.
    if (!FChannelUp && !FReopenPending && !FRxData.empty()) {
      stale = FRxData.size();
      std::string().swap(FRxData);
    }
  }
  if (overflow > 0)
    Dropped(FToNetworkDrops, overflow,
            "more than " + std::to_string(MAX_HELD_BYTES) + " bytes wait for the network");
  if (stale > 0) Dropped(FToNetworkDrops, stale, "not connected");
}

int64_t TPortBridge::HoldBackRemaining() const {
  const uint32_t holdBack = FPortParams.ReadPacketTimeout;
  if (holdBack == 0 || FRxData.size() >= HOLD_BACK_MAX_BYTES) return 0;
  const uint32_t age = FEnv.Ticks() - FRxSince;
  const int64_t oldest = age >= HOLD_BACK_MAX_MS ? 0 : int64_t{HOLD_BACK_MAX_MS} - age;
  return std::min(Remaining(FReceivePacket, holdBack), oldest);
}

std::string TPortBridge::TakeRxData() {
  std::lock_guard<std::mutex> guard(FLock);
  if (HoldBackRemaining() > 0) return {};
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
    FBytesToNetwork += data.size();
    EndDrops(FToNetworkDrops);
    WriteLog(ChannelPrefix() + TrafficLine("OUT", data), false);
  } else {
    // The channel has logged why.
    NoteError(Labelled("send", FCommServer->GetLastIpError()));
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
  FStateSince = EpochSeconds();
  Synchronize([this] {
    if (FEnv.OnStateChanged) FEnv.OnStateChanged();
  });
  FIsActive = active;
}

void TPortBridge::NoteError(const std::string& AError) {
  if (AError.empty()) return;
  std::lock_guard<std::mutex> guard(FErrorLock);
  FLastError = AError;
  FLastErrorAt = EpochSeconds();
}

std::string TPortBridge::LastError(int64_t& AWhen) const {
  std::lock_guard<std::mutex> guard(FErrorLock);
  AWhen = FLastErrorAt;
  return FLastError;
}

void TPortBridge::DoReceiveData(const std::string& AData) {
  if (AData.empty()) return;
  if (!IsActive()) {
    Dropped(FToPortDrops, AData.size(), "port not active");
    return;
  }
  std::string line = ChannelPrefix();
  AppendTrafficLine(line, "IN", AData);
  WriteLog(line, false);
  std::string why;
  const int32_t taken =
      std::clamp<int32_t>(FPort.WriteLocal(AData, why), 0, static_cast<int32_t>(AData.size()));
  FBytesToPort += static_cast<uint64_t>(taken);
  if (taken > 0)
    WriteLog(TrafficLine("OUT", std::string_view(AData).substr(0, static_cast<size_t>(taken))), false);
  if (static_cast<size_t>(taken) < AData.size()) {
    // An empty reason: the port tells this loss once its episode is over.
    if (!why.empty()) {
      Dropped(FToPortDrops, AData.size() - static_cast<size_t>(taken), why);
    } else {
      PortRefused(AData.size() - static_cast<size_t>(taken));
    }
    // A write that failed may be the first sign of a device that went away:
    // the next pass looks.
    FAliveCheck.Stop();
  } else {
    EndDrops(FToPortDrops);
    FPortRefused = 0;
  }
}

void TPortBridge::PortRefused(size_t ACount) {
  const uint32_t now = FEnv.Ticks();
  if (FPortRefused == 0) FPortRefusedSince = now;
  FPortRefused += ACount;
  if (now - FPortRefusedSince < DROP_REPORT_MS) return;
  // The same words the port's own line uses.
  const char* why =
      FPortParams.isRealPort ? "the device does not take them" : "the application does not read the port";
  FPortToldAhead += FPortRefused;
  FDroppedBytes += FPortRefused;
  WriteLog(TDropTally::Line(FToPortDrops.Prefix, static_cast<size_t>(FPortRefused), ErrnoText(why, ENOBUFS)),
           false);
  FPortRefused = 0;
}

void TPortBridge::DoParamPortChange(TTCP_Port_BaudRate ABaudRate, TTCP_Port_Parity AParity,
                                    TTCP_Port_StopBits AStopBits, TTCP_Port_DataBits ADataBits) {
  FPort.RemoteLineSettings(ABaudRate, AParity, AStopBits, ADataBits);
}

void TPortBridge::DoHelloFailed() {
  WriteLog("Неверный ответ. Возможно используется некорректный ключ безопасности", false);
}

void TPortBridge::Dropped(TDropTally& ATally, size_t ACount, const std::string& AReason) {
  FDroppedBytes += ACount;
  if (const auto line = ATally.Add(ACount, AReason, FEnv.Ticks(), DROP_REPORT_MS)) WriteLog(*line, false);
}

void TPortBridge::EndDrops(TDropTally& ATally) {
  if (const auto line = ATally.End()) WriteLog(*line, false);
}

}  // namespace orvane
