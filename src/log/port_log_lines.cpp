#include "log/port_log_lines.h"

#include <ctime>
#include <utility>

#include "platform/printable_text.h"

namespace orvane {

TPortLogLines::TPortLogLines(TMainDispatcher& ADispatcher, std::string AComName, std::string AChannelPrefix,
                             TLogLinesOutput AOutput)
    : FDispatcher(ADispatcher),
      FOutput(std::move(AOutput)),
      // The name is the configuration's text: escaped, so it cannot forge a line.
      FComName(PrintableText(AComName)),
      FChannelPrefix(std::move(AChannelPrefix)) {}

std::string TPortLogLines::ShownLine(const std::string& ATimeOfDay, const std::string& ALine) {
  return "[" + ATimeOfDay + "] " + ALine;
}

std::string TPortLogLines::ShownLine(const std::string& ALine) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return ShownLine(text, ALine);
}

void TPortLogLines::AddLogLine(const std::string& AMessage, bool ADebug) {
  AddLine({}, AMessage, ADebug);
}

void TPortLogLines::AddLine(std::string_view APrefix, const std::string& AMessage, bool ADebug) {
  if (Ending()) return;
  // Built in one string: a traffic line is long, and a port may write thousands a second.
  std::string line;
  line.reserve(FComName.size() + 3 + APrefix.size() + AMessage.size());
  line += '(';
  line += FComName;
  line += ") ";
  line += APrefix;
  line += AMessage;
  if (FOutput.WriteFile) FOutput.WriteFile(line);
  if (FStopLog || ADebug) return;
  if (FOutput.ShowOnAnyThread) {
    ShowLogLine(line);
    return;
  }
  QueueShownLine(std::move(line));
}

TPortLogLines::~TPortLogLines() {
  const std::lock_guard<std::mutex> guard(FPending->Lock);
  FPending->Alive = false;
  FPending->Lines.clear();
}

void TPortLogLines::QueueShownLine(std::string ALine) {
  bool post = false;
  bool full = false;
  {
    const std::lock_guard<std::mutex> guard(FPending->Lock);
    FPending->Lines.push_back(std::move(ALine));
    full = FPending->Lines.size() >= MAX_PENDING_LINES;
    if (!FPending->DrainPosted) post = FPending->DrainPosted = true;
  }
  // On the main thread the queue is emptied at once, behind the lines before it.
  if (FDispatcher.IsMainThread()) {
    DrainPending();
    return;
  }
  if (post) {
    FDispatcher.Post([this, pending = FPending] {
      if (pending->Alive) DrainPending();
    });
  }
  // A slow main thread holds the writer back instead of growing the queue.
  if (full) FDispatcher.Send([this] { DrainPending(); });
}

void TPortLogLines::DrainPending() {
  if (FPending->Draining) return;
  FPending->Draining = true;
  // A view that throws must not leave the queue stuck behind this flag.
  struct TDrainEnd {
    TPending& Pending;
    ~TDrainEnd() { Pending.Draining = false; }
  } drainEnd{*FPending};
  for (;;) {
    std::deque<std::string> lines;
    {
      const std::lock_guard<std::mutex> guard(FPending->Lock);
      if (FPending->Lines.empty()) {
        FPending->DrainPosted = false;
        return;
      }
      lines.swap(FPending->Lines);
    }
    for (const std::string& line : lines) ShowLogLine(line);
  }
}

void TPortLogLines::AddChannelLine(const std::string& AMessage, bool ADebug) {
  AddLine(FChannelPrefix, AMessage, ADebug);
}

void TPortLogLines::ShowLogLine(const std::string& ALine) {
  if (Ending()) return;
  if (FOutput.ShowLine) FOutput.ShowLine(ALine);
}

}  // namespace orvane
