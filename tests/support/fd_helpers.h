#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace orvane::test {

// A descriptor that closes itself: the program's own owner.
using TTestFd = TUniqueFd;

// A listening socket on 127.0.0.1 on a port the kernel picked (bound to port
// 0), so no other process can take it between choosing and listening; or on
// APort again, for a server that comes back where it was.
class TLoopbackListener {
 public:
  explicit TLoopbackListener(int ABacklog = 16, uint16_t APort = 0);
  uint16_t Port() const { return FPort; }
  int Fd() const { return FFd.Get(); }
  // The next connection, or an invalid fd when none came within ATimeoutMs.
  TTestFd Accept(int ATimeoutMs = 10000);
  void Close() { FFd.Reset(); }

 private:
  TTestFd FFd;
  uint16_t FPort = 0;
};

// A port number on loopback where nothing listens, so a connect to it is
// refused. The port stays bound (not listening) until the test process ends,
// so no other test can start listening on it meanwhile.
uint16_t UnusedLoopbackPort();

// Writes every byte to a socket, pipe or terminal, waiting up to ATimeoutMs
// for room when it is full. A socket whose peer has gone fails without SIGPIPE.
bool WriteAllFd(int AFd, const std::string& AData, int ATimeoutMs = 10000);
// Reads exactly ACount bytes or fails at the deadline or at the end of stream.
bool ReadExactlyFd(int AFd, size_t ACount, std::string& AData, int ATimeoutMs = 10000);
// Reads until AWant bytes came, the deadline passed or the stream ended;
// returns what came.
std::string ReadFor(int AFd, size_t AWant, std::chrono::milliseconds ADeadline = std::chrono::seconds(10));

}  // namespace orvane::test
