#include "platform/main_dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/wait_for.h"

namespace orvane {
namespace {

TEST(TMainDispatcher, SendRunsOnMainThreadAndBlocksUntilDone) {
  TMainDispatcher dispatcher;
  std::atomic<bool> ranOnMain{false};
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    dispatcher.Send([&] { ranOnMain = dispatcher.IsMainThread(); });
    returned = true;
  });
  EXPECT_TRUE(test::WaitFor([&] {
    dispatcher.WaitAndProcess(10);
    return returned.load();
  }));
  worker.join();
  EXPECT_TRUE(ranOnMain);
}

TEST(TMainDispatcher, SendRethrowsInTheCaller) {
  TMainDispatcher dispatcher;
  std::atomic<bool> caught{false};
  std::thread worker([&] {
    try {
      dispatcher.Send([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error&) {
      caught = true;
    }
  });
  EXPECT_TRUE(test::WaitFor([&] {
    dispatcher.WaitAndProcess(10);
    return caught.load();
  }));
  worker.join();
}

TEST(TMainDispatcher, PostKeepsOrderAndSendOnMainRunsInline) {
  TMainDispatcher dispatcher;
  std::string order;
  std::thread poster([&] {
    for (char c = 'a'; c <= 'e'; ++c) dispatcher.Post([&order, c] { order += c; });
  });
  poster.join();
  dispatcher.Send([&] { order += '!'; });
  EXPECT_EQ(order, "!");
  EXPECT_EQ(dispatcher.ProcessPending(), 5u);
  EXPECT_EQ(order, "!abcde");
  EXPECT_EQ(dispatcher.WaitAndProcess(0), 0u);
}

}  // namespace
}  // namespace orvane

namespace orvane {
namespace {

TEST(TMainDispatcher, ThrowingPostedCallDoesNotLoseTheOthers) {
  TMainDispatcher dispatcher;
  std::vector<std::string> errors;
  dispatcher.SetErrorHandler([&](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      errors.emplace_back(ex.what());
    }
  });
  std::string order;
  dispatcher.Post([&] { order += 'a'; });
  dispatcher.Post([] { throw std::runtime_error("handler failed"); });
  dispatcher.Post([&] { order += 'c'; });
  EXPECT_EQ(dispatcher.ProcessPending(), 3u);
  EXPECT_EQ(order, "ac");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "handler failed");
}

}  // namespace
}  // namespace orvane
