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
  // Opens (or creates) APath for appending and takes the lock without waiting.
  // False when either fails; nothing stays open then.
  bool Open(const std::string& APath);
  void Close() { FFd.Reset(); }
  bool IsOpen() const { return FFd.Valid(); }

  // Writes all of AData at the end of the file; false when a write fails
  // (what was written stays).
  bool Append(const std::string& AData);
  // The size of the file; false when it cannot be told.
  bool Size(uint64_t& ASize) const;
  // Renames the file to AOldPath (replacing whatever has that name) and goes
  // on in a fresh, locked file at the old path. The fresh file is opened before
  // the full one is let go, so no other writer can take the name in between.
  // False when the rename fails: writing goes on in the same file. When the
  // fresh file cannot be opened, the object is left closed.
  bool Rotate(const std::string& AOldPath);

 private:
  std::string FPath;
  TUniqueFd FFd;
};

}  // namespace orvane
