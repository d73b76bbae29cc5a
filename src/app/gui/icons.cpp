#include "app/gui/icons.h"

#include <QPainter>
#include <QString>
#include <QSvgRenderer>

// Resource initialisation lives outside the namespace: the macro declares a
// global function.
static void InitIconResources() {
  Q_INIT_RESOURCE(icons);
}

namespace orvane {

namespace {

void EnsureResources() {
  static const bool DONE = [] {
    InitIconResources();
    return true;
  }();
  (void)DONE;
}

QPixmap Render(const char* AName, int ASize) {
  EnsureResources();
  QPixmap Pixmap(ASize, ASize);
  Pixmap.fill(Qt::transparent);
  QSvgRenderer Renderer(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(AName)));
  QPainter Painter(&Pixmap);
  Painter.setRenderHint(QPainter::Antialiasing);
  Renderer.render(&Painter);
  return Pixmap;
}

// Sharp at the sizes the window uses: the status list (16, 24), tool bars (32)
// and the tray (up to 64).
QIcon RenderIcon(const char* AName) {
  QIcon Icon;
  for (int Size : {16, 24, 32, 48, 64}) {
    Icon.addPixmap(Render(AName, Size));
  }
  return Icon;
}

const char* StateName(TStateImage AImage) {
  switch (AImage) {
    case TStateImage::PortWorking: return "port_working";
    case TStateImage::PortDown: return "port_down";
    case TStateImage::AllWorking: return "all_working";
    case TStateImage::SomeDown: return "some_down";
  }
  return "port_down";
}

const char* ActionName(TActionIcon AIcon) {
  switch (AIcon) {
    case TActionIcon::AddPort: return "add_port";
    case TActionIcon::DeletePort: return "delete_port";
    case TActionIcon::EditPort: return "edit_port";
    case TActionIcon::Clear: return "clear";
    case TActionIcon::Stop: return "stop";
    case TActionIcon::FollowLast: return "follow_last";
  }
  return "clear";
}

}  // namespace

QPixmap StateImage(TStateImage AImage, int ASize) {
  return Render(StateName(AImage), ASize);
}

QIcon StateIcon(TStateImage AImage) {
  return RenderIcon(StateName(AImage));
}

QIcon ActionIcon(TActionIcon AIcon) {
  return RenderIcon(ActionName(AIcon));
}

QIcon ProgramIcon() {
  return RenderIcon("program");
}

QIcon TrayBlinkIcon(int APhase) {
  return RenderIcon(APhase == 0 ? "tray_blink0" : "tray_blink1");
}

}  // namespace orvane
