#pragma once

#include <cstdint>
#include <string>

namespace orvane {

// Which device node a path leads to right now. A process that holds a serial
// device open cannot tell from its descriptor alone that the adapter was pulled
// out: the node vanishes, and a re-plugged adapter gets a fresh node (a new
// inode) even under the same name. Comparing identities taken at open and later
// tells both apart from a device that is still there.
struct TDeviceIdentity {
  uint64_t Device = 0;  // file system of the node
  uint64_t Inode = 0;
  uint64_t Rdev = 0;  // the device the node stands for

  bool operator==(const TDeviceIdentity&) const = default;
};

// Follows links. False when the path leads nowhere now.
bool ReadDeviceIdentity(const std::string& APath, TDeviceIdentity& AIdentity);

}  // namespace orvane
