#include "platform/service_manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/notify_socket.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

TEST(TServiceNotify, SendsOneDatagramToAPathOrAnAbstractName) {
  test::TTempDir dir;
  const std::string abstractName = "@orvane-notify-test-" + std::to_string(::getpid());
  for (const std::string& path : {dir.Str() + "/notify", abstractName}) {
    SCOPED_TRACE(path);
    test::TNotifySocket manager(path);
    ASSERT_TRUE(manager.Valid());
    TServiceNotify notify(path);
    ASSERT_TRUE(notify.Enabled());
    EXPECT_TRUE(notify.Send("READY=1\nSTATUS=2 ports, 1 not working"));
    EXPECT_EQ(manager.Receive(), "READY=1\nSTATUS=2 ports, 1 not working");
    EXPECT_TRUE(notify.Send("STOPPING=1"));
    EXPECT_EQ(manager.Receive(), "STOPPING=1");
  }
}

TEST(TServiceNotify, WithoutAManagerNothingIsSent) {
  test::TTempDir dir;
  // Unset, not a socket path, or nobody listening: the service goes on quietly.
  for (const std::string& path : {std::string(), std::string("relative/notify"), std::string("@"),
                                  std::string(200, '/'), dir.Str() + "/nobody"}) {
    TServiceNotify notify(path);
    EXPECT_FALSE(notify.Send("READY=1")) << path;
  }
}

}  // namespace
}  // namespace orvane
