#include "app/ver_info_res.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

const std::string NO_VER_INFO = "No Version Info Available.";
const std::string CANNOT_OBTAIN = "Cannot obtain version info.";
const std::string NO_LANGUAGE = "No language info.";
const std::string NO_FIXED = "No fixed file info";

// A version record of 1.2.3.4, written out byte by byte.
std::vector<uint8_t> RecordBytes() {
  std::vector<uint8_t> record = {
      'O',  'R',  'V',  'N',               // magic
      52,   0,    0,    0,                 // fixed information: 52 bytes
      1,    0,    0,    0,                 // one translation
      0,    0,    0,    0,                 // string table size, set below
      0xBD, 0x04, 0xEF, 0xFE,              // fixed: signature
      0x00, 0x00, 0x01, 0x00,              // structure version 1.0
      0x02, 0x00, 0x01, 0x00,              // file version, high word 1, low word 2
      0x04, 0x00, 0x03, 0x00,              // file version, 3 and 4
      0x06, 0x00, 0x05, 0x00,              // product version 5.6
      0x08, 0x00, 0x07, 0x00,              // product version 7.8
      0x2F, 0x00, 0x00, 0x00,              // flag mask: all but ffInfoInferred
      0x35, 0x00, 0x00, 0x00,              // flags: debug, patched, inferred, special
      0x04, 0x00, 0x04, 0x00,              // OS: 32-bit Windows on Windows NT
      1,    0,    0,    0,    0, 0, 0, 0,  // file type, subtype
      0,    0,    0,    0,    0, 0, 0, 0,  // date
      0x09, 0x04, 0xE4, 0x04,              // translation: language 0409, code page 04e4
  };
  const std::string strings = std::string("040904e4\\CompanyName\0Test Works\0", 32) +
                              std::string("040904e4\\Comments\0\0", 19) +
                              // another translation's table is not looked at
                              std::string("0419fde9\\ProductName\0wrong table\0", 33);
  record[12] = static_cast<uint8_t>(strings.size());
  record.insert(record.end(), strings.begin(), strings.end());
  return record;
}

// A minimal 64-bit little-endian ELF file: header, three section headers
// (null, the record, the name table), the name table, then the record.
struct TElfImage {
  static constexpr size_t SECTIONS = 64;
  static constexpr size_t NAMES = SECTIONS + 3 * 64;
  static constexpr char NAME_TABLE[] = "\0.orvane_version\0.shstrtab";  // 27 bytes with the final NUL
  static constexpr size_t RECORD = NAMES + sizeof NAME_TABLE;

  std::vector<uint8_t> Bytes;

  TElfImage() : TElfImage(RecordBytes()) {}
  explicit TElfImage(const std::vector<uint8_t>& ARecord) {
    Bytes.assign(RECORD, 0);
    const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 2 /* 64-bit */, 1 /* little-endian */, 1};
    std::copy(std::begin(ident), std::end(ident), Bytes.begin());
    Put(16, 2, 2);     // executable
    Put(18, 2, 0x3E);  // x86-64
    Put(20, 4, 1);     // version
    Put(40, 8, SECTIONS);
    Put(52, 2, 64);                               // header size
    Put(58, 2, 64);                               // section header size
    Put(60, 2, 3);                                // section count
    Put(62, 2, 2);                                // index of the name table
    Section(1, 1, 1, RECORD, ARecord.size());     // .orvane_version, PROGBITS
    Section(2, 17, 3, NAMES, sizeof NAME_TABLE);  // .shstrtab, STRTAB
    std::copy(NAME_TABLE, NAME_TABLE + sizeof NAME_TABLE, Bytes.begin() + NAMES);
    Bytes.insert(Bytes.end(), ARecord.begin(), ARecord.end());
  }

  void Put(size_t AOffset, size_t ASize, uint64_t AValue) {
    for (size_t i = 0; i < ASize; ++i) Bytes[AOffset + i] = static_cast<uint8_t>(AValue >> (8 * i));
  }
  void Section(size_t AIndex, uint32_t AName, uint32_t AType, uint64_t AOffset, uint64_t ASize) {
    const size_t at = SECTIONS + AIndex * 64;
    Put(at + 0, 4, AName);
    Put(at + 4, 4, AType);
    Put(at + 24, 8, AOffset);
    Put(at + 32, 8, ASize);
  }
  static size_t Field(size_t AIndex, size_t AOffset) { return SECTIONS + AIndex * 64 + AOffset; }
};

