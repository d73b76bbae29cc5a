#include "app/command_line.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace orvane
