#include "model/lum_port_params.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(TLumPortParams, InitSetsDefaultsAndKeepsTunnelMode) {
  TLumPortParams p;
  p.ComName = "COM9";
  p.RealPortTunnelMode = true;
  p.MqttSecurityKey = 77;
  p.SendPause = 0;
  p.Init();
  EXPECT_EQ(p.ComName, "");
  EXPECT_EQ(p.IpAddress, "127.0.0.1");
  EXPECT_EQ(p.PortNumber, 0);
  EXPECT_EQ(p.Protocol, "Сквозной режим");
  EXPECT_EQ(p.RealPortBaudRate, br9600);
  EXPECT_EQ(p.RealPortBitData, dbEight);
  EXPECT_EQ(p.RealPortParityBits, TParityBits::None);
  EXPECT_EQ(p.RealPortStopBits, TStopBits::One);
  EXPECT_TRUE(p.RealPortTunnelMode);
  EXPECT_EQ(p.MqttHost, "127.0.0.1");
  EXPECT_EQ(p.MqttTopic, "/simpletopic");
  EXPECT_EQ(p.MqttUserName, "user");
  EXPECT_EQ(p.MqttPassword, "");
  EXPECT_EQ(p.MqttSecurityKey, 0u);
  EXPECT_EQ(p.SendPause, 10u);
}

TEST(TLumPortParams, NewRecordHasTunnelModeOff) {
  TLumPortParams p;
  p.Init();
  EXPECT_FALSE(p.RealPortTunnelMode);
}

struct LineBreakCase {
  uint8_t direction;
  std::string input;
  std::string expected;
};

TEST(ConvertLineBreaks, Table) {
  const LineBreakCase cases[] = {
      {1, "a\r\nb", "a~b"},
      {1, "a\rb", "a\rb"},  // lone CR stays
      {1, "a\nb", "a\nb"},  // lone LF stays
      {1, "ab\r", "ab\r"},  // trailing CR stays
      {1, "x~y", "x~y"},    // typed tilde is not escaped
      {1, "\r\n\r\n", "~~"},
      {1, "\r\r\n", "\r~"},
      {0, "x~y", "x\r\ny"},  // typed tilde comes back as a line break
      {0, "~", "\r\n"},
      {0, "plain", "plain"},
      {2, "a\r\nb~", "a\r\nb~"},  // unknown direction: unchanged
      {255, "~", "~"},
      {1, "", ""},
      {0, "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ConvertLineBreaks(c.direction, c.input), c.expected)
        << "direction " << int(c.direction) << " input '" << c.input << "'";
  }
}

TEST(BytesToHex, Table) {
  EXPECT_EQ(BytesToHex(""), "");
  EXPECT_EQ(BytesToHex(std::string("\xFF", 1)), "FF");
  EXPECT_EQ(BytesToHex(std::string("\x00\x34\x0A", 3)), "00 34 0A");
  EXPECT_EQ(BytesToHex(std::string("\xab\xcd", 2)), "AB CD");
}

TEST(BytesToHexCapped, ShowsAtMostTheCapAndGivesTheFullCount) {
  EXPECT_EQ(BytesToHexCapped("", 2), "");
  EXPECT_EQ(BytesToHexCapped("AB", 2), "41 42");
  EXPECT_EQ(BytesToHexCapped("ABC", 2), "41 42 ... (3 bytes)");
  EXPECT_EQ(BytesToHexCapped("ABC", 0), " ... (3 bytes)");
  // The default cap keeps one line of a multi-megabyte block small.
  const std::string block(8 << 20, '\x5A');
  const std::string line = BytesToHexCapped(block);
  EXPECT_EQ(line.size(), LOG_HEX_MAX_BYTES * 3 - 1 + std::string(" ... (8388608 bytes)").size());
  EXPECT_EQ(line.substr(line.size() - 25), "5A 5A ... (8388608 bytes)");
}

}  // namespace
}  // namespace orvane
