#pragma once

#include <ostream>
#include <string>

namespace orvane {

// "--check-config": checks config.cfg of ADataDir by the loader's own rules,
// names taken twice included, and writes each problem to AOut as one line
// ("<file>: <Port> at line N: ..."), then one line that sums it up. Returns
// 0 when the whole file loads, 1 otherwise (a missing file too).
int CheckConfigFile(const std::string& ADataDir, std::ostream& AOut);

}  // namespace orvane
