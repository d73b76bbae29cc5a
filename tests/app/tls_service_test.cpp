#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "headless_process.h"
#include "portkit/port_kit.h"
#include "support/mosquitto_fixture.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

// From the file to the wire: two ports whose config.cfg elements ask for TLS with a CA file
// and an account reach each other through the TLS listener of a broker that takes no
// anonymous clients.
TEST(TTlsService, PortsOfTheFileTalkThroughATlsBrokerWithAccounts) {
  test::TMosquitto::TOptions options;
  options.Tls = true;
  options.UserName = "site";
  options.Password = "pw7";
  test::TMosquitto broker(options);
  test::TTempDir data;
  test::TTempDir ports;
  auto port = [&](const std::string& AName) {
    return "<Port ComName=\"" + AName +
           "\" IpAddress=\"0.0.0.0\" PortNumber=\"0\" Protocol=\"MQTT\" MqttHost=\"localhost:" +
           std::to_string(broker.TlsPort()) +
           "\" MqttTopic=\"orvane/service\" MqttUserName=\"site\" MqttPassword=\"pw7\" "
           "MqttSecurityKey=\"99\" "
           "MqttTls=\"true\" MqttCaFile=\"" +
           broker.CaFile() + "\"/>";
  };
  test::WriteConfig(data.Str(), {port("COM91"), port("COM92")});
  test::TProcess program({"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str()});
  ASSERT_TRUE(program.WaitOut("Ready\n"));
  ASSERT_TRUE(program.WaitOut("] (COM91) 0.0.0.0:0 Connect - OK")) << program.OutText << broker.Log();
  ASSERT_TRUE(program.WaitOut("] (COM92) 0.0.0.0:0 Connect - OK")) << program.OutText;
  ASSERT_TRUE(test::WaitFor([&] { return broker.Subscriptions("orvane/service") == 2; })) << broker.Log();
  test::TPtyClient appA(ports.Str() + "/COM91");
  test::TPtyClient appB(ports.Str() + "/COM92");
  ASSERT_TRUE(program.WaitOut("] (COM91) Open COM port"));
  ASSERT_TRUE(program.WaitOut("] (COM92) Open COM port"));
  ASSERT_TRUE(appA.Write("secure"));
  EXPECT_EQ(appB.Read(6, 20000), "secure");
  ASSERT_TRUE(appB.Write("ok"));
  EXPECT_EQ(appA.Read(2, 20000), "ok");
  EXPECT_EQ(program.CountOut("ERROR="), 0u) << program.OutText;
  ::kill(program.Pid(), SIGTERM);
  EXPECT_EQ(program.Wait(), 0) << program.ErrText;
}

}  // namespace
}  // namespace orvane
