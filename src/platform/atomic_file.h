#pragma once

#include <cstddef>
#include <string>

namespace orvane {

// Whole-file reads and replacements for small settings files. A replacement
// never leaves the target half-written: the new contents go to a temporary
// file in the target's folder, reach the disk, and are renamed over the
// target, so a full disk or a crash leaves the previous file whole.

enum class TFileReadStatus { Ok, NotFound, Failed };

struct TFileReadResult {
  TFileReadStatus Status = TFileReadStatus::Failed;
  std::string Data;
  std::string Error;  // why it failed, in English; empty unless Failed
};

// Reads AFileName whole. A missing file (or a path through a non-directory)
// is NotFound. Anything that is not a regular file (a directory, a FIFO, a
// device) and a file larger than AMaxBytes fail without being read, so a
// stray link to /dev/zero or a pipe cannot hang the caller.
TFileReadResult ReadWholeFile(const std::string& AFileName, size_t AMaxBytes);

// The step of a replacement that failed: Write while the new contents were
// put into a temporary file (the target was not touched), Replace when the
// target could not be replaced by it (it is not a regular file, or the
// rename was refused). The target is unchanged either way.
enum class TFileReplaceStep { None, Write, Replace };

struct TFileReplaceResult {
  TFileReplaceStep FailedStep = TFileReplaceStep::None;
  std::string Error;  // why it failed, in English; empty on success
  bool Ok() const { return FailedStep == TFileReplaceStep::None; }
};

// Replaces the contents of AFileName with AData. A symbolic link is followed
// to the file it names (a dangling one: the file is created there), and the
// link stays. An existing file keeps its mode and, where the process may set
// it, its owner and group; a new file is created with mode 0600.
TFileReplaceResult ReplaceFileContents(const std::string& AFileName, const std::string& AData);

}  // namespace orvane
