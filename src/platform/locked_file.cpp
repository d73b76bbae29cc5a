#include "platform/locked_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/errno_text.h"

namespace orvane {

bool TLockedFile::Fail(const std::string& AText) {
  FLastError = AText;
  return false;
}

bool TLockedFile::Open(const std::string& APath) {
  FFd.Reset();
  FPath = APath;
  // A link planted under the name would have us append to whatever it points
  // at; a FIFO would block the open (O_NONBLOCK: it fails instead), and no
  // kind of file but a regular one is ours to write.
  TUniqueFd fd(::open(APath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                      CREATE_MODE));
  if (!fd.Valid()) {
    if (errno == ELOOP) return Fail(APath + " is a symbolic link");
    if (errno == ENXIO) return Fail(APath + " is not a regular file");
    return Fail(ErrnoText("open " + APath));
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return Fail(ErrnoText("fstat " + APath));
  if (!S_ISREG(st.st_mode)) return Fail(APath + " is not a regular file");
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return Fail(APath + " is held by another writer");
    return Fail(ErrnoText("flock " + APath));
  }
  // A file left readable by everybody (an older run made it so) is closed to
  // others; one that is not ours stays as it is.
  if ((st.st_mode & S_IRWXO) != 0) ::fchmod(fd.Get(), st.st_mode & 07770);
  FFd = std::move(fd);
  FSize = static_cast<uint64_t>(st.st_size);
  FAppendsSinceAsked = 0;
  return true;
}

bool TLockedFile::Append(const std::string& AData) {
  if (!FFd.Valid()) return Fail(FPath + " is not open");
  size_t done = 0;
  while (done < AData.size()) {
    const ssize_t n = ::write(FFd.Get(), AData.data() + done, AData.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      Fail(ErrnoText("write " + FPath, error));
      // Appending holds the lock, so the last done bytes of the file are ours.
      struct stat st {};
      const bool takenBack =
          done == 0 || (::fstat(FFd.Get(), &st) == 0 && static_cast<size_t>(st.st_size) >= done &&
                        ::ftruncate(FFd.Get(), st.st_size - static_cast<off_t>(done)) == 0);
      if (!takenBack) {
        FLastError += " (" + std::to_string(done) + " bytes of it could not be taken back)";
        if (!AskSize()) FSize += done;
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  FSize += done;
  ++FAppendsSinceAsked;
  return true;
}

bool TLockedFile::AskSize() {
  struct stat st {};
  if (::fstat(FFd.Get(), &st) != 0) return false;
  FSize = static_cast<uint64_t>(st.st_size);
  FAppendsSinceAsked = 0;
  return true;
}

bool TLockedFile::HasReached(uint64_t ALimit) {
  if (!FFd.Valid()) return false;
  // When the kernel cannot be asked, the size kept here answers.
  if (FSize >= ALimit || FAppendsSinceAsked >= RECHECK_APPENDS) AskSize();
  return FSize >= ALimit;
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
