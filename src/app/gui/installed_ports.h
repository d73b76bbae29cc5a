#pragma once

#include <string>
#include <vector>

namespace orvane {

// The serial ports the editor offers as existing ports and keeps out of the
// list of new virtual names: hardware ports by full path, first their stable
// names in ADevDir/serial/by-id (they survive re-plugging), then the device
// nodes ("/dev/ttyUSB0"); then the virtual ports in APortDir by their link's
// bare name ("COM5"), the name such a port was created with, which the editor
// keeps out of its virtual names but does not offer as a device.
std::vector<std::string> InstalledSerialPorts(const std::string& APortDir,
                                              const std::string& ASysClassTty = "/sys/class/tty",
                                              const std::string& ADevDir = "/dev");

}  // namespace orvane
