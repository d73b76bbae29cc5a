#include "channels/stop_watch.h"

#include <gtest/gtest.h>

#include <memory>

namespace orvane {
namespace {

// A tick counter the test sets by hand.
struct TManualTicks {
  std::shared_ptr<uint32_t> Now = std::make_shared<uint32_t>(0);
  TTickSource Source() const {
    return [now = Now] { return *now; };
  }
};

TEST(TStopWatch, MeasuresAcrossTheWrapOfTheTickCounter) {
  TManualTicks ticks;
  *ticks.Now = 0xFFFFFFFFu - 295;  // 296 ms before the counter wraps to 0
  TStopWatch watch(ticks.Source());
  watch.Start();
  *ticks.Now = 704;  // 704 ms after the wrap
  EXPECT_EQ(watch.ElapsedMilliseconds(), 1000u);
}

TEST(TStopWatch, StartStopResetRestart) {
  TManualTicks ticks;
  *ticks.Now = 1000;
  TStopWatch watch(ticks.Source());
  EXPECT_FALSE(watch.IsRuning());
  EXPECT_EQ(watch.ElapsedMilliseconds(), 0u);

  watch.Start();
  *ticks.Now = 1100;
  watch.Start();  // already running: the start stays at 1000
  *ticks.Now = 1250;
  EXPECT_TRUE(watch.IsRuning());
  EXPECT_EQ(watch.ElapsedMilliseconds(), 250u);

  watch.Stop();
  *ticks.Now = 5000;
  EXPECT_FALSE(watch.IsRuning());
  EXPECT_EQ(watch.ElapsedMilliseconds(), 250u);  // frozen while stopped

  watch.Start();  // accumulates on top of the 250 ms
  *ticks.Now = 5040;
  EXPECT_EQ(watch.ElapsedMilliseconds(), 290u);

  watch.Restart();
  *ticks.Now = 5047;
  EXPECT_TRUE(watch.IsRuning());
  EXPECT_EQ(watch.ElapsedMilliseconds(), 7u);

  watch.Reset();
  EXPECT_FALSE(watch.IsRuning());
  EXPECT_EQ(watch.ElapsedMilliseconds(), 0u);
}

}  // namespace
}  // namespace orvane
