#include "app/ver_info_res.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/version_record.h"

namespace orvane {

namespace {

constexpr const char* kNoVerInfo = "No Version Info Available.";
constexpr const char* kCannotObtain = "Cannot obtain version info.";
// A real record is a few hundred bytes; anything far larger is not ours.
constexpr uint64_t kMaxRecordSize = 1 << 20;
constexpr uint64_t kElfHeaderSize = 64;
constexpr uint64_t kSectionHeaderSize = 64;
constexpr uint32_t kShtNobits = 8;
constexpr uint16_t kShnXindex = 0xFFFF;

uint64_t Le(const uint8_t* AData, size_t ASize) {
  uint64_t value = 0;
  for (size_t i = ASize; i-- > 0;) value = (value << 8) | AData[i];
  return value;
}

// Reads byte ranges of a file, refusing any range that is not wholly inside it.
class TFileReader {
 public:
  explicit TFileReader(const std::string& AFileName) {
    FFd = ::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (FFd >= 0 && ::fstat(FFd, &st) == 0 && S_ISREG(st.st_mode)) FSize = static_cast<uint64_t>(st.st_size);
  }
  ~TFileReader() {
    if (FFd >= 0) ::close(FFd);
  }
  TFileReader(const TFileReader&) = delete;
  TFileReader& operator=(const TFileReader&) = delete;

  bool Contains(uint64_t AOffset, uint64_t ALength) const {
    return AOffset <= FSize && ALength <= FSize - AOffset;
  }

