#include "channels/crypt_tool.h"

#include <cstring>

namespace orvane {

namespace {

using crypt_tool_detail::INIT_P;
using crypt_tool_detail::INIT_S;

struct TBlowfishTables {
  uint32_t P[18];
  uint32_t S[4][256];
};

inline uint32_t F(const TBlowfishTables& T, uint32_t x) {
  return ((T.S[0][x >> 24] + T.S[1][(x >> 16) & 0xFF]) ^ T.S[2][(x >> 8) & 0xFF]) + T.S[3][x & 0xFF];
}

inline void EncipherBlock(const TBlowfishTables& T, uint32_t& L, uint32_t& R) {
  uint32_t l = L, r = R;
  for (int i = 0; i < 16; i += 2) {
    l ^= T.P[i];
    r ^= F(T, l);
    r ^= T.P[i + 1];
    l ^= F(T, r);
  }
  L = r ^ T.P[17];
  R = l ^ T.P[16];
}

inline void DecipherBlock(const TBlowfishTables& T, uint32_t& L, uint32_t& R) {
  uint32_t l = L, r = R;
  for (int i = 17; i > 1; i -= 2) {
    l ^= T.P[i];
    r ^= F(T, l);
    r ^= T.P[i - 1];
    l ^= F(T, r);
  }
  L = r ^ T.P[0];
  R = l ^ T.P[1];
}

void InitKey(const uint8_t* AKey, size_t AKeyLen, TBlowfishTables& T) {
  std::memcpy(T.P, INIT_P, sizeof(T.P));
  std::memcpy(T.S, INIT_S, sizeof(T.S));
  if (AKeyLen > 0) {
    size_t k = 0;
    for (uint32_t& p : T.P) {
      uint32_t word = 0;
      for (int b = 0; b < 4; ++b) {
        word = (word << 8) | AKey[k];
        k = (k + 1) % AKeyLen;
      }
      p ^= word;
    }
  }
  uint32_t L = 0, R = 0;
  for (int i = 0; i < 18; i += 2) {
    EncipherBlock(T, L, R);
    T.P[i] = L;
    T.P[i + 1] = R;
  }
  for (auto& box : T.S) {
    for (int i = 0; i < 256; i += 2) {
      EncipherBlock(T, L, R);
      box[i] = L;
      box[i + 1] = R;
    }
  }
}

inline uint32_t LoadBE(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void StoreBE(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

void CryptBlocks(uint8_t* AData, uint32_t ASize, bool AEncrypt, const TBlowfishTables& T) {
  const uint32_t whole = ASize / 8 * 8;
  for (uint32_t pos = 0; pos < whole; pos += 8) {
    uint32_t L = LoadBE(AData + pos), R = LoadBE(AData + pos + 4);
    if (AEncrypt) {
      EncipherBlock(T, L, R);
    } else {
      DecipherBlock(T, L, R);
    }
    StoreBE(AData + pos, L);
    StoreBE(AData + pos + 4, R);
  }
}

void Crypt(uint8_t* AData, uint32_t ASize, const std::string& AKey, bool AEncrypt) {
  if (ASize == 0) return;
  TBlowfishTables tables;
  InitKey(reinterpret_cast<const uint8_t*>(AKey.data()), AKey.size(), tables);
  CryptBlocks(AData, ASize, AEncrypt, tables);
}

}  // namespace

struct TCryptKey::TTables : TBlowfishTables {};

TCryptKey::TCryptKey(const std::string& AKey) : FTables(std::make_unique<TTables>()) {
  InitKey(reinterpret_cast<const uint8_t*>(AKey.data()), AKey.size(), *FTables);
}

TCryptKey::~TCryptKey() = default;
TCryptKey::TCryptKey(TCryptKey&&) noexcept = default;
TCryptKey& TCryptKey::operator=(TCryptKey&&) noexcept = default;

void TCryptKey::Encrypt(uint8_t* AData, uint32_t ASize) const {
  CryptBlocks(AData, ASize, true, *FTables);
}

void TCryptKey::Decrypt(uint8_t* AData, uint32_t ASize) const {
  CryptBlocks(AData, ASize, false, *FTables);
}

void EncryptBuffer(uint8_t* AData, uint32_t ASize, const std::string& AKey) {
  Crypt(AData, ASize, AKey, true);
}

void DecryptBuffer(uint8_t* AData, uint32_t ASize, const std::string& AKey) {
  Crypt(AData, ASize, AKey, false);
}

}  // namespace orvane
