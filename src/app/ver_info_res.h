#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane {

class EVerInfoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ENoVerInfoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The name is kept as given, lower-case "e" and spelling included.
class eNoFixeVerInfo : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TFileFlag : uint32_t {
  ffDebug = 1,
  ffPreRelease = 2,
  ffPatched = 4,
  ffPrivateBuild = 8,
  ffInfoInferred = 16,
  ffSpecialBuild = 32,
};
// A set of TFileFlag bits.
using TFileFlags = uint32_t;

// The ten standard string keys of a version record.
enum TVerInfoType {
  viCompanyName,
  viFileDescription,
  viFileVersion,
  viInternalName,
  viLegalCopyright,
  viLegalTrademarks,
  viOriginalFilename,
  viProductName,
  viProductVersion,
  viComments,
};

// The version record of a program file, read once from the file's
// ".orvane_version" ELF section (64-bit little-endian ELF). Construction
// raises ENoVerInfoError, EVerInfoError or eNoFixeVerInfo; every read is
// checked against the file, so a damaged or hostile file only raises.
// Immutable after construction: any thread may read it.
class TVerInfoRes {
 public:
  explicit TVerInfoRes(const std::string& AFileName);

  const std::string& FileName() const { return FFileName; }

  std::string FileVersion() const;
  uint16_t FileMajorVersion() const { return FFixed.FileVersionMS >> 16; }
  uint16_t FileMinorVersion() const { return FFixed.FileVersionMS & 0xFFFF; }
  uint16_t FileRelease() const { return FFixed.FileVersionLS >> 16; }
  uint16_t FileBuild() const { return FFixed.FileVersionLS & 0xFFFF; }

  std::string ProductVersion() const;
  uint16_t ProductMajorVersion() const { return FFixed.ProductVersionMS >> 16; }
  uint16_t ProductMinorVersion() const { return FFixed.ProductVersionMS & 0xFFFF; }
  uint16_t ProductRelease() const { return FFixed.ProductVersionLS >> 16; }
  uint16_t ProductBuild() const { return FFixed.ProductVersionLS & 0xFFFF; }

  TFileFlags FileFlags() const { return FFileFlags; }
  std::string FileOS() const;

  // Values of the string table of the first translation; empty when missing.
  std::string GetPreDefKeyString(TVerInfoType AVerKind) const;
  std::string GetUserDefKeyString(const std::string& AKey) const;

 private:
  struct TFixedFileInfo {
    uint32_t FileVersionMS = 0;
    uint32_t FileVersionLS = 0;
    uint32_t ProductVersionMS = 0;
    uint32_t ProductVersionLS = 0;
    uint32_t FileFlagsMask = 0;
    uint32_t FileFlags = 0;
    uint32_t FileOS = 0;
  };
  struct TBlock {
    size_t Offset = 0;
    size_t Size = 0;
  };

  // Finds a value by its path in the record: "\" (fixed information),
  // "\VarFileInfo\Translation" or "\StringFileInfo\<lang><cp>\<key>".
  bool QueryValue(const std::string& APath, TBlock& ABlock) const;
  uint32_t ReadU32(size_t AOffset) const;

  std::string FFileName;
  uint64_t Size = 0;
  std::vector<uint8_t> RezBuffer;
  uint32_t TransTable = 0;
  TFixedFileInfo FFixed;
  TFileFlags FFileFlags = 0;
};

}  // namespace orvane
