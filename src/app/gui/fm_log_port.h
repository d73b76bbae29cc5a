#pragma once

#include <QWidget>
#include <deque>
#include <memory>
#include <string>

#include "log/port_log_lines.h"

class QAction;
class QPlainTextEdit;

namespace orvane {

// One port's log view: the line handling of TPortLogLines shown in a text box
// that keeps the last MAX_LINES lines, with "Очистить", "Остановить" and
// "Прокручивать в конец" on a tool bar and a pop-up menu. The window places
// it in its log area while the port is selected.
// Lines reach the box in one edit per pass of the event loop, without undo
// history; a view that is not shown only keeps the last MAX_LINES of them
// until it is shown again.
// It must outlive its port's bridge (the sources are not disconnected).
// Threads: the main thread; the port's lines reach it through TPortLogLines.
class TfmLogPort : public QWidget {
  Q_OBJECT

 public:
  static constexpr int MAX_LINES = 500;

  ~TfmLogPort() override;

  // What the port manager's Log is set to.
  IPortLog* Lines() const;

  bool StopLog() const;
  bool FollowLast() const { return FFollowLast; }

  QPlainTextEdit* mmLog = nullptr;
  QAction* actClear = nullptr;
  QAction* actStop = nullptr;
  QAction* actFollowLast = nullptr;

 protected:
  void showEvent(QShowEvent* AEvent) override;
  // AOutput gives the log file and the ending flag; the view shows the lines.
  TfmLogPort(TPortManager& APort, TLogLinesOutput AOutput, QWidget* AParent);

 private:
  void ShowLogLine(const std::string& ALine);
  void PostAppend();
  void AppendPending();
  void Clear();
  void SetFollowLast(bool AValue);

  bool FFollowLast = true;
  // Shown lines (time of day in front) not yet in the box; the oldest go
  // first once more than MAX_LINES wait.
  std::deque<std::string> FPending;
  bool FAppendPosted = false;
  std::unique_ptr<TPortLogLines> FLines;
};

// The view of a virtual port: also handles the driver port's events.
class TfmLogVirtPort : public TfmLogPort {
  Q_OBJECT

 public:
  TfmLogVirtPort(TPortManager& AVirtualPort, TLogLinesOutput AOutput, QWidget* AParent = nullptr);
};

// The view of a physical port.
class TfmLogRealPort : public TfmLogPort {
  Q_OBJECT

 public:
  TfmLogRealPort(TPortManager& ARealPort, TLogLinesOutput AOutput, QWidget* AParent = nullptr);
};

}  // namespace orvane
