#include "app/gui/gui_messages.h"

#include <QApplication>
#include <QGridLayout>
#include <QPushButton>
#include <QSpacerItem>
#include <iostream>

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
  return ATitle.empty() ? Text(PROGRAM_TITLE) : QString::fromStdString(ATitle);
}

// Texts keep the CR LF line breaks of the program's messages; a box breaks
// its lines at LF alone.
QString BoxText(const std::string& AText) {
  return LfLines(QString::fromStdString(AText));
}

// Room a title bar takes besides the title: the icon and three buttons. The
// title font is the window manager's, commonly bold and somewhat larger.
constexpr int TITLE_BAR_ROOM = 150;
constexpr double TITLE_FONT_FACTOR = 1.2;

}  // namespace

std::unique_ptr<QMessageBox> MakeMessageBox(QMessageBox::Icon AIcon, const std::string& ATitle,
                                            const std::string& AText, QMessageBox::StandardButtons AButtons,
                                            QWidget* AParent) {
  auto box = std::make_unique<QMessageBox>(AIcon, TitleOr(ATitle), BoxText(AText), AButtons, AParent);
  box->setWindowModality(Qt::ApplicationModal);
  if (QAbstractButton* ok = box->button(QMessageBox::Ok)) ok->setText(Text("ОК"));
  if (QAbstractButton* cancel = box->button(QMessageBox::Cancel)) cancel->setText(Text("Отмена"));
  // A box sizes itself by its text; a wider row keeps a long title whole.
  if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
    const int title =
        static_cast<int>(box->fontMetrics().horizontalAdvance(box->windowTitle()) * TITLE_FONT_FACTOR);
    grid->addItem(new QSpacerItem(title + TITLE_BAR_ROOM, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  return box;
}

void TMessageBoxes::Show(const std::string& ATitle, const std::string& AText, TMessageKind AKind) {
  // Also for a start from a terminal, where the box may be out of sight.
  std::cerr << AText << std::endl;
  ShowBox(ATitle, AText, AKind);
}

void TMessageBoxes::ShowBox(const std::string& ATitle, const std::string& AText, TMessageKind AKind) {
  if (Stopping()) return;
  MakeMessageBox(IconOf(AKind), ATitle, AText, QMessageBox::Ok, FParent)->exec();
}

bool TMessageBoxes::Ask(const std::string& ATitle, const std::string& AText, TQuestionIcon AIcon) {
  if (Stopping()) return false;
  auto box = MakeMessageBox(AIcon == TQuestionIcon::Question ? QMessageBox::Question : QMessageBox::Warning,
                            ATitle, AText, QMessageBox::Ok | QMessageBox::Cancel, FParent);
  box->setDefaultButton(QMessageBox::Ok);
  return box->exec() == QMessageBox::Ok;
}

}  // namespace orvane
