#pragma once

#include <QIcon>
#include <QPixmap>

namespace orvane {

// The pictures of the window, drawn for this program as SVG and compiled into
// the executable (icons/icons.qrc).

// The state image list: 0 port working, 1 port not working, 2 all ports
// working (status bar), 3 some ports not working (status bar).
enum class TStateImage { PortWorking = 0, PortDown = 1, AllWorking = 2, SomeDown = 3 };
QPixmap StateImage(TStateImage AImage, int ASize = 24);
QIcon StateIcon(TStateImage AImage);

enum class TActionIcon { AddPort, DeletePort, EditPort, Clear, Stop, FollowLast };
QIcon ActionIcon(TActionIcon AIcon);

// The program's icon (window, plain tray icon) and the two icons the tray
// alternates between while a port is down (APhase 0 or 1).
QIcon ProgramIcon();
QIcon TrayBlinkIcon(int APhase);

}  // namespace orvane
