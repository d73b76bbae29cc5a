// The window as a process answers "--status" like the service, and a hang-up
// does not end it.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "app/headless_process.h"
#include "portkit/port_kit.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

TEST(TWindowStatus, TheWindowAnswersStatusAndIgnoresAHangUp) {
  test::TTempDir runtime;
  test::TTempDir data;
  test::TTempDir ports;
  test::TEchoServer echo;
  test::WriteConfig(data.Str(), {test::PassThroughPort("COM86", echo.Port())});
  // "/I": other windows of this machine's tests must not be asked to come forward instead.
  test::TProcess window({"env", "QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime.Str()},
                        {"--data-dir", data.Str(), "--port-dir", ports.Str(), "/I"});
  const auto working = [](const test::TAsked& AAsked) { return AAsked.Code == 0; };
  test::TAsked asked = test::AskUntil(data.Str(), working);
  ASSERT_EQ(asked.Code, 0) << asked.Out << asked.Err;
  EXPECT_EQ(
      asked.Out.rfind("COM86 virtual passthrough 127.0.0.1:" + std::to_string(echo.Port()) + ": working", 0),
      0u)
      << asked.Out;

  ::kill(window.Pid(), SIGHUP);
  asked = test::AskStatusOf(data.Str());
  EXPECT_EQ(asked.Code, 0) << asked.Out << asked.Err;
  ::kill(window.Pid(), SIGTERM);
  EXPECT_EQ(window.Wait(), 0) << window.ErrText;
}

}  // namespace
}  // namespace orvane
