#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace orvane {

// Blowfish in electronic-codebook mode over the whole 8-byte blocks of a
// buffer, in place; the last size mod 8 bytes stay in clear and the length
// never changes. The key schedule is computed on every call (no state between
// calls, tables on the caller's stack), so the functions are thread-safe.
// The key is any byte string of at least one byte; an empty key skips the
// key mixing (the channel never passes one).
void EncryptBuffer(uint8_t* AData, uint32_t ASize, const std::string& AKey);
void DecryptBuffer(uint8_t* AData, uint32_t ASize, const std::string& AKey);

// The same cipher with the key schedule computed once, for a key used on many packets
// (521 block encipherments per schedule, against one per 8 data bytes).
// Threads: Encrypt and Decrypt only read the tables, so any thread may call them.
class TCryptKey {
 public:
  explicit TCryptKey(const std::string& AKey);
  ~TCryptKey();
  TCryptKey(TCryptKey&&) noexcept;
  TCryptKey& operator=(TCryptKey&&) noexcept;

  void Encrypt(uint8_t* AData, uint32_t ASize) const;
  void Decrypt(uint8_t* AData, uint32_t ASize) const;

 private:
  struct TTables;
  std::unique_ptr<TTables> FTables;
};

namespace crypt_tool_detail {
// Initial tables: the hexadecimal digits of pi (generated file).
extern const uint32_t INIT_P[18];
extern const uint32_t INIT_S[4][256];
}  // namespace crypt_tool_detail

}  // namespace orvane