class TVerInfoResFile : public ::testing::Test {
 protected:
  std::string Write(const std::vector<uint8_t>& ABytes) {
    const fs::path path = FDir.Path() / ("file" + std::to_string(FCount++));
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(ABytes.data()), static_cast<std::streamsize>(ABytes.size()));
    return path.string();
  }

  test::TTempDir FDir;
  int FCount = 0;
};

enum class TOutcome { Ok, NoVerInfo, VerInfoError, NoFixed };

// Reads AFile and tells which of the three errors (and which text) it raised.
std::pair<TOutcome, std::string> Outcome(const std::string& AFile) {
  try {
    TVerInfoRes info(AFile);
    return {TOutcome::Ok, info.FileVersion()};
  } catch (const ENoVerInfoError& e) {
    return {TOutcome::NoVerInfo, e.what()};
  } catch (const EVerInfoError& e) {
    return {TOutcome::VerInfoError, e.what()};
  } catch (const eNoFixeVerInfo& e) {
    return {TOutcome::NoFixed, e.what()};
  }
}

TEST(TVerInfoRes, BuiltExecutableReportsItsOwnRecord) {
  const TVerInfoRes info(ORVANE_EXECUTABLE);
  EXPECT_EQ(info.FileVersion(), ORVANE_EXPECTED_VERSION);
  EXPECT_EQ(info.ProductVersion(), ORVANE_EXPECTED_VERSION);
  EXPECT_EQ(std::to_string(info.FileMajorVersion()) + "." + std::to_string(info.FileMinorVersion()) + "." +
                std::to_string(info.FileRelease()) + "." + std::to_string(info.FileBuild()),
            ORVANE_EXPECTED_VERSION);
  EXPECT_EQ(info.FileOS(), "Linux");
  EXPECT_EQ(info.GetPreDefKeyString(viFileVersion), ORVANE_EXPECTED_VERSION);
  EXPECT_EQ(info.GetPreDefKeyString(viProductName), "Orvane");
  EXPECT_EQ(info.GetPreDefKeyString(viCompanyName), "");
  EXPECT_EQ(info.FileFlags(), ORVANE_EXPECTED_DEBUG ? TFileFlags{ffDebug} : TFileFlags{0});
}

TEST_F(TVerInfoResFile, ReadsEveryFieldOfTheRecord) {
  const TVerInfoRes info(Write(TElfImage().Bytes));
  EXPECT_EQ(info.FileVersion(), "1.2.3.4");
  EXPECT_EQ(info.FileMajorVersion(), 1);
  EXPECT_EQ(info.FileMinorVersion(), 2);
  EXPECT_EQ(info.FileRelease(), 3);
  EXPECT_EQ(info.FileBuild(), 4);
  EXPECT_EQ(info.ProductVersion(), "5.6.7.8");
  EXPECT_EQ(info.ProductMajorVersion(), 5);
  EXPECT_EQ(info.ProductBuild(), 8);
  // A flag counts only when both the mask and the flags carry it.
  EXPECT_EQ(info.FileFlags(), TFileFlags{ffDebug | ffPatched | ffSpecialBuild});
  EXPECT_EQ(info.FileOS(), "32-bit Windows running on Windows NT");
  EXPECT_EQ(info.GetPreDefKeyString(viCompanyName), "Test Works");
  EXPECT_EQ(info.GetUserDefKeyString("CompanyName"), "Test Works");
  EXPECT_EQ(info.GetPreDefKeyString(viComments), "");
  EXPECT_EQ(info.GetPreDefKeyString(viProductName), "");
  EXPECT_EQ(info.GetUserDefKeyString("NoSuchKey"), "");
  EXPECT_EQ(info.GetUserDefKeyString(""), "");
}

