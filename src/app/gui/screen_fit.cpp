#include "app/gui/screen_fit.h"

#include <QGuiApplication>
#include <QMargins>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace orvane {

namespace {

// A frame not drawn yet is taken as a common window manager's: borders and a
// title bar.
constexpr QMargins ASSUMED_FRAME{4, 30, 4, 4};

}  // namespace

void FitOnScreen(QWidget& AWindow, QSize ADesigned) {
  const QScreen* screen = AWindow.screen() ? AWindow.screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) {
    AWindow.resize(ADesigned);
    return;
  }
  const QRect area = screen->availableGeometry();
  const QRect frame = AWindow.frameGeometry();
  const QRect client = AWindow.geometry();
  QMargins margins(client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
                   frame.bottom() - client.bottom());
  if (!AWindow.testAttribute(Qt::WA_WState_Created) || margins.isNull()) margins = ASSUMED_FRAME;
  const QSize room(area.width() - margins.left() - margins.right(),
                   area.height() - margins.top() - margins.bottom());
  const QSize least = AWindow.minimumSizeHint().expandedTo(AWindow.minimumSize());
  const QSize size = ADesigned.boundedTo(room).expandedTo(least);
  AWindow.resize(size);
  const int outerWidth = size.width() + margins.left() + margins.right();
  const int outerHeight = size.height() + margins.top() + margins.bottom();
  const int left = area.left() + std::max(0, (area.width() - outerWidth) / 2);
  const int top = area.top() + std::max(0, (area.height() - outerHeight) / 2);
  // move() places the frame's top left corner.
  AWindow.move(left, top);
}

}  // namespace orvane
