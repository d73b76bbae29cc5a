#include "log/lum_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace orvane {

namespace {

constexpr const char* kLogName = "log.txt";

// "hh:nn:ss.zzz" in local time.
std::string TimeStamp() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(now.tv_nsec / 1000000));
  return buf;
}

// The executable's modification time as a local date and time; empty when the
// file cannot be examined.
std::string FileDateText(const std::string& AFileName) {
  struct stat st {};
  if (AFileName.empty() || ::stat(AFileName.c_str(), &st) != 0) return "";
  tm local{};
  ::localtime_r(&st.st_mtim.tv_sec, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%d.%m.%Y %H:%M:%S", &local);
  return buf;
}

void WriteAll(int AFd, const std::string& AData) {
  size_t done = 0;
  while (done < AData.size()) {
    const ssize_t n = ::write(AFd, AData.data() + done, AData.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a failed write loses the line, nothing more
    done += static_cast<size_t>(n);
  }
}

}  // namespace

TLumLog::TLumLog(const std::string& ADataDir, const std::string& AVersion, const std::string& AExeFileName)
    : FDataDir(ADataDir) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    OpenLogFile();
  }
  WriteLine(" ");
  WriteLine("****** Start program, Version=" + AVersion + ", Date=" + FileDateText(AExeFileName) + " ******");
}

TLumLog::~TLumLog() {
  WriteLine("****** Stop program ******");
  std::lock_guard<std::mutex> guard(FLock);
  CloseLogFile();
}

std::string TLumLog::FileName() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FFileName;
}

bool TLumLog::IsOpen() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FFile >= 0;
}

void TLumLog::OpenLogFile() {
  FFileName = FDataDir.empty() ? kLogName : FDataDir + "/" + kLogName;
  const int fd = ::open(FFileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // Stands for opening with read sharing only: readers are welcome, but a
  // second writer must not mix its lines into a file another process holds.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return;
  }
  FFile = fd;
}

void TLumLog::CloseLogFile() {
  if (FFile < 0) return;
  ::close(FFile);
  FFile = -1;
}

std::string TLumLog::GetOldFileName() const {
  const std::string::size_type slash = FFileName.rfind('/');
  const std::string::size_type dot = FFileName.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return FFileName + "_old";
  return FFileName.substr(0, dot) + "_old" + FFileName.substr(dot);
}

void TLumLog::WriteLine(const std::string& AText) {
  std::lock_guard<std::mutex> guard(FLock);
  if (FFile < 0) return;

  std::string line = TimeStamp();
  line += " [" + std::to_string(::gettid()) + "] ";
  line += AText;
  line += "\r\n";
  // One write per line: the line reaches the kernel before the call returns.
  WriteAll(FFile, line);

  struct stat st {};
  if (::fstat(FFile, &st) != 0 || static_cast<uint64_t>(st.st_size) < kMaxFileSize) return;
  // The line that crossed the limit stays the last line of the old file. The
  // fresh file is opened before the full one is closed, so no other writer can
  // take the name in between. A failed rename leaves writing in the same file,
  // and the next line tries again.
  const std::string oldName = GetOldFileName();
  ::unlink(oldName.c_str());
  if (::rename(FFileName.c_str(), oldName.c_str()) != 0) return;
  const int fullFile = FFile;
  FFile = -1;
  OpenLogFile();
  ::close(fullFile);
}

}  // namespace orvane
