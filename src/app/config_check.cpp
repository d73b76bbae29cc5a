#include "app/config_check.h"

#include <set>

#include "app/port_host.h"
#include "model/config_file.h"
#include "platform/printable_text.h"

namespace orvane {

int CheckConfigFile(const std::string& ADataDir, std::ostream& AOut) {
  const std::string file = ConfigFileName(ADataDir);
  std::set<std::string> names;
  // The same refusal the port host gives a name that comes twice.
  const TConfigCheck check = CheckConfig(ADataDir, [&names](const TLumPortParams& APortParams) {
    return names.insert(APortParams.ComName).second ? std::string() : NameTakenText(APortParams.ComName);
  });
  if (!check.Found) {
    AOut << file << ": not found\n";
    return 1;
  }
  // The problems quote the file's own texts: they must not forge lines of their own.
  for (const std::string& problem : check.Problems) AOut << file << ": " << PrintableText(problem) << "\n";
  AOut << file << ": " << names.size() << (names.size() == 1 ? " port" : " ports") << ", "
       << (check.Clean() ? "loads whole" : std::to_string(check.Problems.size()) + " problems") << "\n";
  return check.Clean() ? 0 : 1;
}

}  // namespace orvane
