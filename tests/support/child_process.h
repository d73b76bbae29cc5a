#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/fd_helpers.h"

namespace orvane::test {

// Which standard streams of a child come to the test through pipes; the
// others are the test's own.
struct TChildPipes {
  bool In = false;
  bool Out = false;
  bool Err = false;
};

// A child program (AArgs[0], looked up in PATH unless it holds a slash) with
// pipes on the streams APipes names; killed and reaped on destruction
// whatever the test did.
class TChildProcess {
 public:
  TChildProcess(const std::vector<std::string>& AArgs, TChildPipes APipes);
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Started() const { return FPid > 0; }
  pid_t Pid() const { return FPid; }
  // The test's ends of the pipes (-1 for a stream without one).
  int In() const { return FIn.Get(); }
  int Out() const { return FOut.Get(); }
  int Err() const { return FErr.Get(); }
  // The child sees the end of its input.
  void CloseIn() { FIn.Reset(); }
  // The child's output has no reader any more.
  void CloseOut() { FOut.Reset(); }

  // Whether the child has ended, without waiting; its status is kept.
  bool Ended();
  // Waits for the end; true with the wait status when it ended before the deadline.
  bool Wait(int& AStatus, std::chrono::milliseconds ADeadline = std::chrono::seconds(10));
  // Stops the child where it is (SIGSTOP) and waits until it stands: what
  // happens around it meanwhile, it sees only once thawed.
  bool Freeze();
  void Thaw();

 private:
  pid_t FPid = -1;
  TTestFd FIn;
  TTestFd FOut;
  TTestFd FErr;
  bool FExited = false;
  int FStatus = 0;
};

// Appends what AFd holds now to AText, without waiting for more.
void ReadAvailable(int AFd, std::string& AText);

}  // namespace orvane::test
