#include "platform/elf_section.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/unique_fd.h"

namespace orvane {

namespace {

constexpr uint64_t ELF_HEADER_SIZE = 64;
constexpr uint64_t SECTION_HEADER_SIZE = 64;
constexpr uint32_t SHT_NOBITS_TYPE = 8;
constexpr uint16_t SHN_XINDEX_VALUE = 0xFFFF;

uint64_t Le(const uint8_t* AData, size_t ASize) {
  uint64_t value = 0;
  for (size_t i = ASize; i-- > 0;) value = (value << 8) | AData[i];
  return value;
}

// Byte ranges of a file or an image, refusing any range that is not wholly inside it.
class TByteSource {
 public:
  virtual ~TByteSource() = default;
  uint64_t Size() const { return FSize; }
  bool Contains(uint64_t AOffset, uint64_t ALength) const {
    return AOffset <= FSize && ALength <= FSize - AOffset;
  }
  bool Read(uint64_t AOffset, void* ADest, size_t ALength) const {
    return Contains(AOffset, ALength) && ReadInside(AOffset, static_cast<uint8_t*>(ADest), ALength);
  }

 protected:
  virtual bool ReadInside(uint64_t AOffset, uint8_t* ADest, size_t ALength) const = 0;
  uint64_t FSize = 0;
};

class TFileSource : public TByteSource {
 public:
  explicit TFileSource(const std::string& AFileName) : FFd(::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat st {};
    if (FFd.Valid() && ::fstat(FFd.Get(), &st) == 0 && S_ISREG(st.st_mode))
      FSize = static_cast<uint64_t>(st.st_size);
  }

 private:
  bool ReadInside(uint64_t AOffset, uint8_t* ADest, size_t ALength) const override {
    size_t done = 0;
    while (done < ALength) {
      const ssize_t n = ::pread(FFd.Get(), ADest + done, ALength - done, static_cast<off_t>(AOffset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  TUniqueFd FFd;
};

class TImageSource : public TByteSource {
 public:
  explicit TImageSource(std::span<const uint8_t> AImage) : FImage(AImage) { FSize = AImage.size(); }

 private:
  bool ReadInside(uint64_t AOffset, uint8_t* ADest, size_t ALength) const override {
    if (ALength > 0) std::memcpy(ADest, FImage.data() + AOffset, ALength);
    return true;
  }

  std::span<const uint8_t> FImage;
};

struct TSection {
  uint32_t Name = 0;
  uint32_t Type = 0;
  uint64_t Offset = 0;
  uint64_t Size = 0;
  uint32_t Link = 0;
};

bool ReadSection(const TByteSource& AFile, uint64_t ATableOffset, uint64_t AEntrySize, uint64_t AIndex,
                 TSection& ASection) {
  if (AIndex > (UINT64_MAX - ATableOffset) / AEntrySize) return false;
  uint8_t raw[SECTION_HEADER_SIZE];
  if (!AFile.Read(ATableOffset + AIndex * AEntrySize, raw, sizeof raw)) return false;
  ASection.Name = static_cast<uint32_t>(Le(raw + 0, 4));
  ASection.Type = static_cast<uint32_t>(Le(raw + 4, 4));
  ASection.Offset = Le(raw + 24, 8);
  ASection.Size = Le(raw + 32, 8);
  ASection.Link = static_cast<uint32_t>(Le(raw + 40, 4));
  return true;
}

// Finds the section named AName; false when the file is no 64-bit
// little-endian ELF file or has no such section.
bool FindSection(const TByteSource& AFile, const std::string& AName, TSection& AFound) {
  uint8_t header[ELF_HEADER_SIZE];
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
  if (tableOffset == 0 || entrySize < SECTION_HEADER_SIZE) return false;

  // Files with very many sections keep the real count and the index of the
  // name table in the first section header.
  TSection first;
  if (!ReadSection(AFile, tableOffset, entrySize, 0, first)) return false;
  if (count == 0) count = first.Size;
  if (namesIndex == SHN_XINDEX_VALUE) namesIndex = first.Link;
  // The table must lie inside the file, which also bounds the loop below.
  if (count > UINT64_MAX / entrySize || !AFile.Contains(tableOffset, count * entrySize)) return false;
  if (namesIndex >= count) return false;

  TSection names;
  if (!ReadSection(AFile, tableOffset, entrySize, namesIndex, names)) return false;
  if (names.Type == SHT_NOBITS_TYPE || !AFile.Contains(names.Offset, names.Size)) return false;

  const size_t nameLength = AName.size() + 1;  // with its NUL
  std::vector<char> name(nameLength);
  for (uint64_t i = 1; i < count; ++i) {
    TSection section;
    if (!ReadSection(AFile, tableOffset, entrySize, i, section)) return false;
    if (section.Name > names.Size || names.Size - section.Name < nameLength) continue;
    if (!AFile.Read(names.Offset + section.Name, name.data(), nameLength)) continue;
    if (std::memcmp(name.data(), AName.c_str(), nameLength) == 0) {
      AFound = section;
      return true;
    }
  }
  return false;
}

TElfSection ReadFrom(const TByteSource& AFile, const std::string& AName, uint64_t AMaxSize,
                     std::vector<uint8_t>& AData) {
  TSection section;
  if (!FindSection(AFile, AName, section) || section.Type == SHT_NOBITS_TYPE || section.Size == 0)
    return TElfSection::Missing;
  if (section.Size > AMaxSize) return TElfSection::Unreadable;
  AData.resize(section.Size);
  if (!AFile.Read(section.Offset, AData.data(), AData.size())) return TElfSection::Unreadable;
  return TElfSection::Found;
}

}  // namespace

TElfSection ReadElfSection(const std::string& AFileName, const std::string& AName, uint64_t AMaxSize,
                           std::vector<uint8_t>& AData) {
  return ReadFrom(TFileSource(AFileName), AName, AMaxSize, AData);
}

TElfSection ReadElfSection(std::span<const uint8_t> AImage, const std::string& AName, uint64_t AMaxSize,
                           std::vector<uint8_t>& AData) {
  return ReadFrom(TImageSource(AImage), AName, AMaxSize, AData);
}

}  // namespace orvane
