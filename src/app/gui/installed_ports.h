#pragma once

#include <string>
#include <vector>

namespace orvane {

// The serial ports the editor offers as existing ports and keeps out of the
// list of new virtual names: hardware ports as device paths ("/dev/ttyUSB0"),
// then the virtual ports in APortDir by their link's name ("COM5"), which is
// the name such a port was created with. Names keep their letter case, as the
// ports are opened by.
std::vector<std::string> InstalledSerialPorts(const std::string& APortDir,
                                              const std::string& ASysClassTty = "/sys/class/tty",
                                              const std::string& ADevDir = "/dev");

}  // namespace orvane
