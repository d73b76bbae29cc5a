#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace orvane::version_record {

// The version record an executable of ours carries in an ELF section of its
// own. All numbers are little-endian:
//   0   u32  MAGIC
//   4   u32  size of the fixed information (FIXED_INFO_SIZE)
//   8   u32  number of translation entries
//   12  u32  size of the string table in bytes
//   16  the fixed information, laid out like VS_FIXEDFILEINFO (13 u32 words)
//   ..  translation entries, u32 each: language in the low 16 bits, code page
//       in the high 16 bits
//   ..  the string table: pairs of NUL-terminated texts, a name
//       "<language><code page>\<key>" (8 lower-case hex digits) and its value
constexpr char SECTION_NAME[] = ".orvane_version";
constexpr uint32_t MAGIC = 0x4E56524F;  // "ORVN" in file order
constexpr size_t HEADER_SIZE = 16;
constexpr size_t FIXED_INFO_SIZE = 52;
constexpr uint32_t FIXED_SIGNATURE = 0xFEEF04BD;
constexpr uint32_t FIXED_STRUC_VERSION = 0x00010000;
constexpr uint32_t FLAG_MASK = 0x3F;
// Target OS: the Windows values keep their meaning; Linux has none there, so
// it gets a value of ours outside their range.
constexpr uint32_t OS_LINUX = 0x00080000;
constexpr uint32_t FILE_TYPE_APP = 1;

struct TFields {
  uint16_t FileVersion[4];
  uint16_t ProductVersion[4];
  uint32_t FlagMask;
  uint32_t Flags;
  uint32_t FileOS;
  uint32_t Translation;
};

// Builds the whole record at compile time; AStrings is the string table with
// its pairs already NUL-separated (the literal's own final NUL is dropped).
template <size_t NStrings>
constexpr std::array<uint8_t, HEADER_SIZE + FIXED_INFO_SIZE + 4 + NStrings - 1> Build(
    const TFields& AFields, const char (&AStrings)[NStrings]) {
  std::array<uint8_t, HEADER_SIZE + FIXED_INFO_SIZE + 4 + NStrings - 1> record{};
  size_t pos = 0;
  auto put = [&](uint32_t AValue) {
    for (int i = 0; i < 4; ++i) record[pos++] = static_cast<uint8_t>(AValue >> (8 * i));
  };
  auto pair = [](uint16_t AHigh, uint16_t ALow) { return (uint32_t{AHigh} << 16) | ALow; };
  put(MAGIC);
  put(FIXED_INFO_SIZE);
  put(1);
  put(static_cast<uint32_t>(NStrings - 1));
  put(FIXED_SIGNATURE);
  put(FIXED_STRUC_VERSION);
  put(pair(AFields.FileVersion[0], AFields.FileVersion[1]));
  put(pair(AFields.FileVersion[2], AFields.FileVersion[3]));
  put(pair(AFields.ProductVersion[0], AFields.ProductVersion[1]));
  put(pair(AFields.ProductVersion[2], AFields.ProductVersion[3]));
  put(AFields.FlagMask);
  put(AFields.Flags);
  put(AFields.FileOS);
  put(FILE_TYPE_APP);
  put(0);  // subtype
  put(0);  // date, high word
  put(0);  // date, low word
  put(AFields.Translation);
  for (size_t i = 0; i + 1 < NStrings; ++i) record[pos++] = static_cast<uint8_t>(AStrings[i]);
  return record;
}

}  // namespace orvane::version_record
