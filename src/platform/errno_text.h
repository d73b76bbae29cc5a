#pragma once

#include <cerrno>
#include <cstring>
#include <string>

namespace orvane {

// "<what>: <system's text for the error>", for the LastError of ports.
inline std::string ErrnoText(const std::string& AWhat, int AError = errno) {
  return AWhat + ": " + std::strerror(AError);
}

}  // namespace orvane
