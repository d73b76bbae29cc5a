#include "platform/deadline.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>

#include "support/fd_helpers.h"

namespace orvane {
namespace {

TEST(TDeadline, CountsAcrossTheTickCountersWrap) {
  uint32_t now = 0xFFFFFF00u;  // 256 ms before the counter wraps
  const TTickSource ticks = [&now] { return now; };
  TDeadline deadline(1000, ticks);
  EXPECT_EQ(deadline.RemainingMs(), 1000u);
  now += 0x200;  // past the wrap: 512 ms later
  EXPECT_EQ(deadline.ElapsedMs(), 512u);
  EXPECT_EQ(deadline.RemainingMs(), 488u);
  EXPECT_EQ(deadline.PollTimeoutMs(), 488);
  EXPECT_FALSE(deadline.Expired());
  now += 488;
  EXPECT_TRUE(deadline.Expired());
  EXPECT_EQ(deadline.PollTimeoutMs(), 0);
  now += 5000;
  EXPECT_EQ(deadline.RemainingMs(), 0u);
  deadline.Restart();
  EXPECT_EQ(deadline.RemainingMs(), 1000u);

  const TDeadline never = TDeadline::Never();
  EXPECT_FALSE(never.Expired());
  EXPECT_EQ(never.PollTimeoutMs(), -1);
  EXPECT_EQ(TDeadline(UINT32_MAX, ticks).PollTimeoutMs(), INT_MAX);
}

// Signals sent to a waiting thread through a handler installed without
// SA_RESTART, so every one that lands in the wait makes poll() fail with EINTR.
class TSignalDuringWait : public ::testing::Test {
 protected:
  void SetUp() override {
    struct sigaction action {};
    action.sa_handler = [](int) { ++Handled; };
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &FOld), 0);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    FRead.Reset(fds[0]);
    FWrite.Reset(fds[1]);
    Handled = 0;
  }
  void TearDown() override { ::sigaction(SIGUSR1, &FOld, nullptr); }

  // Runs AWait on a thread of its own and signals that thread until AStop says so
  // or the wait has ended; returns once the wait has ended.
  template <typename TWait, typename TStop>
  void SignalWhileWaiting(TWait AWait, TStop AStop) {
    std::atomic<bool> done{false};
    std::thread waiter([&] {
      AWait();
      done = true;
    });
    const pthread_t handle = waiter.native_handle();
    while (!done && !AStop()) {
      ::pthread_kill(handle, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    waiter.join();
  }

  static inline std::atomic<int> Handled{0};
  struct sigaction FOld {};
  test::TTestFd FRead;
  test::TTestFd FWrite;
};

TEST_F(TSignalDuringWait, SignalsDoNotCutTheWaitShort) {
  int result = -2;
  std::chrono::steady_clock::duration took{};
  SignalWhileWaiting(
      [&] {
        const auto start = std::chrono::steady_clock::now();
        result = PollOne(FRead.Get(), POLLIN, TDeadline(300));
        took = std::chrono::steady_clock::now() - start;
      },
      [] { return false; });
  EXPECT_GT(Handled, 0);
  EXPECT_EQ(result, 0);  // a timeout, not an error
  EXPECT_GE(took, std::chrono::milliseconds(299));
}

TEST_F(TSignalDuringWait, InputAfterSignalsIsStillSeen) {
  int result = -2;
  SignalWhileWaiting([&] { result = PollOne(FRead.Get(), POLLIN, TDeadline(10000)); },
                     [&] {
                       if (Handled < 20) return false;
                       return test::WriteAllFd(FWrite.Get(), "x");
                     });
  EXPECT_GE(Handled, 20);
  EXPECT_EQ(result, POLLIN);
}

}  // namespace
}  // namespace orvane
