#include "platform/serial_port_list.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

namespace orvane {

std::string StripRealPortSuffix(const std::string& AComName) {
  std::string result;
  result.reserve(AComName.size());
  for (size_t i = 0; i < AComName.size();) {
    if (i + 3 <= AComName.size() && AComName[i] == '(' &&
        (AComName[i + 1] == 'r' || AComName[i + 1] == 'R') && AComName[i + 2] == ')') {
      i += 3;
    } else {
      result += AComName[i++];
    }
  }
  return result;
}

bool IsPtySlavePath(const std::string& APath) {
  constexpr std::string_view PTS_PREFIX = "/dev/pts/";
  return APath.size() > PTS_PREFIX.size() && APath.compare(0, PTS_PREFIX.size(), PTS_PREFIX) == 0 &&
         APath.find_first_not_of("0123456789", PTS_PREFIX.size()) == std::string::npos;
}

std::vector<std::string> ListSerialPorts(const std::string& APortDir, const std::string& ASysClassTty,
                                         const std::string& ADevDir) {
  namespace fs = std::filesystem;
  std::error_code error;
  std::vector<std::string> hardware;
  for (fs::directory_iterator it(ASysClassTty, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    const std::string name = it->path().filename().string();
    // Legacy UART slots without a chip behind them report the port type 0 (unknown).
    std::ifstream type(it->path() / "type");
    int portType = -1;
    if (type >> portType && portType == 0) continue;
    if (fs::exists(it->path() / "device", ignored) && fs::exists(fs::path(ADevDir) / name, ignored))
      hardware.push_back((fs::path(ADevDir) / name).string());
  }
  std::sort(hardware.begin(), hardware.end());

  std::vector<std::string> links;
  error.clear();
  for (fs::directory_iterator it(APortDir, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    if (!it->is_symlink(ignored)) continue;
    const std::string target = fs::read_symlink(it->path(), ignored).string();
    // Only links to a pty slave, not /dev/pts/ptmx and the like.
    if (!ignored && IsPtySlavePath(target)) links.push_back(it->path().string());
  }
  std::sort(links.begin(), links.end());
  hardware.insert(hardware.end(), links.begin(), links.end());
  return hardware;
}

}  // namespace orvane
