#pragma once

#include <QWidget>
#include <string>

#include "log/port_log_lines.h"

class QAction;
class QPlainTextEdit;

namespace orvane {

// One port's log view: the lines of a port's TPortLogLines shown in a text box
// that keeps the last MAX_LINES lines, with "Очистить", "Остановить" and
// "Прокручивать в конец" on a tool bar and a pop-up menu. The window places
// it in its log area while the port is selected.
// The lines belong to the port host and outlive the view's use of them.
// Threads: the main thread; the port's lines reach it through ShowLogLine.
class TfmLogPort : public QWidget {
  Q_OBJECT

 public:
  static constexpr int MAX_LINES = 500;

  explicit TfmLogPort(TPortLogLines& ALines, QWidget* AParent = nullptr);
  ~TfmLogPort() override;

  TPortLogLines& Lines() const { return FLines; }
  // Appends one shown line ("(ComName) text"), the time of day in front.
  void ShowLogLine(const std::string& ALine);

  bool StopLog() const;
  bool FollowLast() const { return FFollowLast; }

  QPlainTextEdit* mmLog = nullptr;
  QAction* actClear = nullptr;
  QAction* actStop = nullptr;
  QAction* actFollowLast = nullptr;

 private:
  void SetFollowLast(bool AValue);

  bool FFollowLast = true;
  TPortLogLines& FLines;
};

}  // namespace orvane