  bool Read(uint64_t AOffset, void* ADest, size_t ALength) const {
    if (!Contains(AOffset, ALength)) return false;
    auto* dest = static_cast<uint8_t*>(ADest);
    size_t done = 0;
    while (done < ALength) {
      const ssize_t n = ::pread(FFd, dest + done, ALength - done, static_cast<off_t>(AOffset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int FFd = -1;
  uint64_t FSize = 0;
};

struct TSection {
  uint32_t Name = 0;
  uint32_t Type = 0;
  uint64_t Offset = 0;
  uint64_t Size = 0;
  uint32_t Link = 0;
};

bool ReadSection(const TFileReader& AFile, uint64_t ATableOffset, uint64_t AEntrySize, uint64_t AIndex,
                 TSection& ASection) {
  if (AIndex > (UINT64_MAX - ATableOffset) / AEntrySize) return false;
  uint8_t raw[kSectionHeaderSize];
  if (!AFile.Read(ATableOffset + AIndex * AEntrySize, raw, sizeof raw)) return false;
  ASection.Name = static_cast<uint32_t>(Le(raw + 0, 4));
  ASection.Type = static_cast<uint32_t>(Le(raw + 4, 4));
  ASection.Offset = Le(raw + 24, 8);
  ASection.Size = Le(raw + 32, 8);
  ASection.Link = static_cast<uint32_t>(Le(raw + 40, 4));
  return true;
}

// Finds the version section; false when the file is no 64-bit little-endian
// ELF file or has no such section.
bool FindVersionSection(const TFileReader& AFile, TSection& AFound) {
  uint8_t header[kElfHeaderSize];
  if (!AFile.Read(0, header, sizeof header)) return false;
  if (std::memcmp(header,
                  "\x7f"
                  "ELF",
                  4) != 0)
    return false;
  if (header[4] != 2 /* ELFCLASS64 */ || header[5] != 1 /* ELFDATA2LSB */) return false;
  const uint64_t tableOffset = Le(header + 40, 8);
  const uint64_t entrySize = Le(header + 58, 2);
  uint64_t count = Le(header + 60, 2);
  uint64_t namesIndex = Le(header + 62, 2);
  if (tableOffset == 0 || entrySize < kSectionHeaderSize) return false;

  // Files with very many sections keep the real count and the index of the
  // name table in the first section header.
  TSection first;
  if (!ReadSection(AFile, tableOffset, entrySize, 0, first)) return false;
  if (count == 0) count = first.Size;
  if (namesIndex == kShnXindex) namesIndex = first.Link;
  // The table must lie inside the file, which also bounds the loop below.
  if (count > UINT64_MAX / entrySize || !AFile.Contains(tableOffset, count * entrySize)) return false;
  if (namesIndex >= count) return false;

  TSection names;
  if (!ReadSection(AFile, tableOffset, entrySize, namesIndex, names)) return false;
  if (names.Type == kShtNobits || !AFile.Contains(names.Offset, names.Size)) return false;

  constexpr size_t kNameLength = sizeof version_record::kSectionName;  // with its NUL
  for (uint64_t i = 1; i < count; ++i) {
    TSection section;
    if (!ReadSection(AFile, tableOffset, entrySize, i, section)) return false;
    if (section.Name > names.Size || names.Size - section.Name < kNameLength) continue;
    char name[kNameLength];
    if (!AFile.Read(names.Offset + section.Name, name, kNameLength)) continue;
    if (std::memcmp(name, version_record::kSectionName, kNameLength) == 0) {
      AFound = section;
      return true;
    }
  }
  return false;
}

std::string Dotted(uint32_t AMs, uint32_t ALs) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", static_cast<int>(AMs >> 16), static_cast<int>(AMs & 0xFFFF),
                static_cast<int>(ALs >> 16), static_cast<int>(ALs & 0xFFFF));
  return buf;
}

}  // namespace

TVerInfoRes::TVerInfoRes(const std::string& AFileName) : FFileName(AFileName) {
  TFileReader file(FFileName);
  TSection section;
  if (!FindVersionSection(file, section) || section.Type == kShtNobits || section.Size == 0)
    throw ENoVerInfoError(kNoVerInfo);
  Size = section.Size;

  if (Size > kMaxRecordSize) throw EVerInfoError(kCannotObtain);
  RezBuffer.resize(Size);
  if (!file.Read(section.Offset, RezBuffer.data(), RezBuffer.size())) throw EVerInfoError(kCannotObtain);
  // The header's sizes must add up to no more than the record holds.
  if (Size < version_record::kHeaderSize || ReadU32(0) != version_record::kMagic)
    throw EVerInfoError(kCannotObtain);
  const uint64_t total =
      version_record::kHeaderSize + uint64_t{ReadU32(4)} + uint64_t{ReadU32(8)} * 4 + uint64_t{ReadU32(12)};
  if (total > Size) throw EVerInfoError(kCannotObtain);

  TBlock block;
  if (!QueryValue("\\VarFileInfo\\Translation", block) || block.Size < 4)
    throw EVerInfoError("No language info.");
  TransTable = ReadU32(block.Offset);

  if (!QueryValue("\\", block) || block.Size < version_record::kFixedInfoSize)
    throw eNoFixeVerInfo("No fixed file info");
  FFixed.FileVersionMS = ReadU32(block.Offset + 8);
  FFixed.FileVersionLS = ReadU32(block.Offset + 12);
  FFixed.ProductVersionMS = ReadU32(block.Offset + 16);
  FFixed.ProductVersionLS = ReadU32(block.Offset + 20);
  FFixed.FileFlagsMask = ReadU32(block.Offset + 24);
  FFixed.FileFlags = ReadU32(block.Offset + 28);
  FFixed.FileOS = ReadU32(block.Offset + 32);

  FFileFlags = FFixed.FileFlagsMask & FFixed.FileFlags & version_record::kFlagMask;
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
  const size_t fixedOffset = version_record::kHeaderSize;
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
    case version_record::kOsLinux: return "Linux";
    default: return "Unknown";
  }
}

std::string TVerInfoRes::GetPreDefKeyString(TVerInfoType AVerKind) const {
  static constexpr const char* kKeys[] = {
      "CompanyName",     "FileDescription",  "FileVersion", "InternalName",   "LegalCopyright",
      "LegalTrademarks", "OriginalFilename", "ProductName", "ProductVersion", "Comments",
  };
  const auto index = static_cast<size_t>(AVerKind);
  if (index >= sizeof kKeys / sizeof kKeys[0]) return "";
  return GetUserDefKeyString(kKeys[index]);
}

std::string TVerInfoRes::GetUserDefKeyString(const std::string& AKey) const {
  char block[16];
  std::snprintf(block, sizeof block, "%04x%04x", TransTable & 0xFFFF, TransTable >> 16);
  TBlock value;
  if (!QueryValue("\\StringFileInfo\\" + std::string(block) + "\\" + AKey, value)) return "";
  return std::string(reinterpret_cast<const char*>(RezBuffer.data()) + value.Offset, value.Size);
}

}  // namespace orvane
