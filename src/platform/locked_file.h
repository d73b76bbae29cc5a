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
  // The size of the file; false when it is not open. Kept here rather than
  // asked of the kernel: the lock keeps other writers out, so only Append
  // changes it.
  bool Size(uint64_t& ASize) const;
  // Renames the file to AOldPath (replacing whatever has that name) and goes
  // on in a fresh, locked file at the old path. The fresh file is opened before
  // the full one is let go, so no other writer can take the name in between.
  // False when the rename fails: writing goes on in the same file. When the
  // fresh file cannot be opened, the object is left closed.
  bool Rotate(const std::string& AOldPath);

  // Why the last Open or Append failed, with the path.
  const std::string& LastError() const { return FLastError; }

 private:
  bool Fail(const std::string& AText);

  std::string FPath;
  std::string FLastError;
  TUniqueFd FFd;
  uint64_t FSize = 0;
};

}  // namespace orvane
