#include "channels/channel_packet.h"

#include <gtest/gtest.h>

#include "channels/crypt_tool.h"
#include "support/hex.h"

namespace orvane {
namespace {

using test::Hex;

// Three data bytes are shorter than a cipher block, so they travel in clear.
const TBytes SHORT_PACKET =
    Hex("02 00"        // client id length 2, little-endian
        "41 42"        // "AB"
        "07 03 05 00"  // 9600 baud, 8 data bits, even parity, one stop bit
        "03 00"        // data length 3
        "61 62 63");   // "abc"

TEST(ChannelPacket, EncodesFieldByField) {
  TPacketData packet{"AB", 7, 3, 5, 0, "abc"};
  EXPECT_EQ(EncodeChannelPacket(packet, "12345"), SHORT_PACKET);

  TPacketData decoded;
  ASSERT_TRUE(DecodeChannelPacket(SHORT_PACKET, "12345", decoded));
  EXPECT_EQ(decoded.ClientID, "AB");
  EXPECT_EQ(decoded.BaudRate, 7);
  EXPECT_EQ(decoded.BitData, 3);
  EXPECT_EQ(decoded.ParityBits, 5);
  EXPECT_EQ(decoded.StopBits, 0);
  EXPECT_EQ(decoded.Data, "abc");
}

TEST(ChannelPacket, WholeBlocksAreEncipheredWithTheKey) {
  const std::string clear = "01234567x";
  TPacketData packet{"", 0, 0, 0, 0, clear};
  const TBytes wire = EncodeChannelPacket(packet, "987");
  ASSERT_EQ(wire.size(), 2u + 4 + 2 + clear.size());
  TBytes expected(clear.begin(), clear.end());
  EncryptBuffer(expected.data(), uint32_t(expected.size()), "987");
  EXPECT_EQ(TBytes(wire.begin() + 8, wire.end()), expected);
  EXPECT_EQ(wire.back(), 'x');  // the tail of a partial block stays in clear

  TPacketData right, wrong;
  ASSERT_TRUE(DecodeChannelPacket(wire, "987", right));
  EXPECT_EQ(right.Data, clear);
  ASSERT_TRUE(DecodeChannelPacket(wire, "988", wrong));
  EXPECT_NE(wrong.Data, clear);
}

TEST(ChannelPacket, EveryCutShortPacketIsRejected) {
  for (size_t length = 0; length < SHORT_PACKET.size(); ++length) {
    TPacketData packet;
    EXPECT_FALSE(
        DecodeChannelPacket(TBytes(SHORT_PACKET.begin(), SHORT_PACKET.begin() + long(length)), "1", packet))
        << "length " << length;
  }
  // Lengths that promise more than the packet holds.
  TPacketData packet;
  EXPECT_FALSE(DecodeChannelPacket(Hex("FF FF 41 42 07 03 05 00 03 00 61 62 63"), "1", packet));
  EXPECT_FALSE(DecodeChannelPacket(Hex("02 00 41 42 07 03 05 00 FF FF 61 62 63"), "1", packet));
  // Bytes after the data are ignored.
  TBytes longer = SHORT_PACKET;
  longer.push_back(0x99);
  ASSERT_TRUE(DecodeChannelPacket(longer, "1", packet));
  EXPECT_EQ(packet.Data, "abc");
}

}  // namespace
}  // namespace orvane
