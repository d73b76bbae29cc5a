#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/main_dispatcher.h"

namespace orvane {

// Where the lines of a port go.
struct TLogLinesOutput {
  // The log file (TLumLog::WriteLine); called from any thread.
  std::function<void(const std::string& ALine)> WriteFile;
  // Shows a line (main thread only, unless ShowOnAnyThread): the "(%s) %s"
  // text; ShownLine puts the time of day in front. The headless mode prints
  // it, the window appends it.
  std::function<void(const std::string& ALine)> ShowLine;
  // ShowLine may run on any thread (an output that batches lines itself): a
  // line is shown by the thread that adds it, never queued for the main thread.
  bool ShowOnAnyThread = false;
  // True once the application is ending: lines are then dropped entirely.
  std::function<bool()> Ending;
};

// The line handling of one port's log view, without widgets: the single sink of
// the port's lines (its bridge's, its driver's events) and its channel's lines,
// which the port's owner connects here. Every line goes to the log file as
// "(ComName) text"; lines that are not debug lines are also shown unless
// "Остановить" is on.
// It must outlive the port whose lines it takes (it is not disconnected when destroyed).
// Threads: construction on the main thread; AddLogLine and AddChannelLine
// from any thread (a worker waits only while MAX_PENDING_LINES lines are
// queued for the view); FStopLog is atomic.
class TPortLogLines {
 public:
  // Lines queued for the view beyond which a writer waits for the main thread.
  static constexpr size_t MAX_PENDING_LINES = 1024;

  // AChannelPrefix goes in front of channel lines ("<IpAddress>:<PortNumber> ",
  // the address already escaped).
  TPortLogLines(TMainDispatcher& ADispatcher, std::string AComName, std::string AChannelPrefix,
                TLogLinesOutput AOutput);
  // Calls still queued for the main thread find the lines gone and do nothing.
  ~TPortLogLines();
  TPortLogLines(const TPortLogLines&) = delete;
  TPortLogLines& operator=(const TPortLogLines&) = delete;

  void AddLogLine(const std::string& AMessage, bool ADebug);
  // A channel line: "<IpAddress>:<PortNumber> " in front.
  void AddChannelLine(const std::string& AMessage, bool ADebug);

  // "Остановить": while on, no line is shown; the file still gets every one.
  bool StopLog() const { return FStopLog; }
  void SetStopLog(bool AValue) { FStopLog = AValue; }

  // A shown line: "[%s] %s" with the local time of day (hh:mm:ss) in front.
  static std::string ShownLine(const std::string& ALine);
  static std::string ShownLine(const std::string& ATimeOfDay, const std::string& ALine);

 private:
  // "(ComName) " + APrefix + AMessage to the file and, unless ADebug, to the view.
  void AddLine(std::string_view APrefix, const std::string& AMessage, bool ADebug);
  void ShowLogLine(const std::string& ALine);
  void QueueShownLine(std::string ALine);
  bool Ending() const { return FOutput.Ending && FOutput.Ending(); }

  TMainDispatcher& FDispatcher;
  const TLogLinesOutput FOutput;
  const std::string FComName;
  const std::string FChannelPrefix;
  std::atomic<bool> FStopLog{false};

  // Lines waiting for the main thread. Shared with the posted calls, which
  // run on the main thread and look at Alive (main thread only) first.
  struct TPending {
    std::mutex Lock;
    std::deque<std::string> Lines;
    bool DrainPosted = false;
    bool Alive = true;
    // Main thread only: a line raised while lines are being shown joins the
    // running drain instead of overtaking the ones still to show.
    bool Draining = false;
  };
  // Main thread: shows every queued line in order.
  void DrainPending();
  const std::shared_ptr<TPending> FPending = std::make_shared<TPending>();
};

}  // namespace orvane
