#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

namespace orvane {

namespace {

// Linux gives up on a chain of links at the same depth.
constexpr int MAX_LINK_HOPS = 40;

std::string ErrnoText(int AErrno) {
  return std::error_code(AErrno, std::generic_category()).message();
}

// An owned descriptor, closed on destruction.
class TFd {
 public:
  explicit TFd(int AFd) : FFd(AFd) {}
  ~TFd() {
    if (FFd >= 0) ::close(FFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;

  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  // Closes now and reports the result: a delayed write error may surface here.
  int Close() { return ::close(std::exchange(FFd, -1)); }

 private:
  int FFd;
};

// The temporary file of a replacement: removed again unless it was renamed
// over the target.
class TTempFile {
 public:
  TTempFile(std::string AName, int AFd) : FName(std::move(AName)), FFd(AFd) {}
  ~TTempFile() {
    if (!FName.empty()) ::unlink(FName.c_str());
  }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;

  const std::string& Name() const { return FName; }
  TFd& Fd() { return FFd; }
  void Keep() { FName.clear(); }

 private:
  std::string FName;
  TFd FFd;
};

std::string ParentOf(const std::string& APath) {
  const std::filesystem::path parent = std::filesystem::path(APath).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

// Follows AFileName through symbolic links to the path of the file itself.
// AExists tells whether that file exists; AStat holds its lstat when it does.
bool ResolveLinks(const std::string& AFileName, std::string& AResolved, bool& AExists, struct stat& AStat,
                  std::string& AError) {
  std::string current = AFileName;
  for (int hop = 0; hop <= MAX_LINK_HOPS; ++hop) {
    if (::lstat(current.c_str(), &AStat) != 0) {
      if (errno != ENOENT) {
        AError = ErrnoText(errno);
        return false;
      }
      AResolved = current;
      AExists = false;
      return true;
    }
    if (!S_ISLNK(AStat.st_mode)) {
      AResolved = current;
      AExists = true;
      return true;
    }
    std::vector<char> buf(static_cast<size_t>(AStat.st_size > 0 ? AStat.st_size : 255) + 1);
    for (;;) {
      const ssize_t n = ::readlink(current.c_str(), buf.data(), buf.size());
      if (n < 0) {
        AError = ErrnoText(errno);
        return false;
      }
      if (static_cast<size_t>(n) < buf.size()) {
        buf.resize(static_cast<size_t>(n));
        break;
      }
      buf.resize(buf.size() * 2);  // the link changed under us; read it again
    }
    std::string target(buf.begin(), buf.end());
    current = (!target.empty() && target[0] == '/') ? target : ParentOf(current) + "/" + target;
  }
  AError = ErrnoText(ELOOP);
  return false;
}

bool WriteAll(int AFd, const std::string& AData) {
  size_t done = 0;
  while (done < AData.size()) {
    const ssize_t n = ::write(AFd, AData.data() + done, AData.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

TFileReplaceResult Failed(TFileReplaceStep AStep, std::string AError) {
  TFileReplaceResult result;
  result.FailedStep = AStep;
  result.Error = std::move(AError);
  return result;
}

}  // namespace

TFileReadResult ReadWholeFile(const std::string& AFileName, size_t AMaxBytes) {
  TFileReadResult result;
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  TFd fd(::open(AFileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.Valid()) {
    if (errno == ENOENT || errno == ENOTDIR) {
      result.Status = TFileReadStatus::NotFound;
    } else {
      result.Error = ErrnoText(errno);
    }
    return result;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) {
    result.Error = ErrnoText(errno);
    return result;
  }
  if (S_ISDIR(st.st_mode)) {
    result.Error = ErrnoText(EISDIR);
    return result;
  }
  if (!S_ISREG(st.st_mode)) {
    result.Error = "not a regular file";
    return result;
  }
  const std::string tooLarge = "the file is larger than " + std::to_string(AMaxBytes) + " bytes";
  if (static_cast<uint64_t>(st.st_size) > AMaxBytes) {
    result.Error = tooLarge;
    return result;
  }
  // Room for one byte more than expected: it tells the end of the file, or a
  // file that grew past the limit since fstat.
  std::string data(std::min<size_t>(AMaxBytes + 1, static_cast<size_t>(st.st_size) + 1), '\0');
  size_t have = 0;
  for (;;) {
    if (have == data.size()) {
      if (have > AMaxBytes) {
        result.Error = tooLarge;
        return result;
      }
      data.resize(std::min(AMaxBytes + 1, have * 2));
    }
    const ssize_t n = ::read(fd.Get(), data.data() + have, data.size() - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      result.Error = ErrnoText(errno);
      return result;
    }
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  if (have > AMaxBytes) {
    result.Error = tooLarge;
    return result;
  }
  data.resize(have);
  result.Status = TFileReadStatus::Ok;
  result.Data = std::move(data);
  return result;
}

TFileReplaceResult ReplaceFileContents(const std::string& AFileName, const std::string& AData) {
  std::string target;
  bool exists = false;
  struct stat st {};
  std::string error;
  if (!ResolveLinks(AFileName, target, exists, st, error)) return Failed(TFileReplaceStep::Write, error);
  if (exists && !S_ISREG(st.st_mode)) {
    // A rename would put a regular file in place of a directory, device or pipe.
    return Failed(TFileReplaceStep::Replace, S_ISDIR(st.st_mode) ? ErrnoText(EISDIR) : "not a regular file");
  }

  const std::string folder = ParentOf(target);
  std::string pattern = target + ".new-XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);  // mode 0600
  if (fd < 0)
    return Failed(TFileReplaceStep::Write, "cannot create a file in " + folder + ": " + ErrnoText(errno));
  TTempFile temp(pattern, fd);
  const int tempFd = temp.Fd().Get();

  if (exists) {
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
      // Only root may give a file away; an ordinary user still keeps the group where allowed.
      if (::fchown(tempFd, st.st_uid, st.st_gid) != 0 &&
          ::fchown(tempFd, static_cast<uid_t>(-1), st.st_gid) != 0) {
        // Neither: the new file is ours, with the old file's mode.
      }
    }
    // After fchown, which may clear set-id bits.
    if (::fchmod(tempFd, st.st_mode & 07777) != 0) {
      return Failed(TFileReplaceStep::Write,
                    "cannot set the mode of " + temp.Name() + ": " + ErrnoText(errno));
    }
  } else if (::fchmod(tempFd, S_IRUSR | S_IWUSR) != 0) {
    return Failed(TFileReplaceStep::Write, "cannot set the mode of " + temp.Name() + ": " + ErrnoText(errno));
  }

  if (!WriteAll(tempFd, AData)) {
    return Failed(TFileReplaceStep::Write, "cannot write " + temp.Name() + ": " + ErrnoText(errno));
  }
  if (::fsync(tempFd) != 0) {
    return Failed(TFileReplaceStep::Write, "cannot flush " + temp.Name() + ": " + ErrnoText(errno));
  }
  if (temp.Fd().Close() != 0) {
    return Failed(TFileReplaceStep::Write, "cannot close " + temp.Name() + ": " + ErrnoText(errno));
  }
  if (::rename(temp.Name().c_str(), target.c_str()) != 0) {
    return Failed(TFileReplaceStep::Replace, "cannot replace " + target + ": " + ErrnoText(errno));
  }
  temp.Keep();

  // The rename itself reaches the disk with the folder's entry.
  TFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Valid() && ::fsync(dir.Get()) != 0) {
    // The new file is in place; some file systems cannot flush a folder.
  }
  return {};
}

}  // namespace orvane
