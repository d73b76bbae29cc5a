#pragma once

#include <functional>

#include "app/command_line.h"

namespace orvane {

// The program with its window: the version record, the single-instance guard
// and the data directory's lock (both unless "/I"), the log file with its banner, the editor dialog, the
// "Light" style and the main window, then the event loop until the window closes. A second instance tells the
// first one and ends at once, touching neither the log, the configuration nor any port; so does a start on a
// data directory that the service mode holds, after telling the user (exit code EXIT_DATA_DIR_HELD). Returns
// the exit code.
// AStopFd (-1: none) turns readable on SIGINT or SIGTERM: the program then ends
// in the same order without asking, with exit code 0 (or the refusal's code
// when the signal comes while a refusal is shown).
class TfrmAddComPort;
class TfrmMain;

// Runs once the window is shown, before the event loop (the screenshot tool's pictures).
using TWindowShown = std::function<void(TfrmMain& AWindow, TfrmAddComPort& AEditor)>;

int RunGui(int& AArgc, char** AArgv, const TCommandLine& ACommand, int AStopFd = -1,
           const TWindowShown& AOnShown = {});

}  // namespace orvane
