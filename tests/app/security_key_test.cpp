#include "app/security_key.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace orvane {
namespace {

// Published check values of the hash; they cover the empty input, a tail
// shorter than a block and several full blocks.
TEST(SecurityKey, HashMatchesPublishedValues) {
  struct TCase {
    const char* Text;
    uint32_t Initval;
    uint32_t Expected;
  };
  const std::vector<TCase> CASES = {
      {"", 0, 0xdeadbeef},
      {"", 0xdeadbeef, 0xbd5b7dde},
      {"Four score and seven years ago", 0, 0x17770551},
      {"Four score and seven years ago", 1, 0xcd628161},
  };
  for (const auto& Case : CASES) {
    EXPECT_EQ(hashlittle(Case.Text, std::strlen(Case.Text), Case.Initval), Case.Expected)
        << '"' << Case.Text << "\" initval " << Case.Initval;
  }
}

// Every tail length 1..12 and exact block multiples must read each byte: a
// change in any single byte changes the hash, and bytes past the end do not count.
TEST(SecurityKey, HashReadsEveryByteAndNoMore) {
  std::string Buffer(40, 'x');
  for (size_t Length = 1; Length <= 36; ++Length) {
    const uint32_t Base = hashlittle(Buffer.data(), Length, 0);
    for (size_t Pos = 0; Pos < Length; ++Pos) {
      std::string Changed = Buffer;
      Changed[Pos] = 'y';
      EXPECT_NE(hashlittle(Changed.data(), Length, 0), Base) << "length " << Length << " byte " << Pos;
    }
    std::string Beyond = Buffer;
    Beyond[Length] = 'z';
    EXPECT_EQ(hashlittle(Beyond.data(), Length, 0), Base) << "length " << Length;
  }
}

TEST(SecurityKey, GuidTextIsBracedUpperCaseVersion4) {
  const std::regex SHAPE("\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
  std::set<std::string> Seen;
  for (int I = 0; I < 200; ++I) {
    const std::string Guid = NewGuidText();
    EXPECT_EQ(Guid.size(), 38u);
    EXPECT_TRUE(std::regex_match(Guid, SHAPE)) << Guid;
    Seen.insert(Guid);
  }
  EXPECT_EQ(Seen.size(), 200u);
}

TEST(SecurityKey, GuidKeyHashesUtf16LittleEndianText) {
  const std::string Guid = "{01234567-89AB-4CDE-8F01-23456789ABCD}";
  std::u16string Wide(Guid.begin(), Guid.end());
  std::vector<unsigned char> Bytes;
  for (char16_t Unit : Wide) {
    Bytes.push_back(static_cast<unsigned char>(Unit & 0xFF));
    Bytes.push_back(static_cast<unsigned char>(Unit >> 8));
  }
  ASSERT_EQ(Bytes.size(), 76u);
  EXPECT_EQ(GuidTextKey(Guid), hashlittle(Bytes.data(), Bytes.size(), 0));
  EXPECT_NE(GuidTextKey(Guid), hashlittle(Guid.data(), Guid.size(), 0));
}

TEST(SecurityKey, KeysDiffer) {
  std::set<uint32_t> Keys;
  for (int I = 0; I < 100; ++I) {
    Keys.insert(GenerateSecurityKey());
  }
  EXPECT_GE(Keys.size(), 99u);
}

// Back-to-back calls fall within one clock tick; they must still differ.
TEST(SecurityKey, TopicsFromQuickSuccessiveCallsDiffer) {
  const std::regex SHAPE("/Orvane/[0-9A-Za-z]{6}");
  std::set<std::string> Topics;
  for (int I = 0; I < 100; ++I) {
    const std::string Topic = GenerateTopic();
    EXPECT_TRUE(std::regex_match(Topic, SHAPE)) << Topic;
    Topics.insert(Topic);
  }
  EXPECT_GE(Topics.size(), 99u);
}

// Every character of the alphabet turns up and nothing else does.
TEST(SecurityKey, RandomStringCoversWholeAlphabet) {
  const std::string ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  const std::string Text = RandomString(20000);
  ASSERT_EQ(Text.size(), 20000u);
  std::set<char> Seen(Text.begin(), Text.end());
  EXPECT_EQ(Seen, std::set<char>(ALPHABET.begin(), ALPHABET.end()));
  EXPECT_TRUE(RandomString(0).empty());
}

}  // namespace
}  // namespace orvane
