#include "channels/ip485_frame.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "model/lum_port_params.h"
#include "support/hex.h"

namespace orvane {
namespace {

std::string Hex(const std::string& AText) {
  return test::HexString(AText);
}

TEST(Ip485Frame, ExtendedFrameOfTheWorkedExample) {
  TIp485FrameHeader header;
  header.NewMode = true;
  header.LineNumber = 1;
  header.TransferMode = Ip485TransferMode(false);
  header.SendPortMode = 0x0006;  // 9600 baud, 8 data bits, no parity, one stop bit
  header.RecvPortMode = 0x0006;
  header.ReadIntervalTimeout = 4;
  const std::string expected =
      Hex("00 34"                                // extended framing
          "01"                                   // line 1
          "07"                                   // transfer mode: no delay between characters
          "00 06"                                // sending port mode
          "00 06"                                // receiving port mode
          "00 04"                                // inter-character interval, ms
          "00 00 00 01 00 00 00 00 FF FF 00 01"  // fixed
          "00 02"                                // payload length
          "41 42");                              // payload
  EXPECT_EQ(BytesToHex(BuildIp485Frame(header, "AB")), BytesToHex(expected));
  EXPECT_EQ(BytesToHex(BuildIp485Ack(true, 1, 7)), "00 34 00 00 01 07 00 01");
}

TEST(Ip485Frame, LegacyFrameCarriesLowBytesOfTheModeWords) {
  TIp485FrameHeader header;
  header.NewMode = false;
  header.LineNumber = 2;
  header.TransferMode = Ip485TransferMode(true);
  header.SendPortMode = 0x0246;
  header.RecvPortMode = 0x0106;
  header.ReadIntervalTimeout = 99;  // not carried by the legacy framing
  const std::string expected =
      Hex("00 31"           // legacy framing
          "02"              // line 2
          "03"              // transfer mode: keep the delay between characters
          "46"              // low byte of the sending port mode
          "06"              // low byte of the receiving port mode
          "00 00 00 00 00"  // fixed
          "C0"              // fixed
          "00 01"           // fixed
          "00 03"           // payload length
          "01 02 03");      // payload
  EXPECT_EQ(BytesToHex(BuildIp485Frame(header, Hex("01 02 03"))), BytesToHex(expected));
  EXPECT_EQ(BytesToHex(BuildIp485Ack(false, 2, 3)), "00 31 00 00 02 03 00 01");
}

TEST(Ip485Frame, LargestPayloadKeepsItsLength) {
  TIp485FrameHeader header;
  const std::string frame = BuildIp485Frame(header, std::string(IP485_MAX_PAYLOAD, 'z'));
  ASSERT_EQ(frame.size(), IP485_EXTENDED_HEADER + IP485_MAX_PAYLOAD);
  EXPECT_EQ(BytesToHex(frame.substr(22, 2)), "FF FF");
}

TEST(Ip485PortMode, SpeedCodes) {
  const std::pair<int32_t, uint8_t> cases[] = {
      {100, 0},     {300, 1},     {600, 2},   {1200, 3},   {2400, 4},   {4800, 5},   {9600, 6},
      {14400, 7},   {19200, 8},   {28800, 9}, {38400, 10}, {56000, 11}, {57600, 12}, {76800, 13},
      {115200, 14}, {230400, 15}, {110, 0},   {128000, 0}, {256000, 0}, {0, 0},      {-9600, 0},
  };
  for (const auto& [speed, code] : cases) EXPECT_EQ(Ip485SpeedCode(speed), code) << speed;
  EXPECT_EQ(Ip485ApplySpeed(0x0046, 115200), 0x004E);
  EXPECT_EQ(Ip485ApplySpeed(0x004E, 110), 0x0040);
}

TEST(Ip485PortMode, LineParams) {
  struct TCase {
    uint16_t Word;
    uint8_t Parity, DataBits, StopBits;
    bool NewMode;
    uint16_t Expected;
  };
  const TCase cases[] = {
      {0x0006, 5, 7, 2, true, 0x02B6},   // even parity, 7 data bits, two stop bits
      {0x0006, 5, 7, 2, false, 0x00B6},  // legacy: stop bits are not written
      {0x0306, 0, 8, 0, false, 0x0306},  // legacy keeps bits 8-9 as they were
      {0x02B6, 0, 8, 0, true, 0x0006},   // everything cleared again
      {0x000E, 4, 5, 1, true, 0x018E},   // 5 data bits count as "not 7"
      {0x0000, 2, 8, 0, true, 0x0040},   // unused parity value stored as given
  };
  for (const auto& c : cases) {
    uint16_t word = c.Word;
    EncodeLineParams(word, c.Parity, c.DataBits, c.StopBits, c.NewMode);
    EXPECT_EQ(word, c.Expected) << std::hex << c.Word << " p" << int(c.Parity) << " d" << int(c.DataBits)
                                << " s" << int(c.StopBits) << " new" << c.NewMode;
  }
}

TEST(Ip485Parse, FrontOfTheBuffer) {
  struct TCase {
    const char* Name;
    std::string Buffer;
    TIp485Parse Result;
    size_t Size;
    std::string Payload;
  };
  const std::string head0 = "00 32 00 00  11 22 33 44 55 66 77 88 ";
  const TCase cases[] = {
      {"empty", "", TIp485Parse::Incomplete, 0, ""},
      {"one zero", Hex("00"), TIp485Parse::Incomplete, 0, ""},
      {"three bytes of a header", Hex("00 32 00"), TIp485Parse::Incomplete, 0, ""},
      {"noise", Hex("41 00 32 00 02 00 00 00 00"), TIp485Parse::NotAFrame, 0, ""},
      {"wrong third byte", Hex("00 32 01 02 00 00 00 00"), TIp485Parse::NotAFrame, 0, ""},
      {"late acknowledgement", Hex("00 34 00 00 01 07 00 01"), TIp485Parse::NotAFrame, 0, ""},
      {"unknown type 5", Hex("00 32 00 05 00 00 00 00 00 00 00 00 00 00"), TIp485Parse::NotAFrame, 0, ""},
      {"data frame, type 0", Hex(head0 + "00 03 41 42 43 99"), TIp485Parse::Frame, 17, "ABC"},
      {"data frame, type 1", Hex("00 32 00 01 00 00 00 00 00 00 00 00 00 01 5A"), TIp485Parse::Frame, 15,
       "Z"},
      {"data frame, empty payload", Hex(head0 + "00 00"), TIp485Parse::Frame, 14, ""},
      {"payload not all there", Hex(head0 + "00 03 41 42"), TIp485Parse::Incomplete, 0, ""},
      {"length not there", Hex("00 32 00 00 11 22 33 44 55 66 77 88 00"), TIp485Parse::Incomplete, 0, ""},
      {"length beyond the buffer", Hex(head0 + "FF FF 41"), TIp485Parse::Incomplete, 0, ""},
      {"short frame, type 2", Hex("00 32 00 02 AA BB CC DD 41"), TIp485Parse::Frame, 8, ""},
      {"short frame, type 3", Hex("00 32 00 03 AA BB CC DD"), TIp485Parse::Frame, 8, ""},
      {"short frame cut short", Hex("00 32 00 03 AA BB CC"), TIp485Parse::Incomplete, 0, ""},
  };
  for (const auto& c : cases) {
    size_t size = 12345;  // sentinels: only a found frame writes the outputs
    std::string_view payload = "sentinel";
    EXPECT_EQ(ParseFrame(c.Buffer, size, payload), c.Result) << c.Name;
    if (c.Result == TIp485Parse::Frame) {
      EXPECT_EQ(size, c.Size) << c.Name;
      EXPECT_EQ(payload, c.Payload) << c.Name;
    } else {
      EXPECT_EQ(size, 12345u) << c.Name;
      EXPECT_EQ(payload, "sentinel") << c.Name;
    }
  }
}

TEST(Ip485Cut, WholeFramesAreCutAndTheRestWaits) {
  // Two data frames, a type-2 frame and the start of a third data frame.
  std::string buffer =
      Hex("00 32 00 00 00 00 00 00 00 00 00 00 00 02 41 42"
          "00 32 00 01 00 00 00 00 00 00 00 00 00 01 43"
          "00 32 00 02 00 00 00 00"
          "00 32 00 00 00 00 00 00 00 00 00 00 00 03 44");
  std::string out;
  TIp485Parse stopped = TIp485Parse::Frame;
  EXPECT_TRUE(CutIp485Frames(buffer, out, &stopped));
  EXPECT_EQ(out, "ABC");
  EXPECT_EQ(stopped, TIp485Parse::Incomplete);
  EXPECT_EQ(BytesToHex(buffer), "00 32 00 00 00 00 00 00 00 00 00 00 00 03 44");

  // The rest arrives in two pieces.
  buffer += Hex("45");
  out.clear();
  EXPECT_FALSE(CutIp485Frames(buffer, out));
  buffer += Hex("46 00 32");
  EXPECT_TRUE(CutIp485Frames(buffer, out, &stopped));
  EXPECT_EQ(out, "DEF");
  EXPECT_EQ(BytesToHex(buffer), "00 32");
}

TEST(Ip485Cut, FrameArrivingByteByByte) {
  const std::string frame = Hex("00 32 00 00 11 22 33 44 55 66 77 88 00 03 01 02 03");
  std::string buffer, out;
  for (size_t i = 0; i + 1 < frame.size(); ++i) {
    buffer += frame[i];
    EXPECT_FALSE(CutIp485Frames(buffer, out)) << i;
  }
  buffer += frame.back();
  EXPECT_TRUE(CutIp485Frames(buffer, out));
  EXPECT_EQ(BytesToHex(out), "01 02 03");
  EXPECT_TRUE(buffer.empty());
}

// A stream of frames of all four types, cut at random places, gives the payloads in order
// no matter how it is split.
TEST(Ip485Cut, AnySplitOfAStreamGivesThePayloadsInOrder) {
  std::mt19937 random(12345);
  std::string stream, payloads;
  for (int i = 0; i < 200; ++i) {
    const uint8_t type = static_cast<uint8_t>(random() % 4);
    if (type >= 2) {
      stream += Hex("00 32 00") + static_cast<char>(type) + Hex("01 02 03 04");
      continue;
    }
    std::string payload(random() % 300, '\0');
    for (auto& c : payload) c = static_cast<char>(random());
    stream += Hex("00 32 00") + static_cast<char>(type) + Hex("FF FF FF FF FF FF FF FF");
    stream += static_cast<char>(payload.size() >> 8);
    stream += static_cast<char>(payload.size() & 0xFF);
    stream += payload;
    payloads += payload;
  }
  for (int round = 0; round < 20; ++round) {
    std::string buffer, out;
    for (size_t at = 0; at < stream.size();) {
      const size_t piece = std::min<size_t>(stream.size() - at, 1 + random() % 97);
      buffer.append(stream, at, piece);
      at += piece;
      CutIp485Frames(buffer, out);
    }
    EXPECT_TRUE(buffer.empty());
    ASSERT_EQ(out, payloads) << "round " << round;
  }
}

TEST(Ip485Cut, ForeignBytesInFrontStopTheCutting) {
  const std::string frame = Hex("00 32 00 00 00 00 00 00 00 00 00 00 00 01 41");
  for (const std::string& front :
       {Hex("00 32 00 05 00 00 00 00"), Hex("00 34 00 00 01 07 00 01"), Hex("FF"), std::string("garbage")}) {
    std::string buffer = front + frame;
    std::string out;
    TIp485Parse stopped = TIp485Parse::Frame;
    EXPECT_FALSE(CutIp485Frames(buffer, out, &stopped)) << BytesToHex(front);
    EXPECT_EQ(stopped, TIp485Parse::NotAFrame);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(buffer, front + frame);
  }
}

TEST(Ip485Ack, FoundAnywhereAndEverythingBeforeItDropped) {
  const std::string ack = BuildIp485Ack(true, 1, 7);
  std::string buffer = Hex("00 32 00 05 99") + ack + Hex("00 32");
  EXPECT_TRUE(TakeIp485Ack(buffer, ack));
  EXPECT_EQ(BytesToHex(buffer), "00 32");

  buffer = Hex("00 34 00 00 01 03 00 01 00 34 00 00 01");  // other mode, then a part
  EXPECT_FALSE(TakeIp485Ack(buffer, ack));
  EXPECT_EQ(buffer.size(), 13u);
}

}  // namespace
}  // namespace orvane
