#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

// Switches of the program. "I" and "DEBUG_WINDOW" may follow "/" or "-" in any
// letter case; our own long options use "--".
struct TCommandLine {
  bool SkipInstanceGuard = false;    // "I"
  bool DebugWindow = false;          // "DEBUG_WINDOW"
  bool Headless = false;             // --headless
  bool ShowVersion = false;          // --version
  bool ShowHelp = false;             // --help
  std::string DataDir;               // --data-dir DIR
  std::string PortDir;               // --port-dir DIR
  std::string PortGroup;             // --port-group NAME
  std::optional<uint32_t> PortMode;  // --port-mode OCTAL
  bool Traffic = false;              // --traffic
  bool CheckConfig = false;          // --check-config
  bool Status = false;               // --status
  std::string Error;                 // empty when the line parsed
};

// The permission bits of "--port-mode" (octal, e.g. 0660) into AMode. A mode
// that lets other users write is refused: they could put bytes on every line.
// Returns the reason when the text is refused, empty otherwise.
std::string ParsePortMode(const std::string& AText, uint32_t& AMode);

TCommandLine ParseCommandLine(const std::vector<std::string>& AArgs);

// The folder of config.cfg and the log: --data-dir when given, else the folder
// of the executable AExeFileName (with links resolved, so /proc/self/exe works).
std::string DataDirectory(const TCommandLine& ACmd, const std::string& AExeFileName);

std::string ProgramVersion();
std::string UsageText(const std::string& AProgramName);

}  // namespace orvane
