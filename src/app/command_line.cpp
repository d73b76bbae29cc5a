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

TCommandLine ParseCommandLine(const std::vector<std::string>& AArgs) {
  TCommandLine result;
  for (size_t i = 0; i < AArgs.size(); ++i) {
    const std::string& arg = AArgs[i];
    auto takeValue = [&](std::string& ATarget) {
      if (i + 1 >= AArgs.size()) {
        result.Error = "missing value after " + arg;
        return;
      }
      ATarget = AArgs[++i];
    };
    if (arg == "--data-dir") {
      takeValue(result.DataDir);
    } else if (arg == "--port-dir") {
      takeValue(result.PortDir);
    } else if (arg == "--headless") {
      result.Headless = true;
    } else if (arg == "--version") {
      result.ShowVersion = true;
    } else if (arg == "--help" || arg == "-h") {
      result.ShowHelp = true;
    } else if (arg.size() > 1 && (arg[0] == '/' || arg[0] == '-')) {
      const std::string name = Upper(arg.substr(1));
      if (name == "I") {
        result.SkipInstanceGuard = true;
      } else if (name == "DEBUG_WINDOW" && arg[0] == '/') {
        result.DebugWindow = true;
      }
      // Other switches are ignored, as the program always did.
    }
    if (!result.Error.empty()) break;
  }
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
         " [/I] [/DEBUG_WINDOW] [--headless] [--data-dir DIR] [--port-dir DIR] [--version] [--help]\n"
         "  /I, -I          do not check for a running instance\n"
         "  /DEBUG_WINDOW   send the MQTT packet trace to the debug trace socket\n"
         "  (no switch)     open the window with the ports of config.cfg\n"
         "  --headless      run without windows (service mode)\n"
         "  --data-dir DIR  folder of config.cfg and log.txt (default: the executable's folder)\n"
         "  --port-dir DIR  folder of the virtual port links (default: /dev, else "
         "~/.local/share/orvane/ports)\n";
}

}  // namespace orvane
