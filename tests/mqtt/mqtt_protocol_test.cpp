#include <gtest/gtest.h>

#include <random>

#include "mqtt/mqtt_protocol.h"
#include "support/hex.h"
#include "support/mqtt_decode_all.h"

namespace orvane {
namespace {

using test::Hex;

TEST(MqttCodecTest, RemainingLengthBoundaries) {
  struct TCase {
    uint32_t Value;
    const char* Bytes;
  };
  const TCase cases[] = {
      {0, "00"},           {127, "7F"},           {128, "80 01"},          {16383, "FF 7F"},
      {16384, "80 80 01"}, {2097151, "FF FF 7F"}, {2097152, "80 80 80 01"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Value);
    TBytes buf;
    size_t offset = 0;
    TMQTTProtocolClient::EncodeRemainingLength(c.Value, buf, offset);
    EXPECT_EQ(TBytes(buf.begin(), buf.begin() + offset), Hex(c.Bytes));
  }
  // A fourth length byte is refused even though it ends the field.
  TBytes packet = Hex("30 80 80 80 01");
  packet.resize(packet.size() + 2097152, 0);
  size_t offset = 0;
  TMQTTCommand cmd;
  uint8_t params;
  TBytes body;
  EXPECT_FALSE(TMQTTProtocolClient::DataToCommand(packet, offset, cmd, params, body));
}

TEST(MqttCodecTest, BuildersProduceExactBytes) {
  TMQTTProtocolClient codec;
  EXPECT_EQ(codec.CommandPingReq(), Hex("C0 00"));
  EXPECT_EQ(codec.CommandDisconnect(), Hex("E0 00"));
  EXPECT_EQ(codec.CommandPubRel(1), Hex("62 02 00 01"));  // PUBREL carries flags 2
  EXPECT_EQ(codec.CommandPubAck(258), Hex("40 02 01 02"));
  EXPECT_EQ(codec.CommandPubRec(3), Hex("50 02 00 03"));
  EXPECT_EQ(codec.CommandPubComp(4), Hex("70 02 00 04"));

  EXPECT_EQ(codec.CommandConnect("abc", 30),
            Hex("10 11"                    // CONNECT, remaining length 17
                "00 06 4D 51 49 73 64 70"  // "MQIsdp"
                "03"                       // protocol level
                "02"                       // flags: clean session
                "00 1E"                    // keep-alive 30 s
                "00 03 61 62 63"));        // client id "abc"
  EXPECT_EQ(codec.CommandConnect("abc", "u", "pw", 30, true, {}),
            Hex("10 18 00 06 4D 51 49 73 64 70 03"
                "C2"  // user name, password, clean session
                "00 1E 00 03 61 62 63"
                "00 01 75"        // user "u"
                "00 02 70 77"));  // password "pw"
  // The password bit does not depend on the user name; bit 7 is the user name's.
  EXPECT_EQ(codec.CommandConnect("abc", "u", "", 30, true, {}),
            Hex("10 14 00 06 4D 51 49 73 64 70 03"
                "82"  // user name flag (bit 7), clean session
                "00 1E 00 03 61 62 63"
                "00 01 75"));
  EXPECT_EQ(codec.CommandConnect("", "", "p", 0, false, {}),
            Hex("10 11 00 06 4D 51 49 73 64 70 03"
                "40"     // password flag (bit 6) only, no clean session
                "00 00"  // keep-alive 0
                "00 00"  // empty client id is still written
                "00 01 70"));
  EXPECT_EQ(codec.CommandConnect("c", "", "", 10, true, TWillParams{"w", "m", TQualityOfService::QoS2, true}),
            Hex("10 15 00 06 4D 51 49 73 64 70 03"
                "36"  // will retain 0x20, will QoS 2 << 3, will 0x04, clean 0x02
                "00 0A 00 01 63"
                "00 01 77"     // will topic "w"
                "00 01 6D"));  // will message "m"

  const TBytes hi = {'h', 'i'};
  EXPECT_EQ(codec.CommandPublish("a", hi, 9, TQualityOfService::QoS0, false, false),
            Hex("30 05 00 01 61 68 69"));  // QoS 0: no identifier
  EXPECT_EQ(codec.CommandPublish("a", hi, 1, TQualityOfService::QoS1, true, false),
            Hex("33"  // PUBLISH, QoS 1, retain
                "07 00 01 61 00 01 68 69"));
  EXPECT_EQ(codec.CommandPublish("a", hi, 1, TQualityOfService::QoS0, false, true),
            Hex("38 05 00 01 61 68 69"));
  EXPECT_EQ(codec.CommandPublish("a", std::string("hi"), 2, TQualityOfService::QoS2, false),
            Hex("34 07 00 01 61 00 02 68 69"));

  EXPECT_EQ(codec.CommandSubscribe(std::vector<std::string>{}, TQualityOfService::QoS0, 7),
            Hex("82 02 00 07"));
  EXPECT_EQ(codec.CommandSubscribe(std::vector<std::string>{"ab", "c"}, TQualityOfService::QoS1, 0x0102),
            Hex("82 0B 01 02"
                "00 02 61 62 01"  // "ab", QoS 1
                "00 01 63 01"));  // "c", QoS 1
  EXPECT_EQ(codec.CommandUnsubscribe("t", 5), Hex("A2 05 00 05 00 01 74"));
}

TEST(MqttCodecTest, ScratchBuffersGrowAndKeepBuildingExactPackets) {
  TMQTTProtocolClient codec;
  const TBytes big(300, 0xAB);
  const TBytes p1 = codec.CommandPublish("t", big, 0, TQualityOfService::QoS0, false, false);
  ASSERT_EQ(p1.size(), 1 + 2 + 3 + 300u);
  EXPECT_EQ(TBytes(p1.begin(), p1.begin() + 6), Hex("30 AF 02 00 01 74"));
  // A short packet after a long one must not carry stale bytes.
  EXPECT_EQ(codec.CommandPingReq(), Hex("C0 00"));
}

TEST(MqttCodecTest, DecodersReadTheExamples) {
  bool present = true;
  TConnectErrorCode code = TConnectErrorCode::NotAuthorized;
  EXPECT_TRUE(TMQTTProtocolClient::DecodeConnAck(Hex("20 02 00 00"), present, code));
  EXPECT_FALSE(present);
  EXPECT_EQ(code, TConnectErrorCode::Success);
  EXPECT_TRUE(TMQTTProtocolClient::DecodeConnAck(Hex("20 02 01 05"), present, code));
  EXPECT_TRUE(present);
  EXPECT_EQ(code, TConnectErrorCode::NotAuthorized);
  EXPECT_TRUE(TMQTTProtocolClient::DecodeConnAck(Hex("20 02 00 86"), present, code));
  EXPECT_EQ(uint8_t(code), 0x86);  // stored unchanged

  uint16_t id = 0;
  std::vector<TSubscribeErrorCode> codes;
  EXPECT_TRUE(TMQTTProtocolClient::DecodeSubAck(Hex("90 03 00 07 01"), id, codes));
  EXPECT_EQ(id, 7);
  EXPECT_EQ(codes, std::vector<TSubscribeErrorCode>{1});
  EXPECT_TRUE(TMQTTProtocolClient::DecodeSubAck(Hex("90 02 00 07"), id, codes));
  EXPECT_EQ(id, 7);
  EXPECT_TRUE(codes.empty());

  EXPECT_TRUE(TMQTTProtocolClient::DecodePubRel(Hex("62 02 00 01"), id));
  EXPECT_EQ(id, 1);
  EXPECT_TRUE(TMQTTProtocolClient::DecodeUnsubAck(Hex("B0 02 12 34"), id));
  EXPECT_EQ(id, 0x1234);
  EXPECT_TRUE(TMQTTProtocolClient::DecodePubAck(Hex("40 02 00 09"), id));
  EXPECT_TRUE(TMQTTProtocolClient::DecodePubRec(Hex("50 02 00 09"), id));
  EXPECT_TRUE(TMQTTProtocolClient::DecodePubComp(Hex("70 02 00 09"), id));
  EXPECT_TRUE(TMQTTProtocolClient::DecodePingResp(Hex("D0 00")));

  std::string topic;
  TBytes payload;
  TQualityOfService qos = TQualityOfService::QoS2;
  bool retain = true, dup = true;
  EXPECT_TRUE(
      TMQTTProtocolClient::DecodePublish(Hex("30 05 00 01 61 68 69"), topic, payload, id, qos, retain, dup));
  EXPECT_EQ(topic, "a");
  EXPECT_EQ(payload, (TBytes{'h', 'i'}));
  EXPECT_EQ(qos, TQualityOfService::QoS0);
  EXPECT_EQ(id, 0);
  EXPECT_FALSE(retain);
  EXPECT_FALSE(dup);
  EXPECT_TRUE(
      TMQTTProtocolClient::DecodePublish(Hex("3B 05 00 01 61 00 2A"), topic, payload, id, qos, retain, dup));
  EXPECT_EQ(qos, TQualityOfService::QoS1);
  EXPECT_EQ(id, 42);
  EXPECT_TRUE(retain);
  EXPECT_TRUE(dup);
  EXPECT_TRUE(payload.empty());
  // QoS 3 is passed on unchanged.
  EXPECT_TRUE(
      TMQTTProtocolClient::DecodePublish(Hex("36 05 00 01 61 00 05"), topic, payload, id, qos, retain, dup));
  EXPECT_EQ(int(qos), 3);
  std::string text;
  EXPECT_TRUE(
      TMQTTProtocolClient::DecodePublish(Hex("31 08 00 01 61 D0 BF D1 80 21"), topic, text, id, qos, retain));
  EXPECT_EQ(text, "пр!");
  EXPECT_TRUE(retain);
}

TEST(MqttCodecTest, DataToCommandCutsTheFirstOfTwoPackets) {
  const TBytes two = Hex("30 05 00 01 61 68 69  D0 00");
  size_t offset = 0;
  TMQTTCommand cmd;
  uint8_t params = 0xFF;
  TBytes body;
  ASSERT_TRUE(TMQTTProtocolClient::DataToCommand(two, offset, cmd, params, body));
  EXPECT_EQ(cmd, TMQTTCommand::Publish);
  EXPECT_EQ(params, 0);
  EXPECT_EQ(body, Hex("00 01 61 68 69"));
  EXPECT_EQ(offset, 7u);
  ASSERT_TRUE(TMQTTProtocolClient::DataToCommand(two, offset, cmd, params, body));
  EXPECT_EQ(cmd, TMQTTCommand::PingResp);
  EXPECT_EQ(offset, 9u);
  // Type 15 lies outside the list and is returned as is.
  offset = 0;
  ASSERT_TRUE(TMQTTProtocolClient::DataToCommand(Hex("F3 00"), offset, cmd, params, body));
  EXPECT_EQ(uint8_t(cmd), 15);
  EXPECT_EQ(params, 3);
}

// Every decoder refuses a wrong first byte and every cut-short form of its packet.
TEST(MqttCodecTest, DecodersRejectWrongTypeAndEveryTruncation) {
  using TDecode = bool (*)(TByteView);
  struct TCase {
    const char* Name;
    const char* Good;
    const char* WrongType;
    TDecode Decode;
  };
  static uint16_t id;
  static bool b1, b2;
  static TConnectErrorCode code;
  static std::vector<TSubscribeErrorCode> codes;
  static std::string topic;
  static TBytes payload;
  static TQualityOfService qos;
  const TCase cases[] = {
      {"connack", "20 02 00 00", "21 02 00 00",
       [](TByteView d) { return TMQTTProtocolClient::DecodeConnAck(d, b1, code); }},
      {"suback", "90 03 00 07 01", "92 03 00 07 01",
       [](TByteView d) { return TMQTTProtocolClient::DecodeSubAck(d, id, codes); }},
      {"unsuback", "B0 02 00 01", "B2 02 00 01",
       [](TByteView d) { return TMQTTProtocolClient::DecodeUnsubAck(d, id); }},
      {"puback", "40 02 00 01", "42 02 00 01",
       [](TByteView d) { return TMQTTProtocolClient::DecodePubAck(d, id); }},
      {"pubrec", "50 02 00 01", "51 02 00 01",
       [](TByteView d) { return TMQTTProtocolClient::DecodePubRec(d, id); }},
      {"pubrel", "62 02 00 01", "60 02 00 01",
       [](TByteView d) { return TMQTTProtocolClient::DecodePubRel(d, id); }},
      {"pubcomp", "70 02 00 01", "72 02 00 01",
       [](TByteView d) { return TMQTTProtocolClient::DecodePubComp(d, id); }},
      {"pingresp", "D0 00", "C0 00", [](TByteView d) { return TMQTTProtocolClient::DecodePingResp(d); }},
      {"publish qos1", "32 07 00 01 61 00 01 68 69", "40 07 00 01 61 00 01 68 69",
       [](TByteView d) { return TMQTTProtocolClient::DecodePublish(d, topic, payload, id, qos, b1, b2); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TBytes good = Hex(c.Good);
    EXPECT_TRUE(c.Decode(good));
    EXPECT_FALSE(c.Decode(Hex(c.WrongType)));
    // Cut the array short at every length.
    for (size_t n = 0; n < good.size(); ++n) {
      const TBytes cut(good.begin(), good.begin() + n);
      EXPECT_FALSE(c.Decode(cut)) << "length " << n;
    }
  }
  // Bodies short of their fields, though the packet itself is whole.
  const char* shortBodies[] = {"20 01 00", "90 01 00",       "B0 01 00",       "40 00",
                               "30 01 00", "30 03 00 05 61", "32 03 00 01 61", "62 01 00"};
  for (const char* hex : shortBodies) {
    SCOPED_TRACE(hex);
    const TBytes data = Hex(hex);
    bool any = TMQTTProtocolClient::DecodeConnAck(data, b1, code) ||
               TMQTTProtocolClient::DecodeSubAck(data, id, codes) ||
               TMQTTProtocolClient::DecodeUnsubAck(data, id) || TMQTTProtocolClient::DecodePubAck(data, id) ||
               TMQTTProtocolClient::DecodePubRel(data, id) ||
               TMQTTProtocolClient::DecodePublish(data, topic, payload, id, qos, b1, b2);
    EXPECT_FALSE(any);
  }
}

TEST(MqttCodecTest, ReadersLeaveOffsetAndZeroDestinationOnShortSource) {
  const TBytes src = Hex("00 05 61 62");
  size_t offset = 0;
  std::string text = "old";
  // ReadString consumes the length but fails on the missing text.
  EXPECT_FALSE(DataUtils::ReadString(src, offset, text, true));
  EXPECT_EQ(offset, 2u);
  EXPECT_TRUE(text.empty());
  uint8_t dest[4] = {1, 2, 3, 4};
  offset = 1;
  EXPECT_FALSE(DataUtils::ReadData(src, offset, false, dest, 4));
  EXPECT_EQ(offset, 1u);
  EXPECT_EQ(dest[0] | dest[1] | dest[2] | dest[3], 0);
  uint16_t w = 7;
  offset = 3;
  EXPECT_FALSE(DataUtils::ReadWord(src, offset, w, true));
  EXPECT_EQ(w, 0);
  offset = 1;
  EXPECT_TRUE(DataUtils::ReadWord(src, offset, w, false));
  EXPECT_EQ(w, 0x6105);  // least significant first
  TBytes buf;
  offset = 0;
  EXPECT_FALSE(DataUtils::ReadBytes(src, offset, buf, 2, 10));
  EXPECT_EQ(buf.size(), 12u);  // lengthened even though the read failed
  offset = 10;                 // offset beyond the source
  EXPECT_FALSE(DataUtils::ReadData(src, offset, false, dest, 0));
}

TEST(MqttCodecTest, OverlongStringIsCutToWhatTheLengthFieldCanSay) {
  TMQTTProtocolClient codec;
  const std::string topic(70000, 'x');
  const TBytes packet = codec.CommandPublish(topic, TBytes{1}, 0, TQualityOfService::QoS0, false, false);
  std::string decoded;
  TBytes payload;
  uint16_t id;
  TQualityOfService qos;
  bool r, d;
  ASSERT_TRUE(TMQTTProtocolClient::DecodePublish(packet, decoded, payload, id, qos, r, d));
  EXPECT_EQ(decoded.size(), 65535u);
  EXPECT_EQ(payload, TBytes{1});
}

// Random and mutated input: nothing may crash or read out of bounds (run under ASan); the
// fuzz harness runs the same decoders.
TEST(MqttCodecTest, RandomInputIsHandledSafely) {
  std::mt19937 rng(7);
  TMQTTProtocolClient codec;
  const TBytes seeds[] = {Hex("20 02 00 00"), Hex("90 03 00 07 01"), Hex("32 07 00 01 61 00 01 68 69"),
                          codec.CommandConnect("abc", "u", "p", 30, true, {})};
  for (int i = 0; i < 20000; ++i) {
    TBytes data = seeds[i % 4];
    if (i % 3 == 0) {
      data.resize(rng() % 12);
      for (auto& b : data) b = uint8_t(rng());
    } else {
      for (int m = 0; m < 3; ++m) data[rng() % data.size()] = uint8_t(rng());
      data.resize(rng() % (data.size() + 3));
    }
    EXPECT_TRUE(test::DecodeAllMqtt(data));
  }
}

}  // namespace
}  // namespace orvane
