#include "log/lum_log.h"

#include <cstdio>

#include "platform/local_time.h"
#include "platform/thread_id.h"

namespace orvane {

namespace {

constexpr const char* LOG_NAME = "log.txt";
const std::string CANNOT_OPEN = "Файл журнала не открывается, журнал не ведётся: ";
const std::string CANNOT_WRITE = "Строки журнала не записываются: ";

// A line buffer grown beyond this by a long line is not kept for the next one.
constexpr size_t KEPT_LINE_CAPACITY = 64 * 1024;

// The executable's modification time as a local date and time; empty when the
// file cannot be examined.
std::string FileDateText(const std::string& AFileName) {
  TLocalTime time;
  if (!FileModifiedTime(AFileName, time)) return "";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", time.Day, time.Month, time.Year, time.Hour,
                time.Minute, time.Second);
  return buf;
}

}  // namespace

TLumLog::TLumLog(const std::string& ADataDir, const std::string& AVersion, const std::string& AExeFileName,
                 TFailureSink AOnFailure)
    : FDataDir(ADataDir), FOnFailure(std::move(AOnFailure)) {
  std::string failure;
  {
    std::lock_guard<std::mutex> guard(FLock);
    OpenLogFile();
    if (!FFile.IsOpen()) failure = Failing(CANNOT_OPEN + FFile.LastError());
  }
  TellFailure(failure);
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
  return FFile.IsOpen();
}

void TLumLog::OpenLogFile() {
  FFileName = FDataDir.empty() ? LOG_NAME : FDataDir + "/" + LOG_NAME;
  // Stands for opening with read sharing only: readers are welcome, but a
  // second writer must not mix its lines into a file another process holds.
  FFile.Open(FFileName);
}

void TLumLog::CloseLogFile() {
  FFile.Close();
}

std::string TLumLog::GetOldFileName() const {
  const std::string::size_type slash = FFileName.rfind('/');
  const std::string::size_type dot = FFileName.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return FFileName + "_old";
  return FFileName.substr(0, dot) + "_old" + FFileName.substr(dot);
}

std::string TLumLog::Failing(const std::string& AMessage) {
  if (FFailing) return {};
  FFailing = true;
  return AMessage;
}

void TLumLog::TellFailure(const std::string& AMessage) const {
  if (!AMessage.empty() && FOnFailure) FOnFailure(AMessage);
}

const std::string& TLumLog::FormatLine(const std::string& AText) {
  if (FLine.capacity() > KEPT_LINE_CAPACITY) std::string().swap(FLine);
  FLine.clear();
  const TWallTime now = WallTimeNow();
  FStamp.Append(FLine, now.Seconds, now.Millisecond);
  FLine += " [";
  FLine += std::to_string(CurrentThreadId());
  FLine += "] ";
  FLine += AText;
  FLine += "\r\n";
  return FLine;
}

void TLumLog::WriteLine(const std::string& AText) {
  std::string failure;
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FFile.IsOpen()) return;

    const std::string& line = FormatLine(AText);
    // One write per line: the line reaches the kernel before the call returns.
    // A failed write loses the line, nothing more (none of it stays).
    if (!FFile.Append(line)) {
      failure = Failing(CANNOT_WRITE + FFile.LastError());
    } else {
      FFailing = false;
      // The line that crossed the limit stays the last line of the old file.
      // A failed rename leaves writing in the same file, and the next line
      // tries again; a fresh file that cannot be opened is said.
      if (FFile.HasReached(MAX_FILE_SIZE) && FFile.Rotate(GetOldFileName()) && !FFile.IsOpen())
        failure = Failing(CANNOT_OPEN + FFile.LastError());
    }
  }
  TellFailure(failure);
}

}  // namespace orvane
