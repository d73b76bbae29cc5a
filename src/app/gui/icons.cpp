#include "app/gui/icons.h"

// Placeholder until the pictures land: plain coloured squares.
namespace orvane {

namespace {

QPixmap Square(Qt::GlobalColor AColor, int ASize) {
  QPixmap pixmap(ASize, ASize);
  pixmap.fill(AColor);
  return pixmap;
}

}  // namespace

QPixmap StateImage(TStateImage AImage, int ASize) {
  const bool ok = AImage == TStateImage::PortWorking || AImage == TStateImage::AllWorking;
  return Square(ok ? Qt::green : Qt::red, ASize);
}

QIcon StateIcon(TStateImage AImage) {
  return QIcon(StateImage(AImage, 24));
}

QIcon ActionIcon(TActionIcon) {
  return QIcon(Square(Qt::gray, 32));
}

QIcon ProgramIcon() {
  return QIcon(Square(Qt::blue, 32));
}

QIcon TrayBlinkIcon(int APhase) {
  return QIcon(Square(APhase == 0 ? Qt::red : Qt::blue, 32));
}

}  // namespace orvane
