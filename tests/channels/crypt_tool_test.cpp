// The cipher is checked against the published Blowfish vectors and against
// libcrypto's own Blowfish, which is deprecated in OpenSSL 3 but still there.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "channels/crypt_tool.h"
#include "support/hex.h"

namespace orvane {
namespace {

std::vector<uint8_t> FromHex(const std::string& AHex) {
  return test::Hex(AHex);
}

std::string AsKey(const std::vector<uint8_t>& ABytes) {
  return std::string(ABytes.begin(), ABytes.end());
}

// libcrypto's Blowfish over the whole blocks, tail untouched: the reference.
void ReferenceCrypt(std::vector<uint8_t>& AData, const std::string& AKey, bool AEncrypt) {
  BF_KEY key;
  BF_set_key(&key, int(AKey.size()), reinterpret_cast<const unsigned char*>(AKey.data()));
  for (size_t pos = 0; pos + 8 <= AData.size(); pos += 8)
    BF_ecb_encrypt(AData.data() + pos, AData.data() + pos, &key, AEncrypt ? BF_ENCRYPT : BF_DECRYPT);
}

struct TVector {
  const char* Key;
  const char* Clear;
  const char* Cipher;
};

// Published Blowfish vectors (key, plaintext, ciphertext, big-endian halves).
const TVector VECTORS[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    // Variable-length key: the 26 letters enciphering "BLOWFISH".
    {"6162636465666768696A6B6C6D6E6F707172737475767778797A", "424C4F5746495348", "324ED0FEF413A203"},
};

TEST(CryptToolTest, PublishedVectorsBothWays) {
  for (const auto& v : VECTORS) {
    SCOPED_TRACE(v.Key);
    const std::string key = AsKey(FromHex(v.Key));
    auto data = FromHex(v.Clear);
    EncryptBuffer(data.data(), uint32_t(data.size()), key);
    EXPECT_EQ(data, FromHex(v.Cipher));
    DecryptBuffer(data.data(), uint32_t(data.size()), key);
    EXPECT_EQ(data, FromHex(v.Clear));
  }
}

TEST(CryptToolTest, MatchesLibcryptoForDecimalKeysAndAnyLength) {
  std::mt19937 rng(1234);
  const uint32_t keys[] = {0, 1, 9, 10, 12345, 99999999, 2147483647u, 4294967295u};
  for (uint32_t k : keys) {
    const std::string key = std::to_string(k);
    for (size_t len : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 64u, 1003u}) {
      SCOPED_TRACE(key + " len " + std::to_string(len));
      std::vector<uint8_t> data(len);
      for (auto& b : data) b = uint8_t(rng());
      const auto clear = data;
      auto expected = data;
      ReferenceCrypt(expected, key, true);
      EncryptBuffer(data.data(), uint32_t(data.size()), key);
      EXPECT_EQ(data, expected);
      // The tail shorter than a block travels in clear.
      EXPECT_TRUE(std::equal(data.begin() + len / 8 * 8, data.end(), clear.begin() + len / 8 * 8));
      DecryptBuffer(data.data(), uint32_t(data.size()), key);
      EXPECT_EQ(data, clear);
    }
  }
}

TEST(CryptToolTest, EcbBlocksIndependentAndWrongKeyGarbles) {
  std::vector<uint8_t> data(16, 0x5A);
  EncryptBuffer(data.data(), 16, "42");
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 8, data.begin() + 8));
  EXPECT_NE(data[0], 0x5A);
  DecryptBuffer(data.data(), 16, "43");
  EXPECT_NE(data, std::vector<uint8_t>(16, 0x5A));
}

}  // namespace
}  // namespace orvane
