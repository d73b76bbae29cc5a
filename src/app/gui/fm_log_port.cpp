#include "app/gui/fm_log_port.h"

#include <algorithm>

#include <QAction>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QToolBar>

#include "app/gui/gui_text.h"
#include "app/gui/icons.h"

namespace orvane {

TfmLogPort::TfmLogPort(TPortLogLines& ALines, QWidget* AParent) : QWidget(AParent), FLines(ALines) {
  mmLog = new QPlainTextEdit(this);
  mmLog->setReadOnly(true);
  mmLog->setLineWrapMode(QPlainTextEdit::NoWrap);
  mmLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mmLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mmLog->setContextMenuPolicy(Qt::ActionsContextMenu);

  auto MakeAction = [this](TActionIcon AIcon, const char* AText, bool ACheckable) {
    auto* Action = new QAction(ActionIcon(AIcon), Text(AText), this);
    Action->setToolTip(Action->text());
    Action->setCheckable(ACheckable);
    return Action;
  };
  actClear = MakeAction(TActionIcon::Clear, "Очистить", false);
  actStop = MakeAction(TActionIcon::Stop, "Остановить", true);
  actFollowLast = MakeAction(TActionIcon::FollowLast, "Прокручивать в конец", true);
  actFollowLast->setChecked(FFollowLast);

  auto* Tools = new QToolBar(this);
  Tools->setOrientation(Qt::Vertical);
  Tools->setToolButtonStyle(Qt::ToolButtonIconOnly);
  for (QAction* Action : {actClear, actStop, actFollowLast}) {
    Tools->addAction(Action);
    mmLog->addAction(Action);
  }

  auto* Layout = new QHBoxLayout(this);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->setSpacing(0);
  Layout->addWidget(mmLog, 1);
  Layout->addWidget(Tools);

  connect(actClear, &QAction::triggered, mmLog, &QPlainTextEdit::clear);
  connect(actStop, &QAction::toggled, this, [this](bool AOn) { FLines.SetStopLog(AOn); });
  connect(actFollowLast, &QAction::toggled, this, [this](bool AOn) { SetFollowLast(AOn); });
}

TfmLogPort::~TfmLogPort() = default;

bool TfmLogPort::StopLog() const {
  return FLines.StopLog();
}

void TfmLogPort::SetFollowLast(bool AValue) {
  FFollowLast = AValue;
  if (FFollowLast) {
    mmLog->verticalScrollBar()->setValue(mmLog->verticalScrollBar()->maximum());
  }
}

void TfmLogPort::ShowLogLine(const std::string& ALine) {
  QScrollBar* Bar = mmLog->verticalScrollBar();
  const int Top = Bar->value();
  mmLog->setUpdatesEnabled(false);
  QTextCursor Cursor(mmLog->document());
  Cursor.beginEditBlock();
  Cursor.movePosition(QTextCursor::End);
  if (!mmLog->document()->isEmpty()) {
    Cursor.insertBlock();
  }
  Cursor.insertText(QString::fromStdString(TPortLogLines::ShownLine(ALine)));
  // Trim from the top so the box never holds more than MAX_LINES lines.
  const int Extra = mmLog->document()->blockCount() - MAX_LINES;
  if (Extra > 0) {
    Cursor.movePosition(QTextCursor::Start);
    Cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, Extra);
    Cursor.removeSelectedText();
  }
  Cursor.endEditBlock();
  if (FFollowLast) {
    Bar->setValue(Bar->maximum());
  } else {
    // Keep the same lines in view: the lines above moved up by the ones removed.
    Bar->setValue(std::max(0, Top - std::max(0, Extra)));
  }
  mmLog->setUpdatesEnabled(true);
}

}  // namespace orvane
