#include "platform/local_time.h"

#include <sys/stat.h>

#include <ctime>

namespace orvane {

namespace {

TLocalTime ToLocal(const timespec& AWhen) {
  tm local{};
  ::localtime_r(&AWhen.tv_sec, &local);
  TLocalTime time;
  time.Year = local.tm_year + 1900;
  time.Month = local.tm_mon + 1;
  time.Day = local.tm_mday;
  time.Hour = local.tm_hour;
  time.Minute = local.tm_min;
  time.Second = local.tm_sec;
  time.Millisecond = static_cast<int>(AWhen.tv_nsec / 1000000);
  return time;
}

}  // namespace

TLocalTime LocalTimeNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return ToLocal(now);
}

TWallTime WallTimeNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return {static_cast<int64_t>(now.tv_sec), static_cast<int>(now.tv_nsec / 1000000)};
}

TLocalTime LocalTimeOf(int64_t AEpochSeconds) {
  timespec when{};
  when.tv_sec = static_cast<time_t>(AEpochSeconds);
  return ToLocal(when);
}

bool FileModifiedTime(const std::string& APath, TLocalTime& ATime) {
  struct stat st {};
  if (APath.empty() || ::stat(APath.c_str(), &st) != 0) return false;
  ATime = ToLocal(st.st_mtim);
  return true;
}

}  // namespace orvane
