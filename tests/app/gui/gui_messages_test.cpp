#include "app/gui/gui_messages.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QTimer>

namespace orvane {
namespace {

// Every box: the buttons read as the editor's, the title is exactly the given
// one (a plain message takes the program's), and the box is wide enough to
// show its title whole beside the title bar's icon and buttons.
TEST(MessageBoxes, RussianButtonsAndWholeTitles) {
  struct TCase {
    std::string Title;
    QString Shown;
    QMessageBox::StandardButtons Buttons;
  };
  const TCase cases[] = {
      {"Удаление виртуального порта", "Удаление виртуального порта", QMessageBox::Ok | QMessageBox::Cancel},
      {"Закрытие программы", "Закрытие программы", QMessageBox::Ok | QMessageBox::Cancel},
      {"", "Порты MX40L", QMessageBox::Ok},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Title);
    auto box = MakeMessageBox(QMessageBox::Question, c.Title, "Удалить порт COM3 ?", c.Buttons, nullptr);
    EXPECT_EQ(box->windowTitle(), c.Shown);
    EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(box->button(QMessageBox::Ok)->text(), "ОК");
    if (c.Buttons & QMessageBox::Cancel) {
      EXPECT_EQ(box->button(QMessageBox::Cancel)->text(), "Отмена");
    }
    box->show();
    QCoreApplication::processEvents();
    EXPECT_GE(box->width(), box->fontMetrics().horizontalAdvance(c.Shown) + 150);
    box->hide();
  }
}

// Once the program is stopping no box waits for an answer.
TEST(MessageBoxes, NoBoxWhileStopping) {
  TMessageBoxes boxes;
  bool stopping = true;
  boxes.SetStopping([&] { return stopping; });
  // A box that did open would be closed by this after the deadline, and fail.
  bool opened = false;
  QTimer watchdog;
  QObject::connect(&watchdog, &QTimer::timeout, [&] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      opened = true;
      box->close();
    }
  });
  watchdog.start(2000);
  boxes.Show("Загрузка", "текст", TMessageKind::Warning);
  EXPECT_FALSE(
      boxes.Ask("Закрытие программы", "Все равно закрыть программу ?", IGuiMessages::TQuestionIcon::Warning));
  EXPECT_FALSE(opened);
}

}  // namespace
}  // namespace orvane
