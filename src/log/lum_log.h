#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/locked_file.h"

namespace orvane {

// The process-wide text log: log.txt in the data directory, every line stamped
// with the local time and the writing thread's id, rotated into log_old.txt at
// 1 MiB. Only one writer may hold the file: the first to open it keeps an
// exclusive lock, and any other (a second process) writes nothing.
// Threads: WriteLine from any thread; construction and destruction on the main
// thread. FLock guards FFile and FFileName, including the size check and any
// rotation, so whole lines never interleave.
class TLumLog {
 public:
  static constexpr uint64_t MAX_FILE_SIZE = 1048576;

  // Opens (or creates) log.txt in ADataDir and writes the separator line and
  // the start banner with AVersion and the modification time of AExeFileName.
  // Never fails: a log that cannot be opened silently drops every line.
  TLumLog(const std::string& ADataDir, const std::string& AVersion, const std::string& AExeFileName);
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

  const std::string FDataDir;
  std::string FFileName;
  TLockedFile FFile;
  mutable std::mutex FLock;
};

}  // namespace orvane
