#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace orvane {

// The "hh:nn:ss.zzz" local time in front of a log line. The text of the second is kept:
// a busy port writes many lines a second, and turning seconds into a local time costs
// more than the rest of the line.
// Threads: one thread at a time (the log writer's lock).
class TLogTimeStamp {
 public:
  // Appends the stamp of the moment AEpochSeconds + AMillisecond.
  void Append(std::string& ALine, int64_t AEpochSeconds, int AMillisecond);

 private:
  std::optional<int64_t> FSecond;
  // "hh:nn:ss." of FSecond.
  std::array<char, 9> FSecondText{};
};

}  // namespace orvane
