#include "platform/elf_section.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

namespace orvane {
namespace {

// The fuzzer's entry (an image in memory) reads the same as the file itself;
// the record's own cases are in the version reader's tests.
TEST(ReadElfSection, AnImageInMemoryReadsAsItsFile) {
  const char* self = "/proc/self/exe";
  std::vector<uint8_t> fromFile;
  ASSERT_EQ(ReadElfSection(self, ".comment", 1 << 20, fromFile), TElfSection::Found);
  ASSERT_FALSE(fromFile.empty());

  std::ifstream in(self, std::ios::binary);
  const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<uint8_t> fromImage;
  EXPECT_EQ(ReadElfSection(image, ".comment", 1 << 20, fromImage), TElfSection::Found);
  EXPECT_EQ(fromImage, fromFile);

  std::vector<uint8_t> none;
  EXPECT_EQ(ReadElfSection(image, ".no_such_section", 1 << 20, none), TElfSection::Missing);
  EXPECT_EQ(ReadElfSection(image, ".comment", 1, none), TElfSection::Unreadable);
  EXPECT_EQ(
      ReadElfSection(std::vector<uint8_t>(image.begin(), image.begin() + 63), ".comment", 1 << 20, none),
      TElfSection::Missing);
}

}  // namespace
}  // namespace orvane
