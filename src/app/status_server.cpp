#include "app/status_server.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "model/lum_port_params.h"
#include "platform/deadline.h"
#include "platform/local_time.h"
#include "platform/printable_text.h"

namespace orvane {

namespace {

constexpr const char* REPLY_HEAD = "orvane-status 1";
constexpr const char* REPLY_END = "end";
constexpr size_t FIELD_COUNT = 13;
// A reply of thousands of ports is well below this.
constexpr size_t REPLY_LIMIT = 16 * 1024 * 1024;

std::vector<std::string> Split(const std::string& AText, char ASeparator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at = AText.find(ASeparator); at != std::string::npos; at = AText.find(ASeparator, start)) {
    parts.push_back(AText.substr(start, at - start));
    start = at + 1;
  }
  parts.push_back(AText.substr(start));
  return parts;
}

template <typename TNumber>
bool ParseNumber(const std::string& AText, TNumber& AValue) {
  const char* end = AText.data() + AText.size();
  const auto [ptr, ec] = std::from_chars(AText.data(), end, AValue);
  return !AText.empty() && ec == std::errc() && ptr == end;
}

std::string TimeText(int64_t AEpochSeconds) {
  const TLocalTime time = LocalTimeOf(AEpochSeconds);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", time.Year, time.Month, time.Day, time.Hour,
                time.Minute, time.Second);
  return buf;
}

// The short name a hand-written file may use for the protocol.
std::string ProtocolName(const std::string& ALabel) {
  if (ALabel == PROTOCOL_DIRECT) return "passthrough";
  if (ALabel == PROTOCOL_IP485) return "ip485";
  if (ALabel == PROTOCOL_MQTT) return "mqtt";
  return ALabel;
}

}  // namespace

std::string StatusReply(const std::vector<TPortStatus>& AStatuses) {
  std::string reply = std::string(REPLY_HEAD) + "\n";
  for (const TPortStatus& s : AStatuses) {
    const std::string fields[FIELD_COUNT] = {
        PrintableText(s.ComName),      s.Kind == TPortKind::Physical ? "p" : "v",
        PrintableText(s.Protocol),     PrintableText(s.RemoteEnd),
        s.Working ? "1" : "0",         s.Opened ? "1" : "0",
        std::to_string(s.Since),       std::to_string(s.BytesToNetwork),
        std::to_string(s.BytesToPort), std::to_string(s.DroppedBytes),
        std::to_string(s.Reconnects),  std::to_string(s.LastErrorAt),
        PrintableText(s.LastError)};
    for (size_t i = 0; i < FIELD_COUNT; ++i) reply += (i == 0 ? "" : "\t") + fields[i];
    reply += "\n";
  }
  return reply + REPLY_END + "\n";
}

bool ParseStatusReply(const std::string& AReply, std::vector<TPortStatus>& AStatuses) {
  std::vector<std::string> lines = Split(AReply, '\n');
  // The last line ends with a line break, so the split leaves an empty piece.
  if (lines.size() < 3 || lines.front() != REPLY_HEAD || !lines.back().empty() ||
      lines[lines.size() - 2] != REPLY_END)
    return false;
  AStatuses.clear();
  for (size_t i = 1; i + 2 < lines.size(); ++i) {
    const std::vector<std::string> f = Split(lines[i], '\t');
    if (f.size() != FIELD_COUNT || (f[1] != "v" && f[1] != "p") || (f[4] != "0" && f[4] != "1") ||
        (f[5] != "0" && f[5] != "1"))
      return false;
    TPortStatus s;
    s.ComName = f[0];
    s.Kind = f[1] == "p" ? TPortKind::Physical : TPortKind::Virtual;
    s.Protocol = f[2];
    s.RemoteEnd = f[3];
    s.Working = f[4] == "1";
    s.Opened = f[5] == "1";
    if (!ParseNumber(f[6], s.Since) || !ParseNumber(f[7], s.BytesToNetwork) ||
        !ParseNumber(f[8], s.BytesToPort) || !ParseNumber(f[9], s.DroppedBytes) ||
        !ParseNumber(f[10], s.Reconnects) || !ParseNumber(f[11], s.LastErrorAt))
      return false;
    s.LastError = f[12];
    AStatuses.push_back(std::move(s));
  }
  return true;
}

