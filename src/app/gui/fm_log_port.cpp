#include "app/gui/fm_log_port.h"

#include <QAction>
#include <QPlainTextEdit>
#include <QVBoxLayout>

// Placeholder until the log view lands: a plain text box.
namespace orvane {

TfmLogPort::TfmLogPort(TPortManager& APort, TLogLinesOutput AOutput, QWidget* AParent) : QWidget(AParent) {
  mmLog = new QPlainTextEdit(this);
  mmLog->setReadOnly(true);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(mmLog);
  actClear = new QAction(QString::fromUtf8("Очистить"), this);
  actStop = new QAction(QString::fromUtf8("Остановить"), this);
  actFollowLast = new QAction(QString::fromUtf8("Прокручивать в конец"), this);
  AOutput.ShowLine = [this](const std::string& ALine) { ShowLogLine(ALine); };
  FLines = std::make_unique<TPortLogLines>(APort, std::move(AOutput));
}

TfmLogPort::~TfmLogPort() = default;

IPortLog* TfmLogPort::Lines() const {
  return FLines.get();
}

bool TfmLogPort::StopLog() const {
  return FLines->StopLog();
}

void TfmLogPort::ShowLogLine(const std::string& ALine) {
  mmLog->appendPlainText(QString::fromStdString(TPortLogLines::ShownLine(ALine)));
}

TfmLogVirtPort::TfmLogVirtPort(TPortManager& AVirtualPort, TLogLinesOutput AOutput, QWidget* AParent)
    : TfmLogPort(AVirtualPort, std::move(AOutput), AParent) {}

TfmLogRealPort::TfmLogRealPort(TPortManager& ARealPort, TLogLinesOutput AOutput, QWidget* AParent)
    : TfmLogPort(ARealPort, std::move(AOutput), AParent) {}

}  // namespace orvane
