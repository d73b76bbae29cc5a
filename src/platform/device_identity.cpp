#include "platform/device_identity.h"

#include <sys/stat.h>

namespace orvane {

bool ReadDeviceIdentity(const std::string& APath, TDeviceIdentity& AIdentity) {
  struct stat info {};
  if (::stat(APath.c_str(), &info) != 0) return false;
  AIdentity.Device = static_cast<uint64_t>(info.st_dev);
  AIdentity.Inode = static_cast<uint64_t>(info.st_ino);
  AIdentity.Rdev = static_cast<uint64_t>(info.st_rdev);
  return true;
}

}  // namespace orvane
