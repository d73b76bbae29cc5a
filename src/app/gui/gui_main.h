#pragma once

#include "app/command_line.h"

namespace orvane {

// The program with its window: the version record, the single-instance guard
// (unless "/I"), the log file with its banner, the editor dialog, the "Light"
// style and the main window, then the event loop until the window closes.
// A second instance tells the first one and ends at once, touching neither the
// log, the configuration nor any port. Returns the exit code.
int RunGui(int& AArgc, char** AArgv, const TCommandLine& ACommand);

}  // namespace orvane
