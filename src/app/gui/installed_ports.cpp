#include "app/gui/installed_ports.h"

#include <filesystem>

#include "platform/serial_port_list.h"

namespace orvane {

std::vector<std::string> InstalledSerialPorts(const std::string& APortDir, const std::string& ASysClassTty,
                                              const std::string& ADevDir) {
  // Two listings, each with the other folder left empty (an unreadable folder
  // adds nothing): with the port directory at /dev a link and a hardware node
  // share a folder, and only the listing tells them apart.
  std::vector<std::string> ports = ListSerialPorts("", ASysClassTty, ADevDir);
  for (const std::string& link : ListSerialPorts(APortDir, "", ADevDir))
    ports.push_back(std::filesystem::path(link).filename().string());
  return ports;
}

}  // namespace orvane
