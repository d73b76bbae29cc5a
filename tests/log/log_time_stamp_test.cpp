#include "log/log_time_stamp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/local_time.h"

namespace orvane {
namespace {

// The stamp as it was made before the second's text was kept.
std::string PlainStamp(int64_t AEpochSeconds, int AMillisecond) {
  const TLocalTime time = LocalTimeOf(AEpochSeconds);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", time.Hour, time.Minute, time.Second, AMillisecond);
  return text;
}

TEST(TLogTimeStamp, EveryMomentReadsAsThePlainFormattingOfIt) {
  struct TCase {
    int64_t Seconds;
    int Millisecond;
  };
  // One stamp for the whole table, so the kept second is reused, replaced on a new
  // second and replaced again when the clock is set back.
  const TCase cases[] = {
      {1704164645, 0},   {1704164645, 7},  {1704164645, 999}, {1704164646, 10},
      {1704164659, 123}, {1704164660, 1},  {1704167999, 500}, {1704168000, 0},
      {1704239999, 998}, {1704240000, 5},  {1704164645, 42},  {0, 0},
      {1704164645, 42},  {2000000000, 99}, {2000000000, 100},
  };
  TLogTimeStamp stamp;
  for (const TCase& c : cases) {
    std::string line = "x";
    stamp.Append(line, c.Seconds, c.Millisecond);
    EXPECT_EQ(line, "x" + PlainStamp(c.Seconds, c.Millisecond))
        << c.Seconds << " s " << c.Millisecond << " ms";
  }
}

}  // namespace
}  // namespace orvane
