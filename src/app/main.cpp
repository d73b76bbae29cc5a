#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/ver_info_res.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const orvane::TCommandLine cmd = orvane::ParseCommandLine(args);
  const std::string name = argc > 0 ? argv[0] : "orvane";
  if (!cmd.Error.empty()) {
    std::cerr << cmd.Error << "\n" << orvane::UsageText(name);
    return 2;
  }
  // The version shown is the record the executable carries, as start-up reads it.
  std::string version;
  try {
    version = orvane::TVerInfoRes("/proc/self/exe").FileVersion();
  } catch (const std::exception& e) {
    version = orvane::ProgramVersion() + " (" + e.what() + ")";
  }
  std::cout << "orvane " << version << "\n";
  if (cmd.ShowVersion) return 0;
  // The port bridges are not wired into the program yet: it only reports its
  // version and switches.
  std::cout << orvane::UsageText(name);
  return 0;
}
