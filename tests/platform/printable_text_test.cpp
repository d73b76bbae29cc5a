#include "platform/printable_text.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane {
namespace {

TEST(PrintableText, ControlBytesAreWrittenOutAndTheRestStays) {
  const struct {
    std::string In;
    std::string Out;
  } cases[] = {
      {"", ""},
      {"127.0.0.1", "127.0.0.1"},
      {"a\r\nFORGED", "a\\r\\nFORGED"},
      {std::string("\0\t\x1B\x1F", 4), "\\x00\\x09\\x1B\\x1F"},
      {"\x7F", "\\x7F"},
      {" ~\\", " ~\\"},                      // printable ASCII, the backslash included
      {"Сквозной режим", "Сквозной режим"},  // 8-bit text stays as it is
  };
  for (const auto& c : cases) EXPECT_EQ(PrintableText(c.In), c.Out) << c.Out;
}

}  // namespace
}  // namespace orvane
