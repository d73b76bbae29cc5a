#include "model/lum_port_params.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

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

// The traffic line as it was built before the hex was written in place.
std::string PlainTrafficLine(const std::string& ADirection, const std::string& AData, size_t AMaxShown) {
  std::string hex;
  const size_t shown = std::min(AData.size(), AMaxShown);
  for (size_t i = 0; i < shown; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(static_cast<unsigned char>(AData[i])));
    if (i != 0) hex += ' ';
    hex += pair;
  }
  if (shown < AData.size()) hex += " ... (" + std::to_string(AData.size()) + " bytes)";
  return ADirection + ": [" + std::to_string(AData.size()) + "] " + hex;
}

TEST(TrafficLine, ReadsAsThePlainFormattingForEveryByteAndLength) {
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
  std::string longChunk;
  for (size_t i = 0; i < LOG_HEX_MAX_BYTES + 3; ++i) longChunk += static_cast<char>(i * 37 + 11);
  struct TCase {
    std::string Data;
    size_t MaxShown;
  };
  const TCase cases[] = {
      {"", SIZE_MAX},
      {std::string(1, '\0'), SIZE_MAX},
      {"\x7F\x80", SIZE_MAX},
      {std::string("\xFF\x00\x0A", 3), SIZE_MAX},
      {everyByte, SIZE_MAX},
      {everyByte.substr(0, 250), SIZE_MAX},  // a whole read
      {everyByte.substr(3, 251), SIZE_MAX},  // odd count
      {everyByte, 255},
      {everyByte, 0},
      {longChunk, LOG_HEX_MAX_BYTES},
      {longChunk, SIZE_MAX},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Data.size() << " bytes, shown " << c.MaxShown);
    EXPECT_EQ(TrafficLine("IN", c.Data, c.MaxShown), PlainTrafficLine("IN", c.Data, c.MaxShown));
    // Appended behind a prefix, as a channel's line is built.
    std::string line = "127.0.0.1:4001 ";
    AppendTrafficLine(line, "OUT", c.Data, c.MaxShown);
    EXPECT_EQ(line, "127.0.0.1:4001 " + PlainTrafficLine("OUT", c.Data, c.MaxShown));
    EXPECT_EQ("IN: [" + std::to_string(c.Data.size()) + "] " + BytesToHexCapped(c.Data, c.MaxShown),
              PlainTrafficLine("IN", c.Data, c.MaxShown));
  }
  EXPECT_EQ(BytesToHex(everyByte), PlainTrafficLine("X", everyByte, SIZE_MAX).substr(9));
}

}  // namespace
}  // namespace orvane