TEST_F(TVerInfoResFile, FilesWithoutARecordHaveNoVersionInfo) {
  fs::create_directory(FDir.Path() / "folder");
  TElfImage bigEndian;
  bigEndian.Bytes[5] = 2;
  TElfImage elf32;
  elf32.Bytes[4] = 1;
  TElfImage renamed;  // the same record under another section name
  renamed.Bytes[TElfImage::NAMES + 2] = 'X';
  TElfImage empty;
  empty.Put(TElfImage::Field(1, 32), 8, 0);
  TElfImage nobits;
  nobits.Put(TElfImage::Field(1, 4), 4, 8);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"missing", (FDir.Path() / "missing").string()},
      {"empty file", Write({})},
      {"folder", (FDir.Path() / "folder").string()},
      {"text", Write({'h', 'e', 'l', 'l', 'o', '\n'})},
      {"executable without a record", "/proc/self/exe"},
      {"big-endian", Write(bigEndian.Bytes)},
      {"32-bit", Write(elf32.Bytes)},
      {"other section name", Write(renamed.Bytes)},
      {"empty section", Write(empty.Bytes)},
      {"section without data", Write(nobits.Bytes)},
  };
  for (const auto& [what, file] : files) {
    SCOPED_TRACE(what);
    EXPECT_EQ(Outcome(file), std::make_pair(TOutcome::NoVerInfo, NO_VER_INFO));
  }
}

TEST_F(TVerInfoResFile, DamagedFilesRaiseTheirError) {
  using TMutate = std::function<void(TElfImage&)>;
  const size_t rec = TElfImage::RECORD;
  struct TCase {
    const char* What;
    TMutate Mutate;
    TOutcome Kind;
    std::string Text;
  };
  const std::vector<TCase> cases = {
      {"section table past the end", [](TElfImage& e) { e.Put(40, 8, 1u << 20); }, TOutcome::NoVerInfo,
       NO_VER_INFO},
      {"section table offset wraps", [](TElfImage& e) { e.Put(40, 8, ~uint64_t{0} - 8); },
       TOutcome::NoVerInfo, NO_VER_INFO},
      {"section entries too small", [](TElfImage& e) { e.Put(58, 2, 16); }, TOutcome::NoVerInfo, NO_VER_INFO},
      {"section count past the end", [](TElfImage& e) { e.Put(60, 2, 0xFFFE); }, TOutcome::NoVerInfo,
       NO_VER_INFO},
      {"extended count huge", [](TElfImage& e) { e.Put(60, 2, 0), e.Put(TElfImage::Field(0, 32), 8, ~0ull); },
       TOutcome::NoVerInfo, NO_VER_INFO},
      {"name table index out of range", [](TElfImage& e) { e.Put(62, 2, 3); }, TOutcome::NoVerInfo,
       NO_VER_INFO},
      {"name table past the end", [](TElfImage& e) { e.Put(TElfImage::Field(2, 24), 8, 1u << 30); },
       TOutcome::NoVerInfo, NO_VER_INFO},
      {"name offset past the table", [](TElfImage& e) { e.Put(TElfImage::Field(1, 0), 4, 0xFFFFFFF0); },
       TOutcome::NoVerInfo, NO_VER_INFO},
      {"name runs off the table", [](TElfImage& e) { e.Put(TElfImage::Field(2, 32), 8, 10); },
       TOutcome::NoVerInfo, NO_VER_INFO},
      {"record past the end", [](TElfImage& e) { e.Put(TElfImage::Field(1, 24), 8, 1u << 20); },
       TOutcome::VerInfoError, CANNOT_OBTAIN},
      {"record size huge", [](TElfImage& e) { e.Put(TElfImage::Field(1, 32), 8, ~uint64_t{0}); },
       TOutcome::VerInfoError, CANNOT_OBTAIN},
      {"record offset wraps", [](TElfImage& e) { e.Put(TElfImage::Field(1, 24), 8, ~uint64_t{0} - 4); },
       TOutcome::VerInfoError, CANNOT_OBTAIN},
      {"record shorter than its header", [](TElfImage& e) { e.Put(TElfImage::Field(1, 32), 8, 12); },
       TOutcome::VerInfoError, CANNOT_OBTAIN},
      {"wrong magic", [rec](TElfImage& e) { e.Bytes[rec] = 'X'; }, TOutcome::VerInfoError, CANNOT_OBTAIN},
      {"fixed size beyond the record", [rec](TElfImage& e) { e.Put(rec + 4, 4, 0xFFFFFFFF); },
       TOutcome::VerInfoError, CANNOT_OBTAIN},
      {"translation count beyond the record", [rec](TElfImage& e) { e.Put(rec + 8, 4, 0x40000000); },
       TOutcome::VerInfoError, CANNOT_OBTAIN},
      {"string table beyond the record", [rec](TElfImage& e) { e.Put(rec + 12, 4, 0xFFFFFFFF); },
       TOutcome::VerInfoError, CANNOT_OBTAIN},
      {"no translation", [rec](TElfImage& e) { e.Put(rec + 8, 4, 0); }, TOutcome::VerInfoError, NO_LANGUAGE},
      {"no fixed information", [rec](TElfImage& e) { e.Put(rec + 4, 4, 0); }, TOutcome::NoFixed, NO_FIXED},
      {"fixed information of 51 bytes", [rec](TElfImage& e) { e.Put(rec + 4, 4, 51); }, TOutcome::NoFixed,
       NO_FIXED},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    TElfImage image;
    c.Mutate(image);
    EXPECT_EQ(Outcome(Write(image.Bytes)), std::make_pair(c.Kind, c.Text));
  }
}

