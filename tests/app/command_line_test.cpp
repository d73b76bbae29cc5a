#include "app/command_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "headless_process.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

TEST(ParseCommandLine, SwitchesInAnyCaseAfterSlashOrHyphen) {
  EXPECT_TRUE(ParseCommandLine({"/I"}).SkipInstanceGuard);
  EXPECT_TRUE(ParseCommandLine({"-i"}).SkipInstanceGuard);
  EXPECT_TRUE(ParseCommandLine({"/debug_window"}).DebugWindow);
  EXPECT_TRUE(ParseCommandLine({"/I", "/DEBUG_WINDOW", "--headless"}).Error.empty());
}

TEST(ParseCommandLine, RefusesWhatItDoesNotKnow) {
  // Each line is refused with a reason naming the culprit; none starts anything.
  const struct {
    std::vector<std::string> Args;
    std::string Reason;
  } cases[] = {
      {{"--bogus"}, "unknown switch: --bogus"},
      {{"--headles"}, "unknown switch: --headles"},
      {{"--headless", "--traffics"}, "unknown switch: --traffics"},
      // DEBUG_WINDOW counts only after a slash.
      {{"-DEBUG_WINDOW"}, "unknown switch: -DEBUG_WINDOW"},
      {{"/X"}, "unknown switch: /X"},
      {{"-"}, "unexpected argument: -"},
      {{"config.cfg"}, "unexpected argument: config.cfg"},
      {{"--data-dir"}, "missing value after --data-dir"},
      {{"--headless", "--port-group"}, "missing value after --port-group"},
      {{"--headless", "--port-group", ""}, "empty group name"},
      {{"--headless", "--port-mode", "0666"}, "other users could write"},
      {{"--headless", "--port-mode", "0602"}, "other users could write"},
      {{"--headless", "--port-mode", "660x"}, "not an octal mode"},
      {{"--headless", "--port-mode", "0o660"}, "not an octal mode"},
      {{"--headless", "--port-mode", "4660"}, "only the permission bits"},
      {{"--headless", "--port-mode", "-660"}, "not an octal mode"},
      {{"--headless", "--port-mode", "06600"}, "not an octal mode"},
      // The window's ports are for its desktop user alone.
      {{"--port-group", "dialout"}, "are for the service"},
      {{"--traffic"}, "--traffic is for the service"},
      {{"--port-mode", "0640"}, "are for the service"},
  };
  for (const auto& c : cases) {
    const TCommandLine cmd = ParseCommandLine(c.Args);
    EXPECT_NE(cmd.Error.find(c.Reason), std::string::npos) << c.Args.front() << ": " << cmd.Error;
  }
}

TEST(ParseCommandLine, PortAccessOfTheService) {
  const auto cmd =
      ParseCommandLine({"--headless", "--port-group", "dialout", "--port-mode", "0640", "--traffic"});
  ASSERT_TRUE(cmd.Error.empty()) << cmd.Error;
  EXPECT_EQ(cmd.PortGroup, "dialout");
  EXPECT_EQ(cmd.PortMode, 0640u);
  EXPECT_TRUE(cmd.Traffic);
  // Octal with or without the leading zero; a mode may also take rights away.
  EXPECT_EQ(ParseCommandLine({"--headless", "--port-mode", "660"}).PortMode, 0660u);
  EXPECT_EQ(ParseCommandLine({"--headless", "--port-mode", "0"}).PortMode, 0u);
  EXPECT_EQ(ParseCommandLine({"--headless", "--port-mode", "0664"}).PortMode, 0664u);
  EXPECT_FALSE(ParseCommandLine({"--headless"}).PortMode.has_value());
}

TEST(ParseCommandLine, LongOptions) {
  const auto cmd = ParseCommandLine({"--headless", "--data-dir", "/tmp/a", "--port-dir", "/tmp/b"});
  EXPECT_TRUE(cmd.Headless);
  EXPECT_EQ(cmd.DataDir, "/tmp/a");
  EXPECT_EQ(cmd.PortDir, "/tmp/b");
  EXPECT_TRUE(cmd.Error.empty());
  EXPECT_FALSE(ParseCommandLine({"--data-dir"}).Error.empty());
}

TEST(ParseCommandLine, TheProgramRefusesAMistypedSwitchWithItsUsage) {
  // Without a display the window would abort; a refusal must come first.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--headles"}, {"--bogus", "--headless"}, {"--headless", "--port-mode", "0666"}}) {
    test::TProcess program(args);
    EXPECT_EQ(program.Wait(), 2) << args.front() << ": " << program.ErrText;
    EXPECT_NE(program.ErrText.find("Usage: "), std::string::npos) << program.ErrText;
    EXPECT_EQ(program.OutText, "");
  }
}

TEST(DataDirectory, DataDirSwitchElseTheExecutablesRealFolder) {
  test::TTempDir dir;
  const auto real = dir.Path() / "opt" / "orvane";
  std::filesystem::create_directories(real);
  std::ofstream(real / "orvane") << "binary";
  std::filesystem::create_directories(dir.Path() / "bin");
  std::filesystem::create_symlink(real / "orvane", dir.Path() / "bin" / "orvane");
  const std::string link = (dir.Path() / "bin" / "orvane").string();
  EXPECT_EQ(DataDirectory(ParseCommandLine({}), link), real.string());
  EXPECT_EQ(DataDirectory(ParseCommandLine({"--data-dir", "/var/lib/orvane"}), link), "/var/lib/orvane");
}

}  // namespace
}  // namespace orvane
