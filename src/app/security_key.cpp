#include "app/security_key.h"

#include <array>
#include <cstdio>
#include <random>

namespace orvane {

namespace {

constexpr uint32_t Rot(uint32_t AX, int AK) {
  return (AX << AK) | (AX >> (32 - AK));
}

// Reversible mixing of three words; each input bit reaches all three outputs.
void Mix(uint32_t& A, uint32_t& B, uint32_t& C) {
  A -= C;
  A ^= Rot(C, 4);
  C += B;
  B -= A;
  B ^= Rot(A, 6);
  A += C;
  C -= B;
  C ^= Rot(B, 8);
  B += A;
  A -= C;
  A ^= Rot(C, 16);
  C += B;
  B -= A;
  B ^= Rot(A, 19);
  A += C;
  C -= B;
  C ^= Rot(B, 4);
  B += A;
}

// Last mixing round: makes every bit of C depend on every input bit.
void Final(uint32_t& A, uint32_t& B, uint32_t& C) {
  C ^= B;
  C -= Rot(B, 14);
  A ^= C;
  A -= Rot(C, 11);
  B ^= A;
  B -= Rot(A, 25);
  C ^= B;
  C -= Rot(B, 16);
  A ^= C;
  A -= Rot(C, 4);
  B ^= A;
  B -= Rot(A, 14);
  C ^= B;
  C -= Rot(B, 24);
}

// Little-endian word from up to four bytes; missing bytes count as zero.
uint32_t Word(const uint8_t* AP, size_t ACount) {
  uint32_t Result = 0;
  for (size_t I = 0; I < ACount && I < 4; ++I) {
    Result |= static_cast<uint32_t>(AP[I]) << (8 * I);
  }
  return Result;
}

// One generator per thread, seeded from the system's entropy source: two
// calls in the same clock tick still give different results.
std::mt19937& Generator() {
  thread_local std::mt19937 Gen = [] {
    std::random_device Device;
    std::seed_seq Seed{Device(), Device(), Device(), Device(), Device(), Device(), Device(), Device()};
    return std::mt19937(Seed);
  }();
  return Gen;
}

}  // namespace

uint32_t hashlittle(const void* AKey, size_t ALength, uint32_t AInitval) {
  const auto* P = static_cast<const uint8_t*>(AKey);
  uint32_t A = 0xdeadbeef + static_cast<uint32_t>(ALength) + AInitval;
  uint32_t B = A;
  uint32_t C = A;
  size_t Left = ALength;
  while (Left > 12) {
    A += Word(P, 4);
    B += Word(P + 4, 4);
    C += Word(P + 8, 4);
    Mix(A, B, C);
    P += 12;
    Left -= 12;
  }
  if (Left == 0) {
    return C;
  }
  A += Word(P, Left);
  B += Left > 4 ? Word(P + 4, Left - 4) : 0;
  C += Left > 8 ? Word(P + 8, Left - 8) : 0;
  Final(A, B, C);
  return C;
}

std::string NewGuidText() {
  std::uniform_int_distribution<uint32_t> Byte(0, 255);
  std::array<uint8_t, 16> G{};
  for (auto& Value : G) {
    Value = static_cast<uint8_t>(Byte(Generator()));
  }
  G[6] = static_cast<uint8_t>((G[6] & 0x0F) | 0x40);  // version 4
  G[8] = static_cast<uint8_t>((G[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char Text[39];
  std::snprintf(Text, sizeof(Text), "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                G[0], G[1], G[2], G[3], G[4], G[5], G[6], G[7], G[8], G[9], G[10], G[11], G[12], G[13], G[14],
                G[15]);
  return Text;
}

uint32_t GuidTextKey(const std::string& AGuidText) {
  // The GUID text is ASCII, so each character is one UTF-16 unit.
  std::string Bytes;
  Bytes.reserve(AGuidText.size() * 2);
  for (char Ch : AGuidText) {
    Bytes.push_back(Ch);
    Bytes.push_back('\0');
  }
  return hashlittle(Bytes.data(), Bytes.size(), 0);
}

uint32_t GenerateSecurityKey() {
  // 0 stands for "no key" in a stored port, which is given a new key when it
  // is loaded: its peers would no longer understand it.
  uint32_t Key = 0;
  while (Key == 0) {
    Key = GuidTextKey(NewGuidText());
  }
  return Key;
}

std::string RandomString(size_t ALength) {
  static constexpr char ALPHABET[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::uniform_int_distribution<size_t> Pick(0, sizeof(ALPHABET) - 2);
  std::string Result;
  Result.reserve(ALength);
  for (size_t I = 0; I < ALength; ++I) {
    Result.push_back(ALPHABET[Pick(Generator())]);
  }
  return Result;
}

std::string GenerateTopic() {
  return "/Orvane/" + RandomString(6);
}

}  // namespace orvane