TEST_F(TVerInfoResFile, UnterminatedStringTableFindsNothingPastItsEnd) {
  std::vector<uint8_t> record = RecordBytes();
  const std::string tail = "040904e4\\ProductName\0cut";
  record.insert(record.end(), tail.begin(), tail.end());
  record[12] = static_cast<uint8_t>(record[12] + tail.size());
  const TVerInfoRes info(Write(TElfImage(record).Bytes));
  EXPECT_EQ(info.GetPreDefKeyString(viCompanyName), "Test Works");
  EXPECT_EQ(info.GetPreDefKeyString(viProductName), "");
}

TEST_F(TVerInfoResFile, EveryTruncationRaises) {
  const std::vector<uint8_t> full = TElfImage().Bytes;
  for (size_t length = 0; length < full.size(); ++length) {
    SCOPED_TRACE(length);
    const auto [kind, text] = Outcome(Write({full.begin(), full.begin() + static_cast<long>(length)}));
    // Cut inside the headers or names: no record to be found; cut inside the
    // record: it is there but cannot be read.
    if (length < TElfImage::RECORD) {
      EXPECT_EQ(kind, TOutcome::NoVerInfo) << text;
    } else {
      EXPECT_EQ(std::make_pair(kind, text), std::make_pair(TOutcome::VerInfoError, CANNOT_OBTAIN));
    }
  }
}

TEST_F(TVerInfoResFile, RandomDamageNeverCrashes) {
  // Under the sanitizers this shows that no read leaves the file or the record.
  std::mt19937 random(20261210);
  const std::vector<uint8_t> full = TElfImage().Bytes;
  for (int round = 0; round < 1500; ++round) {
    std::vector<uint8_t> bytes = full;
    const int hits = 1 + static_cast<int>(random() % 4);
    for (int h = 0; h < hits; ++h) bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
    const auto [kind, text] = Outcome(Write(bytes));
    if (kind == TOutcome::Ok) {
      EXPECT_FALSE(text.empty());
    }
  }
}

}  // namespace
}  // namespace orvane
