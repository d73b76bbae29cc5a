#include "app/gui/installed_ports.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/serial_port_list.h"

namespace orvane {

namespace {

// The stable names udev gives serial devices, as links; an unreadable folder adds nothing.
std::vector<std::string> StableNames(const std::filesystem::path& AByIdDir) {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(AByIdDir, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    if (it->is_symlink(ignored)) names.push_back(it->path().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<std::string> InstalledSerialPorts(const std::string& APortDir, const std::string& ASysClassTty,
                                              const std::string& ADevDir) {
  std::vector<std::string> ports = StableNames(std::filesystem::path(ADevDir) / "serial" / "by-id");
  // Two listings, each with the other folder left empty (an unreadable folder
  // adds nothing): with the port directory at /dev a link and a hardware node
  // share a folder, and only the listing tells them apart.
  for (const std::string& node : ListSerialPorts("", ASysClassTty, ADevDir)) ports.push_back(node);
  for (const std::string& link : ListSerialPorts(APortDir, "", ADevDir))
    ports.push_back(std::filesystem::path(link).filename().string());
  return ports;
}

}  // namespace orvane
