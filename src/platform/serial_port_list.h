#pragma once

#include <string>
#include <vector>

namespace orvane {

// The device name within a physical port's ComName: every "(r)" removed, in
// any letter case ("COM3(r)", "ttyUSB0(R)" → "COM3", "ttyUSB0").
std::string StripRealPortSuffix(const std::string& AComName);

// A path of a pty slave, "/dev/pts/<number>": where a virtual port link points.
bool IsPtySlavePath(const std::string& APath);

// Serial ports installed on this machine, as device paths, sorted: the /dev
// nodes of the ttys in ASysClassTty that have a device behind them (real
// hardware, not virtual consoles, ptys or empty UART slots), then the virtual port links (links
// into /dev/pts) in APortDir. An unreadable folder adds nothing.
std::vector<std::string> ListSerialPorts(const std::string& APortDir,
                                         const std::string& ASysClassTty = "/sys/class/tty",
                                         const std::string& ADevDir = "/dev");

}  // namespace orvane
