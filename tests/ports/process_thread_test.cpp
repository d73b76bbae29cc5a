#include "ports/process_thread.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "support/wait_for.h"

namespace orvane {
namespace {

// True once a call is queued for the main thread, i.e. a worker sits in Synchronize.
bool HandOffPending(const TMainDispatcher& ADispatcher) {
  pollfd pfd{ADispatcher.WakeFd(), POLLIN, 0};
  return test::WaitFor([&] { return ::poll(&pfd, 1, 0) == 1; });
}

TEST(TProcessThread, CreatedSuspendedAndNeverStartedRunsNoPass) {
  TMainDispatcher dispatcher;
  std::atomic<int> passes{0};
  {
    TProcessThread thread(dispatcher, [&] { ++passes; });
    EXPECT_FALSE(thread.Started());
    EXPECT_EQ(dispatcher.WaitAndProcess(20), 0u);
  }
  EXPECT_EQ(passes, 0);

  // Stopped before it was started: it still ends without a pass.
  TProcessThread stopped(dispatcher, [&] { ++passes; });
  stopped.Terminate();
  stopped.Start();
  stopped.WaitFor();
  EXPECT_TRUE(stopped.Finished());
  EXPECT_EQ(passes, 0);
}

TEST(TProcessThread, RepeatsThePassUntilTerminated) {
  TMainDispatcher dispatcher;
  std::atomic<int> passes{0};
  TProcessThread thread(dispatcher, [&] { ++passes; });
  thread.Start();
  thread.Start();  // a second start changes nothing
  ASSERT_TRUE(test::WaitFor([&] { return passes >= 5; }));
  thread.Terminate();
  thread.WaitFor();
  const int after = passes;
  EXPECT_TRUE(thread.Finished());
  EXPECT_EQ(dispatcher.WaitAndProcess(20), 0u);
  EXPECT_EQ(passes, after);
}

TEST(TProcessThread, StopRequestWaitsForTheRunningPassToEnd) {
  TMainDispatcher dispatcher;
  std::atomic<int> entered{0};
  std::atomic<int> completed{0};
  std::atomic<bool> release{false};
  auto thread = std::make_unique<TProcessThread>(dispatcher, [&] {
    ++entered;
    while (!release) std::this_thread::yield();  // a pass blocked on its network
    ++completed;
  });
  thread->Start();
  ASSERT_TRUE(test::WaitFor([&] { return entered == 1; }));
  thread->Terminate();
  EXPECT_FALSE(thread->Finished());
  release = true;
  thread.reset();
  EXPECT_EQ(entered, 1);
  EXPECT_EQ(completed, 1);
}

TEST(TProcessThread, SynchronizeRunsOnTheMainThreadBeforeReturning) {
  TMainDispatcher dispatcher;
  std::atomic<bool> ranOnMain{false};
  std::atomic<bool> sawResult{false};
  std::atomic<bool> done{false};
  TProcessThread* self = nullptr;
  TProcessThread thread(dispatcher, [&] {
    if (done) return;
    int value = 0;
    self->Synchronize([&] {
      ranOnMain = dispatcher.IsMainThread();
      value = 42;
    });
    sawResult = value == 42;
    done = true;
  });
  self = &thread;
  thread.Start();
  ASSERT_TRUE(test::WaitFor([&] {
    dispatcher.WaitAndProcess(10);
    return done.load();
  }));
  EXPECT_TRUE(ranOnMain);
  EXPECT_TRUE(sawResult);
}

TEST(TProcessThread, SynchronizeOnTheMainThreadRunsAtOnce) {
  TMainDispatcher dispatcher;
  TProcessThread thread(dispatcher, nullptr);
  bool ran = false;
  thread.Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(dispatcher.ProcessPending(), 0u);
}

TEST(TProcessThread, DestroyWhileWorkerWaitsInSynchronizeServesTheCall) {
  TMainDispatcher dispatcher;
  std::atomic<int> served{0};
  std::atomic<int> passes{0};
  TProcessThread* self = nullptr;
  auto thread = std::make_unique<TProcessThread>(dispatcher, [&] {
    ++passes;
    self->Synchronize([&] { ++served; });
  });
  self = thread.get();
  thread->Start();
  // The main thread is not serving yet: the worker is stuck in its first hand-off.
  ASSERT_TRUE(HandOffPending(dispatcher));
  EXPECT_EQ(served, 0);
  thread.reset();  // must serve the call, let the pass end and join
  EXPECT_EQ(served, passes);
  EXPECT_GE(served, 1);
  EXPECT_EQ(dispatcher.ProcessPending(), 0u);
}

TEST(TProcessThread, ErrorInAPassEndsTheWorkerQuietly) {
  TMainDispatcher dispatcher;
  std::atomic<int> passes{0};
  TProcessThread thread(dispatcher, [&] {
    if (++passes == 3) throw std::runtime_error("pass failed");
  });
  thread.Start();
  ASSERT_TRUE(test::WaitFor([&] { return thread.Finished(); }));
  EXPECT_EQ(passes, 3);
  EXPECT_FALSE(thread.Terminated());

  // An error raised by the main-thread call reaches the worker and ends it too.
  TProcessThread* self = nullptr;
  std::atomic<int> syncPasses{0};
  TProcessThread syncThread(dispatcher, [&] {
    ++syncPasses;
    self->Synchronize([] { throw std::runtime_error("refresh failed"); });
  });
  self = &syncThread;
  syncThread.Start();
  ASSERT_TRUE(test::WaitFor([&] {
    dispatcher.WaitAndProcess(10);
    return syncThread.Finished();
  }));
  EXPECT_EQ(syncPasses, 1);
}

TEST(TProcessThread, SleepsAsLongAsThePassAllowsUntilWokenOrTerminated) {
  TMainDispatcher dispatcher;
  std::atomic<int> passes{0};
  std::atomic<int32_t> wait{-1};  // without limit
  TWakeEvent handle;              // stands for a channel's readiness handle
  auto thread = std::make_unique<TProcessThread>(
      dispatcher, [&] { ++passes; },
      [&] {
        return TNextWait{wait.load(), handle.Fd()};
      });
  thread->Start();
  ASSERT_TRUE(test::WaitFor([&] { return passes == 1; }));
  // Each wake-up runs one pass; one that comes during a pass is not lost.
  thread->Wake();
  ASSERT_TRUE(test::WaitFor([&] { return passes == 2; }));
  thread->Wake();
  thread->Wake();
  ASSERT_TRUE(test::WaitFor([&] { return passes >= 3; }));
  // A readable handle ends the sleep; the pass is expected to take what made it so.
  int before = passes;
  handle.Signal();
  ASSERT_TRUE(test::WaitFor([&] { return passes > before; }));
  handle.Drain();
  // A limited sleep ends by itself.
  wait = 5;
  thread->Wake();
  ASSERT_TRUE(test::WaitFor([&] { return passes >= 10; }));
  // The stop request ends an unlimited sleep at once.
  wait = -1;
  before = passes;
  ASSERT_TRUE(test::WaitFor([&] { return passes > before; }));
  const auto start = std::chrono::steady_clock::now();
  thread.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace orvane