std::string StatusLine(const TPortStatus& AStatus) {
  std::string line = AStatus.ComName + (AStatus.Kind == TPortKind::Physical ? " physical " : " virtual ") +
                     ProtocolName(AStatus.Protocol) + " " + AStatus.RemoteEnd + ": " +
                     (AStatus.Working ? "working" : "not working") + " since " + TimeText(AStatus.Since) +
                     ", in " + std::to_string(AStatus.BytesToPort) + " B, out " +
                     std::to_string(AStatus.BytesToNetwork) + " B, dropped " +
                     std::to_string(AStatus.DroppedBytes) + " B, reconnects " +
                     std::to_string(AStatus.Reconnects);
  if (AStatus.LastError.empty()) return line + ", last error: none";
  return line + ", last error " + TimeText(AStatus.LastErrorAt) + ": " + AStatus.LastError;
}

int AskStatus(const std::string& ADataDir, std::ostream& AOut, std::ostream& AErr) {
  int error = 0;
  const TUniqueFd fd = ConnectLocal(ADataDir, STATUS_SOCKET_NAME, error);
  if (!fd.Valid()) {
    if (error == ENOENT || error == ECONNREFUSED) {
      AErr << "Nothing runs on " << ADataDir << "\n";
    } else {
      AErr << "Cannot ask the instance on " << ADataDir << ": " << std::strerror(error) << "\n";
    }
    return EXIT_STATUS_NOT_RUNNING;
  }
  std::string reply;
  std::vector<TPortStatus> statuses;
  const TDeadline deadline(TStatusServer::ANSWER_TIMEOUT_MS + TStatusServer::WRITE_TIMEOUT_MS);
  if (!ReadToEndBefore(fd.Get(), reply, REPLY_LIMIT, deadline) || !ParseStatusReply(reply, statuses)) {
    AErr << "The instance on " << ADataDir << " gave no whole answer\n";
    return EXIT_STATUS_NOT_ALL_WORKING;
  }
  bool allWorking = true;
  for (const TPortStatus& status : statuses) {
    AOut << StatusLine(status) << "\n";
    allWorking = allWorking && status.Working;
  }
  if (statuses.empty()) AOut << "No ports\n";
  return allWorking ? EXIT_STATUS_ALL_WORKING : EXIT_STATUS_NOT_ALL_WORKING;
}

struct TStatusServer::TAnswer {
  TSnapshot Snapshot;
  TWakeEvent Ready;
  std::mutex Lock;
  // Under Lock: the caller asking now, and its reply once the main thread made it.
  uint64_t Asked = 0;
  uint64_t Answered = 0;
  std::string Reply;
};

TStatusServer::TStatusServer(TMainDispatcher& ADispatcher, const std::string& ADataDir, TSnapshot ASnapshot)
    : FDispatcher(ADispatcher),
      FListener(ADataDir, STATUS_SOCKET_NAME, STATUS_SOCKET_MODE),
      FAnswer(std::make_shared<TAnswer>()) {
  FAnswer->Snapshot = std::move(ASnapshot);
  if (FListener.Listening()) FThread = std::thread([this] { Run(); });
}

TStatusServer::~TStatusServer() {
  FStop.Signal();
  if (FThread.joinable()) FThread.join();
}

void TStatusServer::Run() {
  for (;;) {
    if (WaitReadable({FStop.Fd(), FListener.Fd()}, TDeadline::Never()) != 1) return;
    for (TUniqueFd client = FListener.Accept(); client.Valid(); client = FListener.Accept()) {
      Answer(std::move(client));
      if (WaitReadable({FStop.Fd()}, TDeadline(0)) == 0) return;
    }
  }
}

void TStatusServer::Answer(TUniqueFd AClient) {
  uint64_t asked = 0;
  {
    std::lock_guard<std::mutex> guard(FAnswer->Lock);
    asked = ++FAnswer->Asked;
  }
  // Held weakly: a call that runs after the server has gone does nothing.
  FDispatcher.Post([answer = std::weak_ptr<TAnswer>(FAnswer), asked] {
    const std::shared_ptr<TAnswer> shared = answer.lock();
    if (!shared) return;
    std::string reply = StatusReply(shared->Snapshot());
    {
      std::lock_guard<std::mutex> guard(shared->Lock);
      // A caller that gave up is not answered with a later one's reply.
      if (asked != shared->Asked) return;
      shared->Reply = std::move(reply);
      shared->Answered = asked;
    }
    shared->Ready.Signal();
  });
  const TDeadline deadline(ANSWER_TIMEOUT_MS);
  std::string reply;
  while (reply.empty()) {
    if (WaitReadable({FAnswer->Ready.Fd(), FStop.Fd()}, deadline) != 0) return;
    FAnswer->Ready.Drain();
    std::lock_guard<std::mutex> guard(FAnswer->Lock);
    if (FAnswer->Answered == asked) reply = std::move(FAnswer->Reply);
  }
  WriteAllBefore(AClient.Get(), reply, TDeadline(WRITE_TIMEOUT_MS), FStop.Fd());
}

}  // namespace orvane
