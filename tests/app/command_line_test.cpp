#include "app/command_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"

namespace orvane {
namespace {

TEST(ParseCommandLine, SwitchesInAnyCaseAfterSlashOrHyphen) {
  EXPECT_TRUE(ParseCommandLine({"/I"}).SkipInstanceGuard);
  EXPECT_TRUE(ParseCommandLine({"-i"}).SkipInstanceGuard);
  EXPECT_TRUE(ParseCommandLine({"/debug_window"}).DebugWindow);
  // DEBUG_WINDOW counts only after a slash.
  EXPECT_FALSE(ParseCommandLine({"-DEBUG_WINDOW"}).DebugWindow);
  EXPECT_FALSE(ParseCommandLine({"/X"}).SkipInstanceGuard);
}

TEST(ParseCommandLine, LongOptions) {
  const auto cmd = ParseCommandLine({"--headless", "--data-dir", "/tmp/a", "--port-dir", "/tmp/b"});
  EXPECT_TRUE(cmd.Headless);
  EXPECT_EQ(cmd.DataDir, "/tmp/a");
  EXPECT_EQ(cmd.PortDir, "/tmp/b");
  EXPECT_TRUE(cmd.Error.empty());
  EXPECT_FALSE(ParseCommandLine({"--data-dir"}).Error.empty());
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
