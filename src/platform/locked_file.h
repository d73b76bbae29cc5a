#pragma once

#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace orvane {

// A file held for appending under an exclusive lock: a second writer that asks
// for the same file (another process) is refused instead of mixing its data
// in. Readers are welcome. The lock goes with the descriptor, so the kernel
// releases it even after a crash.
// Threads: one thread at a time; the owner serialises.
class TLockedFile {
 public:
  // Mode of a new file: owner and group only (the log holds every byte of traffic).
  static constexpr unsigned CREATE_MODE = 0640;
  // Appends after which HasReached asks the kernel for the size even when the
  // size kept here is below the limit.
  static constexpr unsigned RECHECK_APPENDS = 64;

  // Opens (or creates) APath for appending and takes the lock without waiting.
  // False when either fails, or when APath is a symbolic link or anything but
  // a regular file; nothing stays open then, and LastError says why.
  bool Open(const std::string& APath);
  void Close() { FFd.Reset(); }
  bool IsOpen() const { return FFd.Valid(); }

  // Writes all of AData at the end of the file, or nothing: when a write fails
  // part way (a full disk), the part written is cut off again, so the next
  // data does not follow a torso. False with LastError when it fails.
  bool Append(const std::string& AData);
  // True when the file is open and holds ALimit bytes or more. The size is
  // kept here and grown by Append, so most calls ask the kernel nothing. The
  // lock is advisory, though: the file may be cut short from outside
  // (logrotate's copytruncate, `: > log.txt`) or added to by a writer that
  // ignores it (`echo >> log.txt`). So the kernel is asked before a yes, and
  // after every RECHECK_APPENDS appends, which bounds what goes uncounted.
  bool HasReached(uint64_t ALimit);
  // Renames the file to AOldPath (replacing whatever has that name) and goes
  // on in a fresh, locked file at the old path. The full file stays locked
  // until the fresh one is open, but the name is free in between: a writer
  // that opens it just then (a second instance starting) keeps it.
  // False when the rename fails: writing goes on in the same file. When the
  // fresh file cannot be opened, the object is left closed.
  bool Rotate(const std::string& AOldPath);

  // Why the last Open or Append failed, with the path.
  const std::string& LastError() const { return FLastError; }

 private:
  bool Fail(const std::string& AText);
  // Takes the kernel's size of the file; false when it cannot be asked.
  bool AskSize();

  std::string FPath;
  std::string FLastError;
  TUniqueFd FFd;
  uint64_t FSize = 0;
  unsigned FAppendsSinceAsked = 0;
};

}  // namespace orvane
