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
  // An undo step per edit would keep every line ever shown.
  mmLog->setUndoRedoEnabled(false);
  mmLog->setLineWrapMode(QPlainTextEdit::NoWrap);
  mmLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mmLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mmLog->setContextMenuPolicy(Qt::ActionsContextMenu);
  // Log lines are plain text: laying them out glyph by glyph, without shaping,
  // keeps a flood of lines cheap.
  QFont LogFont = mmLog->font();
  LogFont.setStyleStrategy(QFont::PreferNoShaping);
  mmLog->setFont(LogFont);

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

  connect(actClear, &QAction::triggered, this, [this] { Clear(); });
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

std::string TfmLogPort::ShownPart(const std::string& ALine) {
  if (ALine.size() <= MAX_SHOWN_BYTES) return ALine;
  size_t end = MAX_SHOWN_BYTES;
  // Not inside a character of several bytes.
  while (end > 0 && (static_cast<unsigned char>(ALine[end]) & 0xC0) == 0x80) --end;
  return ALine.substr(0, end) + " ...";
}

void TfmLogPort::ShowLogLine(const std::string& ALine) {
  FPending.push_back(TPortLogLines::ShownLine(ShownPart(ALine)));
  if (FPending.size() > MAX_LINES) FPending.pop_front();
  PostAppend();
}

void TfmLogPort::PostAppend() {
  // A hidden view appends when it is shown again.
  if (FAppendPosted || FPending.empty() || !isVisible()) return;
  FAppendPosted = true;
  QMetaObject::invokeMethod(
      this, [this] { AppendPending(); }, Qt::QueuedConnection);
}

void TfmLogPort::showEvent(QShowEvent* AEvent) {
  QWidget::showEvent(AEvent);
  PostAppend();
}

void TfmLogPort::Clear() {
  FPending.clear();
  mmLog->clear();
}

void TfmLogPort::AppendPending() {
  FAppendPosted = false;
  if (FPending.empty() || !isVisible()) return;
  QString text;
  for (const std::string& line : FPending) {
    if (!text.isEmpty()) text += QChar::ParagraphSeparator;
    text += QString::fromStdString(line);
  }
  FPending.clear();

  QScrollBar* Bar = mmLog->verticalScrollBar();
  const int Top = Bar->value();
  mmLog->setUpdatesEnabled(false);
  QTextCursor Cursor(mmLog->document());
  Cursor.beginEditBlock();
  Cursor.movePosition(QTextCursor::End);
  if (!mmLog->document()->isEmpty()) {
    Cursor.insertBlock();
  }
  Cursor.insertText(text);
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
