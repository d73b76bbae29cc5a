// The window tests show real windows: Qt's own threads are left to Qt.
#include "app/gui/tsan_qt_suppressions.h"
