#pragma once

#include <string>
#include <vector>

namespace orvane {

// Switches of the program. "I" and "DEBUG_WINDOW" may follow "/" or "-" in any
// letter case; our own long options use "--".
struct TCommandLine {
  bool SkipInstanceGuard = false;  // "I"
  bool DebugWindow = false;        // "DEBUG_WINDOW"
  bool Headless = false;           // --headless
  bool ShowVersion = false;        // --version
  bool ShowHelp = false;           // --help
  std::string DataDir;             // --data-dir DIR
  std::string PortDir;             // --port-dir DIR
  std::string Error;               // empty when the line parsed
};

TCommandLine ParseCommandLine(const std::vector<std::string>& AArgs);

// The folder of config.cfg and the log: --data-dir when given, else the folder
// of the executable AExeFileName (with links resolved, so /proc/self/exe works).
std::string DataDirectory(const TCommandLine& ACmd, const std::string& AExeFileName);

std::string ProgramVersion();
std::string UsageText(const std::string& AProgramName);

}  // namespace orvane
