#pragma once

#include <filesystem>
#include <string>

namespace orvane::test {

// A fresh directory under the system temp folder, removed with its contents.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return FPath; }
  std::string Str() const { return FPath.string(); }

 private:
  std::filesystem::path FPath;
};

}  // namespace orvane::test
