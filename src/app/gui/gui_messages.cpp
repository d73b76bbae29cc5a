#include "app/gui/gui_messages.h"

#include <QApplication>
#include <QMessageBox>

#include "app/gui/gui_text.h"

namespace orvane {

namespace {

QMessageBox::Icon IconOf(TMessageKind AKind) {
  switch (AKind) {
    case TMessageKind::Plain: return QMessageBox::NoIcon;
    case TMessageKind::Information: return QMessageBox::Information;
    case TMessageKind::Warning: return QMessageBox::Warning;
  }
  return QMessageBox::NoIcon;
}

QString TitleOr(const std::string& ATitle) {
  // A plain message carries the program's name, as a box without a title would.
  return ATitle.empty() ? QApplication::applicationDisplayName() : QString::fromStdString(ATitle);
}

// Texts keep the CR LF line breaks of the program's messages; a box breaks
// its lines at LF alone.
QString BoxText(const std::string& AText) {
  return LfLines(QString::fromStdString(AText));
}

}  // namespace

void TMessageBoxes::Show(const std::string& ATitle, const std::string& AText, TMessageKind AKind) {
  QMessageBox box(IconOf(AKind), TitleOr(ATitle), BoxText(AText), QMessageBox::Ok, FParent);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

bool TMessageBoxes::Ask(const std::string& ATitle, const std::string& AText, TQuestionIcon AIcon) {
  QMessageBox box(AIcon == TQuestionIcon::Question ? QMessageBox::Question : QMessageBox::Warning,
                  TitleOr(ATitle), BoxText(AText), QMessageBox::Ok | QMessageBox::Cancel, FParent);
  box.setWindowModality(Qt::ApplicationModal);
  box.setDefaultButton(QMessageBox::Ok);
  return box.exec() == QMessageBox::Ok;
}

}  // namespace orvane
