#include "platform/locked_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace orvane {

bool TLockedFile::Open(const std::string& APath) {
  FFd.Reset();
  FPath = APath;
  TUniqueFd fd(::open(APath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!fd.Valid() || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return false;
  FFd = std::move(fd);
  return true;
}

bool TLockedFile::Append(const std::string& AData) {
  if (!FFd.Valid()) return false;
  size_t done = 0;
  while (done < AData.size()) {
    const ssize_t n = ::write(FFd.Get(), AData.data() + done, AData.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool TLockedFile::Size(uint64_t& ASize) const {
  struct stat st {};
  if (!FFd.Valid() || ::fstat(FFd.Get(), &st) != 0) return false;
  ASize = static_cast<uint64_t>(st.st_size);
  return true;
}

bool TLockedFile::Rotate(const std::string& AOldPath) {
  if (!FFd.Valid()) return false;
  ::unlink(AOldPath.c_str());
  if (std::rename(FPath.c_str(), AOldPath.c_str()) != 0) return false;
  // Closed only at the end, after the fresh file holds the name and the lock.
  const TUniqueFd full(FFd.Release());
  Open(FPath);
  return true;
}

}  // namespace orvane
