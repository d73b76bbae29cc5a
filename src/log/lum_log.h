#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "log/log_time_stamp.h"
#include "platform/locked_file.h"

namespace orvane {

// The process-wide text log: log.txt in the data directory, every line stamped
// with the local time and the writing thread's id, rotated into log_old.txt at
// 1 MiB. Only one writer may hold the file: the first to open it keeps an
// exclusive lock, and any other (a second process) writes nothing.
// A line is written whole or not at all. When the file cannot be opened or a
// line cannot be written, the user is told once through the failure sink;
// once a line goes through again, the next failure is told again.
// Threads: WriteLine from any thread; construction and destruction on the main
// thread. FLock guards FFile, FFileName and FFailing, including the size check
// and any rotation, so whole lines never interleave. The failure sink is
// called on the writing thread, outside the lock.
class TLumLog {
 public:
  static constexpr uint64_t MAX_FILE_SIZE = 1048576;

  // Takes the user's message about a failing log file (Russian, one line).
  using TFailureSink = std::function<void(const std::string& AMessage)>;

  // Opens (or creates) log.txt in ADataDir and writes the separator line and
  // the start banner with AVersion and the modification time of AExeFileName.
  // Never fails: a log that cannot be opened drops every line, after telling
  // AOnFailure why.
  TLumLog(const std::string& ADataDir, const std::string& AVersion, const std::string& AExeFileName,
          TFailureSink AOnFailure = nullptr);
  // Writes the stop banner and closes the file.
  ~TLumLog();
  TLumLog(const TLumLog&) = delete;
  TLumLog& operator=(const TLumLog&) = delete;

  // AText is written unchanged (8-bit bytes), followed by CR LF.
  void WriteLine(const std::string& AText);

  std::string FileName() const;
  bool IsOpen() const;

 private:
  void OpenLogFile();
  void CloseLogFile();
  std::string GetOldFileName() const;
  // Under FLock: the message for AMessage when the log was not failing yet,
  // else empty (told already).
  std::string Failing(const std::string& AMessage);
  void TellFailure(const std::string& AMessage) const;
  // Under FLock: "hh:nn:ss.zzz [thread] text" and CR LF, built in FLine, which is
  // kept from line to line.
  const std::string& FormatLine(const std::string& AText);

  const std::string FDataDir;
  const TFailureSink FOnFailure;
  std::string FFileName;
  TLockedFile FFile;
  bool FFailing = false;
  TLogTimeStamp FStamp;
  std::string FLine;
  mutable std::mutex FLock;
};

}  // namespace orvane
