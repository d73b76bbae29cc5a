#pragma once

#include <QString>

namespace orvane {

class TfrmAddComPort;
class TfrmMain;

// Pictures for the documentation, saved into ADir: once the ports have
// settled, the main window with its first port's log, then the editor on each
// of its pages, shown without a modal loop; then the program ends.
void TakeScreenshots(TfrmMain& AWindow, TfrmAddComPort& AEditor, const QString& ADir);

}  // namespace orvane
