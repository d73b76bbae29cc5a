#include "platform/atomic_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

TEST(ReadWholeFile, LimitAndMissingFiles) {
  test::TTempDir dir;
  const fs::path file = dir.Path() / "f";
  std::ofstream(file, std::ios::binary) << std::string(100, 'x');
  {
    const TFileReadResult r = ReadWholeFile(file.string(), 100);  // exactly the limit
    EXPECT_EQ(r.Status, TFileReadStatus::Ok);
    EXPECT_EQ(r.Data, std::string(100, 'x'));
  }
  {
    const TFileReadResult r = ReadWholeFile(file.string(), 99);
    EXPECT_EQ(r.Status, TFileReadStatus::Failed);
    EXPECT_EQ(r.Error, "the file is larger than 99 bytes");
    EXPECT_TRUE(r.Data.empty());
  }
  std::ofstream(dir.Path() / "empty", std::ios::binary);
  EXPECT_EQ(ReadWholeFile((dir.Path() / "empty").string(), 0).Status, TFileReadStatus::Ok);
  // Not there, or behind a path through a file: no file, not an error.
  EXPECT_EQ(ReadWholeFile((dir.Path() / "none").string(), 100).Status, TFileReadStatus::NotFound);
  EXPECT_EQ(ReadWholeFile((file / "below").string(), 100).Status, TFileReadStatus::NotFound);
}

}  // namespace
}  // namespace orvane
