#include "app/command_line.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace orvane {

namespace {

std::string Upper(std::string AText) {
  std::transform(AText.begin(), AText.end(), AText.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return AText;
}

}  // namespace

std::string ParsePortMode(const std::string& AText, uint32_t& AMode) {
  const bool octal =
      !AText.empty() && AText.size() <= 4 && AText.find_first_not_of("01234567") == std::string::npos;
  if (!octal) return "--port-mode " + AText + ": not an octal mode from 0 to 0777 (e.g. 0660)";
  const uint32_t mode = static_cast<uint32_t>(std::stoul(AText, nullptr, 8));
  if (mode > 0777) return "--port-mode " + AText + ": only the permission bits (up to 0777) may be given";
  if (mode & 0002)
    return "--port-mode " + AText +
           ": other users could write to the ports; give their group with --port-group instead";
  AMode = mode;
  return {};
}

TCommandLine ParseCommandLine(const std::vector<std::string>& AArgs) {
  TCommandLine result;
  for (size_t i = 0; i < AArgs.size() && result.Error.empty(); ++i) {
    const std::string& arg = AArgs[i];
    auto takeValue = [&](std::string& ATarget) {
      if (i + 1 >= AArgs.size()) {
        result.Error = "missing value after " + arg;
        return false;
      }
      ATarget = AArgs[++i];
      return true;
    };
    std::string mode;
    if (arg == "--data-dir") {
      takeValue(result.DataDir);
    } else if (arg == "--port-dir") {
      takeValue(result.PortDir);
    } else if (arg == "--port-group") {
      if (takeValue(result.PortGroup) && result.PortGroup.empty())
        result.Error = "--port-group: empty group name";
    } else if (arg == "--port-mode") {
      uint32_t value = 0;
      if (takeValue(mode)) result.Error = ParsePortMode(mode, value);
      if (result.Error.empty()) result.PortMode = value;
    } else if (arg == "--traffic") {
      result.Traffic = true;
    } else if (arg == "--check-config") {
      result.CheckConfig = true;
    } else if (arg == "--status") {
      result.Status = true;
    } else if (arg == "--headless") {
      result.Headless = true;
    } else if (arg == "--version") {
      result.ShowVersion = true;
    } else if (arg == "--help" || arg == "-h") {
      result.ShowHelp = true;
    } else if (arg.size() > 1 && (arg[0] == '/' || arg[0] == '-')) {
      // A mistyped switch must not silently start something else (the window
      // instead of the service, say).
      const std::string name = Upper(arg.substr(1));
      if (name == "I") {
        result.SkipInstanceGuard = true;
      } else if (name == "DEBUG_WINDOW" && arg[0] == '/') {
        result.DebugWindow = true;
      } else {
        result.Error = "unknown switch: " + arg;
      }
    } else {
      result.Error = "unexpected argument: " + arg;
    }
  }
  const bool runs = result.Headless || !result.PortDir.empty() || !result.PortGroup.empty() ||
                    result.PortMode || result.Traffic || result.SkipInstanceGuard || result.DebugWindow;
  if (result.Error.empty() && result.CheckConfig && result.Status)
    result.Error = "--check-config and --status are asked one at a time";
  if (result.Error.empty() && (result.CheckConfig || result.Status) && runs)
    result.Error = std::string(result.Status ? "--status" : "--check-config") +
                   " takes no switch but --data-dir: it asks, it does not run the ports";
  if (result.Error.empty() && !result.Headless && (!result.PortGroup.empty() || result.PortMode))
    result.Error =
        "--port-group and --port-mode are for the service (--headless); the window's ports are its user's";
  if (result.Error.empty() && !result.Headless && result.Traffic)
    result.Error = "--traffic is for the service (--headless); the window shows traffic in its log views";
  return result;
}

std::string DataDirectory(const TCommandLine& ACmd, const std::string& AExeFileName) {
  if (!ACmd.DataDir.empty()) return ACmd.DataDir;
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::weakly_canonical(AExeFileName, ec);
  return (ec ? std::filesystem::path(AExeFileName) : exe).parent_path().string();
}

std::string ProgramVersion() {
  return ORVANE_VERSION;
}

std::string UsageText(const std::string& AProgramName) {
  return "Usage: " + AProgramName +
         " [/I] [/DEBUG_WINDOW] [--headless] [--data-dir DIR] [--port-dir DIR]\n"
         "       [--port-group NAME] [--port-mode OCTAL] [--traffic] [--version] [--help]\n"
         "       " +
         AProgramName +
         " --check-config | --status [--data-dir DIR]\n"
         "  /I, -I          do not check for a running instance\n"
         "  /DEBUG_WINDOW   send the MQTT packet trace to the debug trace socket\n"
         "  (no switch)     open the window with the ports of config.cfg\n"
         "  --headless      run without windows (service mode)\n"
         "  --data-dir DIR  folder of config.cfg and log.txt (default: the executable's folder)\n"
         "  --port-dir DIR  folder of the virtual port links (default: /dev, else "
         "~/.local/share/orvane/ports)\n"
         "  --port-group NAME  service: group of the ports (as root default: dialout)\n"
         "  --port-mode OCTAL  service: mode of the ports (as root default: 0660, else 0600);\n"
         "                  a mode giving other users write access is refused\n"
         "  --traffic       service: also show the traffic lines (log.txt always has them)\n"
         "  --check-config  tell every problem of config.cfg with its line; exit code 0 when\n"
         "                  the whole file loads, 1 otherwise\n"
         "  --status        ask the instance running on the data directory for the state of\n"
         "                  each port; exit code 0 when every port works, 1 otherwise,\n"
         "                  3 when nothing runs there\n"
         "  (SIGHUP makes the service read config.cfg again: unchanged ports run on)\n";
}

}  // namespace orvane
