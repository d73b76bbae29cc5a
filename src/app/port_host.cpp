#include "app/port_host.h"

#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#include "app/security_key.h"
#include "platform/printable_text.h"

namespace orvane {

namespace {

// The address is the configuration's text: escaped, so it cannot forge a line.
std::string ChannelPrefix(const TLumPortParams& APortParams) {
  return PrintableText(APortParams.IpAddress) + ":" + std::to_string(APortParams.PortNumber) + " ";
}

}  // namespace

std::string NameTakenText(const std::string& AName) {
  return "ComName \"" + AName + "\" is taken by another port, the port is skipped";
}

std::string CriticalErrorText(const std::string& AError) {
  return "Критическая ошибка : " + AError;
}

TPortHost::TPortHost(TPortHostSetup ASetup, TPortEnvironment& AEnv, IUserMessages& AMessages)
    : FSetup(std::move(ASetup)),
      FEnv(AEnv),
      FMessages(AMessages),
      FList(std::make_unique<TLumPortList>(AEnv)) {}

TPortHost::~TPortHost() {
  Shutdown();
}

void TPortHost::Shutdown() {
  if (FEnding.exchange(true)) return;
  // Waits for every worker while serving their hand-offs.
  FList->ClearPorts();
  FLines.clear();
}

void TPortHost::FillMqttIdentity(TLumPortParams& APortParams) {
  if (APortParams.MqttSecurityKey == 0) APortParams.MqttSecurityKey = GenerateSecurityKey();
  if (APortParams.MqttTopic.empty()) APortParams.MqttTopic = GenerateTopic();
}

TPortManager* TPortHost::FindName(const std::string& AName, const TPortManager* AExcept) const {
  for (size_t i = 0; i < FList->Count(); ++i) {
    TPortManager* port = Port(i);
    if (port != AExcept && port->PortParams().ComName == AName) return port;
  }
  return nullptr;
}

std::string TPortHost::TakeRecord(const TLumPortParams& APortParams) {
  if (FindName(APortParams.ComName) != nullptr) return NameTakenText(APortParams.ComName);
  const TPortResult result = Build(APortParams);
  if (result.Outcome == TPortOutcome::BuildFailed) {
    FMessages.Show("", CriticalErrorText(result.Error), TMessageKind::Plain);
    if (FSetup.BuildFailed) FSetup.BuildFailed();
  }
  return "";
}

bool TPortHost::Load() {
  const TPortListLoader& loader = FSetup.Loader ? FSetup.Loader : TPortListLoader(LoadConfigKeeping);
  return loader(
      FSetup.DataDir, [this](const TLumPortParams& APortParams) { return TakeRecord(APortParams); },
      FMessages, FLeftOut);
}

TConfigRead TPortHost::ReadConfig(std::vector<TLumPortParams>& APortParams,
                                  std::vector<std::string>& ALeftOut) {
  APortParams.clear();
  const TPortTaker take = [&APortParams](const TLumPortParams& ARecord) -> std::string {
    for (const TLumPortParams& taken : APortParams)
      if (taken.ComName == ARecord.ComName) return NameTakenText(ARecord.ComName);
    APortParams.push_back(ARecord);
    return "";
  };
  const TPortListLoader& loader = FSetup.Loader ? FSetup.Loader : TPortListLoader(LoadConfigKeeping);
  if (loader(FSetup.DataDir, take, FMessages, ALeftOut)) return TConfigRead::Whole;
  // The loader says nothing of a file that is not there.
  std::error_code ec;
  return std::filesystem::exists(ConfigFileName(FSetup.DataDir), ec) || ec ? TConfigRead::Broken
                                                                           : TConfigRead::Missing;
}

void TPortHost::Start(const std::vector<TLumPortParams>& APortParams, std::vector<std::string> ALeftOut) {
  FLeftOut = std::move(ALeftOut);
  for (const TLumPortParams& record : APortParams) TakeRecord(record);
}

TPortResult TPortHost::Build(const TLumPortParams& APortParams) {
  TLumPortParams params = APortParams;
  FillMqttIdentity(params);
  TPortManager* port = nullptr;
  try {
    port = FList->AddPort(params);
  } catch (const std::exception& e) {
    return {TPortOutcome::BuildFailed, nullptr, e.what()};
  }
  TLogLinesOutput output;
  output.WriteFile = FSetup.WriteFile;
  output.ShowLine = [this, port](const std::string& ALine) {
    if (FSetup.ShowLine) FSetup.ShowLine(*port, ALine);
  };
  output.ShowOnAnyThread = FSetup.ShowOnAnyThread;
  output.Ending = [this] { return Ending(); };
  auto lines = std::make_unique<TPortLogLines>(FEnv.Dispatcher, params.ComName, ChannelPrefix(params),
                                               std::move(output));
  TPortLogLines* linesOf = lines.get();
  FLines[port] = std::move(lines);
  port->TcpServer()->SetOnWriteLog(
      [linesOf](const std::string& AMessage, bool ADebug) { linesOf->AddChannelLine(AMessage, ADebug); });
  port->SetOnWriteLogEvent(
      [linesOf](const std::string& AMessage, bool ADebug) { linesOf->AddLogLine(AMessage, ADebug); });
  if (FSetup.PortBuilt) FSetup.PortBuilt(*port, *linesOf);
  // A port that cannot be created yet shows as not working; its worker retries.
  port->CreatePort();
  return {TPortOutcome::Done, port, ""};
}

TPortResult TPortHost::Add(const TLumPortParams& APortParams, bool ASave) {
  if (FindName(APortParams.ComName) != nullptr) return {TPortOutcome::NameTaken, nullptr, ""};
  TPortResult result = Build(APortParams);
  if (result.Ok() && ASave) Save();
  return result;
}

TPortResult TPortHost::Edit(TPortManager* APort, const TLumPortParams& APortParams) {
  if (LinesOf(APort) == nullptr) return {TPortOutcome::NotFound, nullptr, ""};
  if (APort->IsOpened()) return {TPortOutcome::Busy, nullptr, ""};
  if (FindName(APortParams.ComName, APort) != nullptr) return {TPortOutcome::NameTaken, nullptr, ""};
  const TPortResult removed = Remove(APort);
  if (!removed.Ok()) return removed;
  TPortResult result = Build(APortParams);
  // A port that could not be built ends the program: the file keeps the record it had.
  if (result.Ok()) Save();
  return result;
}

TPortResult TPortHost::Delete(TPortManager* APort) {
  if (LinesOf(APort) == nullptr) return {TPortOutcome::NotFound, nullptr, ""};
  if (APort->IsOpened()) return {TPortOutcome::Busy, nullptr, ""};
  TPortResult result = Remove(APort);
  if (result.Ok()) Save();
  return result;
}

TPortResult TPortHost::Remove(TPortManager* APort) {
  try {
    FList->DeletePort(APort);
  } catch (const std::exception& e) {
    bool listed = false;
    for (size_t i = 0; i < FList->Count(); ++i) listed = listed || Port(i) == APort;
    if (!listed) Forget(APort);
    return {TPortOutcome::DeleteFailed, nullptr, e.what()};
  }
  Forget(APort);
  return {};
}

void TPortHost::Forget(TPortManager* APort) {
  FLines.erase(APort);
  if (FSetup.PortGone) FSetup.PortGone(APort);
}

namespace {

// The same record, a topic and key the file leaves empty counting as the ones generated.
bool SameRecord(TLumPortParams AWanted, const TLumPortParams& ARunning) {
  if (AWanted.MqttTopic.empty()) AWanted.MqttTopic = ARunning.MqttTopic;
  if (AWanted.MqttSecurityKey == 0) AWanted.MqttSecurityKey = ARunning.MqttSecurityKey;
  return AWanted == ARunning;
}

}  // namespace

TReloadCount TPortHost::Reload(const std::vector<TLumPortParams>& APortParams,
                               std::vector<std::string> ALeftOut) {
  FLeftOut = std::move(ALeftOut);
  TReloadCount count;
  const std::vector<TLumPortParams>& wanted = APortParams;
  std::vector<bool> running(wanted.size(), false);
  std::vector<TPortManager*> stale;
  for (size_t i = 0; i < FList->Count(); ++i) {
    TPortManager* port = Port(i);
    bool kept = false;
    for (size_t k = 0; k < wanted.size() && !kept; ++k) {
      if (running[k] || !SameRecord(wanted[k], port->PortParams())) continue;
      running[k] = kept = true;
    }
    if (!kept) stale.push_back(port);
  }
  for (TPortManager* port : stale) {
    const TPortResult removed = Remove(port);
    if (removed.Ok()) {
      ++count.Stopped;
    } else {
      FMessages.Show("", removed.Error, TMessageKind::Warning);
    }
  }
  for (size_t k = 0; k < wanted.size(); ++k) {
    if (running[k]) {
      ++count.Kept;
      continue;
    }
    if (FindName(wanted[k].ComName) != nullptr) {
      FMessages.Show("", NameTakenText(wanted[k].ComName), TMessageKind::Warning);
      continue;
    }
    const TPortResult result = Build(wanted[k]);
    if (result.Outcome == TPortOutcome::BuildFailed) {
      FMessages.Show("", CriticalErrorText(result.Error), TMessageKind::Plain);
    } else {
      ++count.Started;
    }
  }
  return count;
}

bool TPortHost::Save() {
  return SaveConfig(FSetup.DataDir, *FList, FMessages, FLeftOut);
}

TPortManager* TPortHost::Port(size_t AIndex) const {
  return AIndex < FList->Count() ? FList->GetPort(static_cast<int>(AIndex)) : nullptr;
}

TPortLogLines* TPortHost::LinesOf(const TPortManager* APort) const {
  const auto lines = FLines.find(APort);
  return lines == FLines.end() ? nullptr : lines->second.get();
}

TPortStatus TPortHost::Status(const TPortManager& APort) const {
  const TLumPortParams params = APort.PortParams();
  TPortStatus status;
  status.ComName = params.ComName;
  status.Kind = params.isRealPort ? TPortKind::Physical : TPortKind::Virtual;
  status.Protocol = params.Protocol;
  status.RemoteEnd = params.Protocol == PROTOCOL_MQTT
                         ? params.MqttHost + " " + params.MqttTopic
                         : params.IpAddress + ":" + std::to_string(params.PortNumber);
  status.Working = APort.IsActive();
  status.Opened = APort.IsOpened();
  status.BytesToNetwork = APort.BytesToNetwork();
  status.BytesToPort = APort.BytesToPort();
  const TPortBridge& bridge = APort.Bridge();
  status.DroppedBytes = bridge.DroppedBytes();
  status.Reconnects = bridge.Reconnects();
  status.Since = bridge.StateSince();
  status.LastError = bridge.LastError(status.LastErrorAt);
  return status;
}

std::vector<TPortStatus> TPortHost::Statuses() const {
  std::vector<TPortStatus> statuses;
  for (size_t i = 0; i < FList->Count(); ++i) statuses.push_back(Status(*Port(i)));
  return statuses;
}

bool TPortHost::AnyOpened() const {
  for (size_t i = 0; i < FList->Count(); ++i)
    if (Port(i)->IsOpened()) return true;
  return false;
}

int TPortHost::InactiveCount() const {
  int count = 0;
  for (size_t i = 0; i < FList->Count(); ++i)
    if (!Port(i)->IsActive()) ++count;
  return count;
}

}  // namespace orvane
