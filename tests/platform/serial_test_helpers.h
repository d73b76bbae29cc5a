#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/main_dispatcher.h"
#include "support/child_process.h"
#include "support/fd_helpers.h"
#include "support/wait_for.h"

namespace orvane::test {

// Waits for a condition while serving the dispatcher, as the main thread does.
inline bool PumpUntil(TMainDispatcher& ADispatcher, const std::function<bool()>& ACondition,
                      std::chrono::milliseconds ADeadline = std::chrono::seconds(10)) {
  return WaitFor(
      [&] {
        ADispatcher.WaitAndProcess(5);
        return ACondition();
      },
      ADeadline);
}

// A child program with pipes on its standard input and output; killed and
// reaped on destruction whatever the test did.
class TChild : public TChildProcess {
 public:
  explicit TChild(const std::vector<std::string>& AArgs)
      : TChildProcess(AArgs, {.In = true, .Out = true, .Err = false}) {}
};

// ACount bytes that change with their position in a way no repeat, loss or
// reordering keeps (a 32-bit LCG).
inline std::string Pattern(size_t ACount, uint32_t ASeed = 1) {
  std::string data(ACount, '\0');
  for (auto& byte : data) byte = static_cast<char>((ASeed = ASeed * 1664525u + 1013904223u) >> 24);
  return data;
}

// Reads like a slow application: at most AChunk bytes per read, each after a
// wait for input, until AWant bytes came, the stream ended or the deadline passed.
inline std::string ReadSlowly(int AFd, size_t AWant, size_t AChunk = 256,
                              std::chrono::milliseconds ADeadline = std::chrono::seconds(60)) {
  std::string data;
  std::string buffer(AChunk, '\0');
  const auto end = std::chrono::steady_clock::now() + ADeadline;
  while (data.size() < AWant && std::chrono::steady_clock::now() < end) {
    pollfd pfd{AFd, POLLIN, 0};
    if (::poll(&pfd, 1, 20) <= 0) continue;
    const ssize_t n = ::read(AFd, buffer.data(), std::min(AChunk, AWant - data.size()));
    if (n > 0) data.append(buffer.data(), static_cast<size_t>(n));
    if (n == 0) break;
  }
  return data;
}

// Equal byte strings; otherwise where they part, without printing megabytes.
inline ::testing::AssertionResult SameBytes(const std::string& AGot, const std::string& AWanted) {
  if (AGot == AWanted) return ::testing::AssertionSuccess();
  const auto diff = std::mismatch(AGot.begin(), AGot.end(), AWanted.begin(), AWanted.end());
  return ::testing::AssertionFailure() << "got " << AGot.size() << " bytes, wanted " << AWanted.size()
                                       << ", first difference at " << (diff.first - AGot.begin());
}

// Runs a program to its end; true when it exited with status 0.
inline bool RunProgram(const std::vector<std::string>& AArgs) {
  TChild child(AArgs);
  int status = 0;
  return child.Started() && child.Wait(status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace orvane::test
