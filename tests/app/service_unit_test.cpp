// The systemd unit the project ships: what the service needs of it, and what
// systemd itself says of it where systemd-analyze is installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "headless_process.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

const std::string UNIT = ORVANE_SOURCE_DIR "/packaging/orvane.service";

// The [Service] settings of the unit; a key given more than once has all its values.
std::multimap<std::string, std::string> ServiceSettings() {
  std::multimap<std::string, std::string> settings;
  std::ifstream file(UNIT);
  std::string line;
  std::string section;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      section = line;
      continue;
    }
    const size_t equals = line.find('=');
    if (section == "[Service]" && equals != std::string::npos)
      settings.emplace(line.substr(0, equals), line.substr(equals + 1));
  }
  return settings;
}

std::string AllOf(const std::multimap<std::string, std::string>& ASettings, const std::string& AKey) {
  std::string values;
  for (auto [at, end] = ASettings.equal_range(AKey); at != end; ++at) values += at->second + " ";
  return values;
}

std::vector<std::string> Words(const std::string& AText) {
  std::istringstream in(AText);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

TEST(ServiceUnit, GivesTheServiceWhatItNeeds) {
  const auto settings = ServiceSettings();
  ASSERT_FALSE(settings.empty()) << UNIT;
  const struct {
    const char* Key;
    const char* Part;  // a part of the key's values
  } needs[] = {
      {"Type", "notify"},
      // A reload is a hang-up, which reads config.cfg again.
      {"ExecReload", "-HUP $MAINPID"},
      {"SupplementaryGroups", "dialout"},
      {"RuntimeDirectory", "orvane"},
      {"RuntimeDirectoryPreserve", "yes"},
      {"StateDirectory", "orvane"},
      {"ProtectSystem", "strict"},
      {"ReadWritePaths", "/var/lib/orvane"},
      {"ReadWritePaths", "/run/orvane"},
      {"NoNewPrivileges", "yes"},
      {"DevicePolicy", "closed"},
      {"DeviceAllow", "/dev/ptmx rw"},
      {"DeviceAllow", "char-pts rw"},
      {"DeviceAllow", "char-ttyS rw"},
      {"DeviceAllow", "char-ttyUSB rw"},
      {"DeviceAllow", "char-ttyACM rw"},
      {"SystemCallFilter", "@system-service"},
      // Each pty is given the ports' group.
      {"SystemCallFilter", "@chown"},
  };
  for (const auto& need : needs)
    EXPECT_NE(AllOf(settings, need.Key).find(need.Part), std::string::npos) << need.Key << "=" << need.Part;
  EXPECT_NE(AllOf(settings, "User"), "root ") << "the service runs as its own user";
  // About five descriptors per port: 1000 ports must fit.
  EXPECT_GE(std::stol(AllOf(settings, "LimitNOFILE")), 5000);

  // The program takes the unit's command line as it is.
  const std::vector<std::string> exec = Words(AllOf(settings, "ExecStart"));
  ASSERT_GE(exec.size(), 2u);
  const TCommandLine cmd = ParseCommandLine({exec.begin() + 1, exec.end()});
  EXPECT_EQ(cmd.Error, "");
  EXPECT_TRUE(cmd.Headless);
  EXPECT_EQ(cmd.PortDir, "/run/orvane");
  EXPECT_EQ(cmd.DataDir, "/var/lib/orvane");
  EXPECT_EQ(cmd.PortGroup, "dialout");
}

// systemd-analyze on a copy whose ExecStart is this build's program (verify
// wants it to exist).
TEST(ServiceUnit, SystemdFindsNothingAmissAndRatesTheExposureBelow3) {
  if (::access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "no systemd-analyze here";
  test::TTempDir dir;
  std::string text = test::ReadFile(UNIT);
  const std::string installed = "/usr/local/bin/orvane";
  ASSERT_NE(text.find("ExecStart=" + installed), std::string::npos);
  text.replace(text.find("ExecStart=" + installed) + 10, installed.size(), ORVANE_EXECUTABLE);
  const std::string copy = dir.Str() + "/orvane.service";
  std::ofstream(copy) << text;

  auto run = [](const std::vector<std::string>& AArgs, std::string& AOutput) {
    test::TChildProcess analyze(AArgs, {.In = false, .Out = true, .Err = true});
    int status = -1;
    std::string out;
    std::string err;
    const bool ended = analyze.Wait(status, std::chrono::seconds(60));
    test::ReadAvailable(analyze.Out(), out);
    test::ReadAvailable(analyze.Err(), err);
    AOutput = out + err;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string output;
  EXPECT_EQ(run({"systemd-analyze", "verify", copy}, output), 0) << output;
  EXPECT_EQ(output, "");

  ASSERT_EQ(run({"systemd-analyze", "security", "--offline=true", copy}, output), 0) << output;
  const std::string overall = "Overall exposure level for orvane.service: ";
  const size_t at = output.find(overall);
  ASSERT_NE(at, std::string::npos) << output;
  const double exposure = std::stod(output.substr(at + overall.size()));
  EXPECT_LT(exposure, 3.0) << output;
}

}  // namespace
}  // namespace orvane
