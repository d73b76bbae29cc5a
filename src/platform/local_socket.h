#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/deadline.h"
#include "platform/instance_lock.h"
#include "platform/unique_fd.h"

namespace orvane {

// The listening end of a local (unix) stream socket named AName in the folder
// ADir. It is claimed through the lock file "<AName>.lock" beside it, which the
// kernel lets go however the holder ends: the holder replaces a socket file
// that a killed instance left, and nobody else touches the socket of a live
// one. The socket file has AMode (permission bits) before anyone can connect,
// and is removed with the object.
// Threads: construction and destruction by the owner; Fd and Accept from the
// thread that serves the socket.
class TLocalListener {
 public:
  TLocalListener(const std::string& ADir, const std::string& AName, uint32_t AMode);
  ~TLocalListener();
  TLocalListener(const TLocalListener&) = delete;
  TLocalListener& operator=(const TLocalListener&) = delete;

  bool Listening() const { return FFd.Valid(); }
  // Why it does not listen: another holder, or the call that failed.
  const std::string& Error() const { return FError; }
  // Another live process serves the socket.
  bool HeldElsewhere() const { return FHeldElsewhere; }
  int Fd() const { return FFd.Get(); }
  // The next caller, non-blocking; invalid when none is waiting.
  TUniqueFd Accept();

 private:
  TUniqueFd FDir;  // the folder, so that a long path still fits an address
  std::string FName;
  std::unique_ptr<TInstanceLock> FLock;
  TUniqueFd FFd;
  std::string FError;
  bool FHeldElsewhere = false;
};

// Connects, without waiting, to the socket AName in the folder ADir; the
// descriptor is non-blocking. Invalid, with the errno in AError, when nothing
// listens there (ENOENT, ECONNREFUSED) or it cannot be reached.
TUniqueFd ConnectLocal(const std::string& ADir, const std::string& AName, int& AError);

// Writes all of AData to the non-blocking socket AFd; false when a write
// fails, ADeadline passes or AStopFd (-1: none) turns readable first.
bool WriteAllBefore(int AFd, std::string_view AData, const TDeadline& ADeadline, int AStopFd = -1);
// Reads from the non-blocking AFd until the other end closes (true); false on
// an error, after ADeadline, or once more than ALimit bytes came.
bool ReadToEndBefore(int AFd, std::string& AData, size_t ALimit, const TDeadline& ADeadline);

}  // namespace orvane
