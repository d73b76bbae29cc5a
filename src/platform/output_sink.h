#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/unique_fd.h"
#include "platform/wake_event.h"

namespace orvane {

// Lines for a descriptor that may stop taking them (standard output of the
// service, read by nobody or by a reader that went away): nobody who adds a
// line ever waits for it. Lines wait in a bounded buffer and a thread of the
// sink's own writes them in batches as the descriptor takes them, without
// blocking. A line that does not fit is dropped whole and counted; once output
// flows again, one line gives the count. A reader that went away (EPIPE) or a
// failing descriptor ends the output: later lines are only counted. SIGPIPE
// is held off in the sink's thread, so a closed pipe never ends the program.
// Threads: Add and the counts from any thread; construction and destruction on
// one. FLock guards the buffer, the counts and the state of the descriptor.
class TOutputSink {
 public:
  // Bytes of lines that may wait for the descriptor: as much again as a pipe holds.
  static constexpr size_t BUFFER_LIMIT = 65536;

  // Writes to a descriptor of its own for the same file as AFd (AFd stays the
  // caller's and keeps its flags). AName names the output in the count line.
  // Throws std::system_error when the descriptor or the thread cannot be had.
  TOutputSink(int AFd, std::string AName, size_t ALimit = BUFFER_LIMIT);
  // A last write of what the descriptor takes at once, then the thread ends:
  // never waits for a reader.
  ~TOutputSink();
  TOutputSink(const TOutputSink&) = delete;
  TOutputSink& operator=(const TOutputSink&) = delete;

  // Queues ALine and a line end.
  void Add(std::string_view ALine);
  // Lines dropped so far.
  uint64_t Dropped() const;

 private:
  void Run();
  // Under FLock: writes what the descriptor takes now; after progress, the
  // count of a drop run joins the buffer. True while bytes are left to write.
  bool WriteLocked();
  size_t PendingLocked() const { return FBuffer.size() - FHead; }
  bool RoomLocked(size_t ABytes) const { return PendingLocked() + ABytes <= FLimit; }
  std::string CountLine(uint64_t ACount) const;

  const std::string FName;
  const size_t FLimit;
  TUniqueFd FFd;
  bool FIsSocket = false;
  int FRestoreFlags = -1;  // the shared file status flags to restore, when they had to change
  TWakeEvent FWake;
  mutable std::mutex FLock;
  std::string FBuffer;  // lines to write from FHead on
  size_t FHead = 0;
  uint64_t FDropped = 0;
  uint64_t FDropRun = 0;  // dropped since output last flowed
  bool FBroken = false;
  bool FStop = false;
  std::thread FThread;
};

}  // namespace orvane
