#pragma once

#include <cstdint>
#include <string>

namespace orvane {

// A wall-clock time in the local time zone, as log lines show it.
struct TLocalTime {
  int Year = 0;
  int Month = 0;  // 1 to 12
  int Day = 0;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};

TLocalTime LocalTimeNow();
// The wall clock now as seconds since the epoch and the millisecond within that second.
struct TWallTime {
  int64_t Seconds = 0;
  int Millisecond = 0;
};
TWallTime WallTimeNow();
// A time given in seconds since the epoch.
TLocalTime LocalTimeOf(int64_t AEpochSeconds);
// When the file was last modified; false when it cannot be examined.
bool FileModifiedTime(const std::string& APath, TLocalTime& ATime);

}  // namespace orvane
