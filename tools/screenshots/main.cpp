// The program's window with pictures taken of it for the documentation; kept
// out of the shipped program. Usage: ORVANE_SCREENSHOTS=DIR orvane_screenshots
// [the program's switches].

#include <QString>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/gui/gui_main.h"
#include "screenshots.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const orvane::TCommandLine cmd = orvane::ParseCommandLine(args);
  const char* dir = std::getenv("ORVANE_SCREENSHOTS");
  if (!cmd.Error.empty() || dir == nullptr || *dir == '\0') {
    std::cerr << "usage: ORVANE_SCREENSHOTS=DIR " << (argc > 0 ? argv[0] : "orvane_screenshots")
              << " [switches of the program]\n";
    return 2;
  }
  const QString shots = QString::fromLocal8Bit(dir);
  return orvane::RunGui(argc, argv, cmd, -1,
                        [shots](orvane::TfrmMain& AWindow, orvane::TfrmAddComPort& AEditor) {
                          orvane::TakeScreenshots(AWindow, AEditor, shots);
                        });
}
