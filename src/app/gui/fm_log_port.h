#pragma once

#include <QWidget>
#include <deque>
#include <string>

#include "log/port_log_lines.h"

class QAction;
class QPlainTextEdit;

namespace orvane {

// One port's log view: the lines of a port's TPortLogLines shown in a text box
// that keeps the last MAX_LINES lines, with "Очистить", "Остановить" and
// "Прокручивать в конец" on a tool bar and a pop-up menu. The window places
// it in its log area while the port is selected.
// Lines reach the box in one edit per pass of the event loop, without undo
// history; a view that is not shown only keeps the last MAX_LINES of them
// until it is shown again.
// The lines belong to the port host and outlive the view's use of them.
// Threads: the main thread; the port's lines reach it through ShowLogLine.
class TfmLogPort : public QWidget {
  Q_OBJECT

 public:
  static constexpr int MAX_LINES = 500;
  // A traffic line holds every byte in hex: thousands of characters per read
  // at full speed. The box shows the start of a longer line and " ..." (the
  // file keeps it whole), so that laying the lines out keeps pace with the
  // traffic.
  static constexpr size_t MAX_SHOWN_BYTES = 1000;
  // ALine cut to MAX_SHOWN_BYTES at a character's start, " ..." behind.
  static std::string ShownPart(const std::string& ALine);

  explicit TfmLogPort(TPortLogLines& ALines, QWidget* AParent = nullptr);
  ~TfmLogPort() override;

  TPortLogLines& Lines() const { return FLines; }
  // Queues one shown line ("(ComName) text"), the time of day in front; it
  // reaches the box at the next pass of the event loop while the view is shown.
  void ShowLogLine(const std::string& ALine);

  bool StopLog() const;
  bool FollowLast() const { return FFollowLast; }

  QPlainTextEdit* mmLog = nullptr;
  QAction* actClear = nullptr;
  QAction* actStop = nullptr;
  QAction* actFollowLast = nullptr;

 protected:
  void showEvent(QShowEvent* AEvent) override;

 private:
  void PostAppend();
  void AppendPending();
  void Clear();
  void SetFollowLast(bool AValue);

  bool FFollowLast = true;
  TPortLogLines& FLines;
  // Shown lines (time of day in front) not yet in the box; the oldest go
  // first once more than MAX_LINES wait.
  std::deque<std::string> FPending;
  bool FAppendPosted = false;
};

}  // namespace orvane
