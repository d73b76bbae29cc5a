#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "ports/port_manager.h"

namespace orvane {

// Where the lines of a port go.
struct TLogLinesOutput {
  // The log file (TLumLog::WriteLine); called from any thread.
  std::function<void(const std::string& ALine)> WriteFile;
  // Shows a line (main thread only): the "(%s) %s" text; ShownLine puts the
  // time of day in front. The headless mode prints it, the window appends it.
  std::function<void(const std::string& ALine)> ShowLine;
  // True once the application is ending: lines are then dropped entirely.
  std::function<bool()> Ending;
};

// The line handling of one port's log view, without widgets: the single sink of
// the bridge's lines, the channel's lines and, for a virtual port, the driver
// port's events. Every line goes to the log file as "(ComName) text"; lines
// that are not debug lines are also shown unless "Остановить" is on. For a
// virtual port it also reads the bytes the application wrote (OnRxChar) and
// hands them to the bridge, and forwards the speed and line settings the
// application sets to the port (which tells the channel unless its settings
// are fixed): a virtual port moves data towards the
// network only while its lines object exists.
// It must outlive its port's bridge (it is not disconnected when destroyed).
// Threads: construction and the driver events on the main thread; AddLogLine
// and AddChannelLine from any thread (a worker waits only while
// MAX_PENDING_LINES lines are queued for the view);
// FStopLog is atomic.
class TPortLogLines : public IPortLog {
 public:
  // Lines queued for the view beyond which a writer waits for the main thread.
  static constexpr size_t MAX_PENDING_LINES = 1024;

  TPortLogLines(TPortManager& APort, TLogLinesOutput AOutput);
  // Calls still queued for the main thread find the lines gone and do nothing.
  ~TPortLogLines() override;
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
  void ConnectDriverEvents(TLumVirtualPort& APort);
  void ShowLogLine(const std::string& ALine);
  void QueueShownLine(std::string ALine);
  bool Ending() const { return FOutput.Ending && FOutput.Ending(); }

  // The bridge, taken once: the manager is not looked at again from a worker.
  TLumVirtualPort* const FVirtualPort;
  TLumRealPort* const FRealPort;
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
