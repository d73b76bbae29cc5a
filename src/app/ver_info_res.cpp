#include "app/ver_info_res.h"

#include <cstdio>
#include <cstring>

#include "app/version_record.h"
#include "platform/elf_section.h"

namespace orvane {

namespace {

constexpr const char* NO_VER_INFO = "No Version Info Available.";
constexpr const char* CANNOT_OBTAIN = "Cannot obtain version info.";
// A real record is a few hundred bytes; anything far larger is not ours.
constexpr uint64_t MAX_RECORD_SIZE = 1 << 20;

uint64_t Le(const uint8_t* AData, size_t ASize) {
  uint64_t value = 0;
  for (size_t i = ASize; i-- > 0;) value = (value << 8) | AData[i];
  return value;
}

std::string Dotted(uint32_t AMs, uint32_t ALs) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", static_cast<int>(AMs >> 16), static_cast<int>(AMs & 0xFFFF),
                static_cast<int>(ALs >> 16), static_cast<int>(ALs & 0xFFFF));
  return buf;
}

}  // namespace

TVerInfoRes::TVerInfoRes(const std::string& AFileName) : FFileName(AFileName) {
  switch (ReadElfSection(FFileName, version_record::SECTION_NAME, MAX_RECORD_SIZE, RezBuffer)) {
    case TElfSection::Found: break;
    case TElfSection::Missing: throw ENoVerInfoError(NO_VER_INFO);
    case TElfSection::Unreadable: throw EVerInfoError(CANNOT_OBTAIN);
  }
  Size = RezBuffer.size();
  // The header's sizes must add up to no more than the record holds.
  if (Size < version_record::HEADER_SIZE || ReadU32(0) != version_record::MAGIC)
    throw EVerInfoError(CANNOT_OBTAIN);
  const uint64_t total =
      version_record::HEADER_SIZE + uint64_t{ReadU32(4)} + uint64_t{ReadU32(8)} * 4 + uint64_t{ReadU32(12)};
  if (total > Size) throw EVerInfoError(CANNOT_OBTAIN);

  TBlock block;
  if (!QueryValue("\\VarFileInfo\\Translation", block) || block.Size < 4)
    throw EVerInfoError("No language info.");
  TransTable = ReadU32(block.Offset);

  if (!QueryValue("\\", block) || block.Size < version_record::FIXED_INFO_SIZE)
    throw eNoFixeVerInfo("No fixed file info");
  FFixed.FileVersionMS = ReadU32(block.Offset + 8);
  FFixed.FileVersionLS = ReadU32(block.Offset + 12);
  FFixed.ProductVersionMS = ReadU32(block.Offset + 16);
  FFixed.ProductVersionLS = ReadU32(block.Offset + 20);
  FFixed.FileFlagsMask = ReadU32(block.Offset + 24);
  FFixed.FileFlags = ReadU32(block.Offset + 28);
  FFixed.FileOS = ReadU32(block.Offset + 32);

  FFileFlags = FFixed.FileFlagsMask & FFixed.FileFlags & version_record::FLAG_MASK;
}

uint32_t TVerInfoRes::ReadU32(size_t AOffset) const {
  // Callers stay inside the record; the check keeps a slip from reading past it.
  if (AOffset > RezBuffer.size() || RezBuffer.size() - AOffset < 4) return 0;
  return static_cast<uint32_t>(Le(RezBuffer.data() + AOffset, 4));
}

bool TVerInfoRes::QueryValue(const std::string& APath, TBlock& ABlock) const {
  const size_t fixedSize = ReadU32(4);
  const size_t translations = ReadU32(8);
  const size_t stringsSize = ReadU32(12);
  const size_t fixedOffset = version_record::HEADER_SIZE;
  const size_t translationOffset = fixedOffset + fixedSize;
  const size_t stringsOffset = translationOffset + translations * 4;

  if (APath == "\\") {
    if (fixedSize == 0) return false;
    ABlock = {fixedOffset, fixedSize};
    return true;
  }
  if (APath == "\\VarFileInfo\\Translation") {
    if (translations == 0) return false;
    ABlock = {translationOffset, translations * 4};
    return true;
  }
  const std::string prefix = "\\StringFileInfo\\";
  if (APath.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string wanted = APath.substr(prefix.size());

  // Pairs of NUL-terminated texts; an unterminated tail is ignored.
  const char* table = reinterpret_cast<const char*>(RezBuffer.data()) + stringsOffset;
  size_t pos = 0;
  while (pos < stringsSize) {
    const void* nameEnd = std::memchr(table + pos, '\0', stringsSize - pos);
    if (nameEnd == nullptr) return false;
    const size_t valuePos = static_cast<size_t>(static_cast<const char*>(nameEnd) - table) + 1;
    if (valuePos >= stringsSize) return false;
    const void* valueEnd = std::memchr(table + valuePos, '\0', stringsSize - valuePos);
    if (valueEnd == nullptr) return false;
    const size_t next = static_cast<size_t>(static_cast<const char*>(valueEnd) - table) + 1;
    if (wanted == table + pos) {
      ABlock = {stringsOffset + valuePos, next - 1 - valuePos};
      return true;
    }
    pos = next;
  }
  return false;
}

std::string TVerInfoRes::FileVersion() const {
  return Dotted(FFixed.FileVersionMS, FFixed.FileVersionLS);
}

std::string TVerInfoRes::ProductVersion() const {
  return Dotted(FFixed.ProductVersionMS, FFixed.ProductVersionLS);
}

std::string TVerInfoRes::FileOS() const {
  switch (FFixed.FileOS) {
    case 0x00010000: return "MS-DOS";
    case 0x00020000: return "16-bit OS/2";
    case 0x00030000: return "32-bit OS/2";
    case 0x00040000: return "Windows NT";
    case 0x00050000: return "Windows CE";
    case 0x00000001: return "16-bit Windows";
    case 0x00000004: return "32-bit Windows";
    case 0x00010001: return "16-bit Windows running on MS-DOS";
    case 0x00010004: return "32-bit Windows running on MS-DOS";
    case 0x00040004: return "32-bit Windows running on Windows NT";
    case version_record::OS_LINUX: return "Linux";
    default: return "Unknown";
  }
}

std::string TVerInfoRes::GetPreDefKeyString(TVerInfoType AVerKind) const {
  static constexpr const char* KEYS[] = {
      "CompanyName",     "FileDescription",  "FileVersion", "InternalName",   "LegalCopyright",
      "LegalTrademarks", "OriginalFilename", "ProductName", "ProductVersion", "Comments",
  };
  const auto index = static_cast<size_t>(AVerKind);
  if (index >= sizeof KEYS / sizeof KEYS[0]) return "";
  return GetUserDefKeyString(KEYS[index]);
}

std::string TVerInfoRes::GetUserDefKeyString(const std::string& AKey) const {
  char block[16];
  std::snprintf(block, sizeof block, "%04x%04x", TransTable & 0xFFFF, TransTable >> 16);
  TBlock value;
  if (!QueryValue("\\StringFileInfo\\" + std::string(block) + "\\" + AKey, value)) return "";
  return std::string(reinterpret_cast<const char*>(RezBuffer.data()) + value.Offset, value.Size);
}

}  // namespace orvane
