#include "channels/channel_factory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channels/lum_mqtt_server.h"
#include "channels/lum_tcp_server.h"
#include "support/fake_converter.h"

namespace orvane {
namespace {

TEST(ChannelFactory, OnlyTheExactMqttLabelMakesAnMqttChannel) {
  struct TCase {
    std::string Label;
    bool Mqtt;
  };
  const TCase cases[] = {{PROTOCOL_MQTT, true},  {"mqtt", false}, {"MQTT ", false},
                         {" MQTT", false},       {"", false},     {PROTOCOL_DIRECT, false},
                         {PROTOCOL_IP485, false}};
  for (const auto& c : cases) {
    TLumPortParams params;
    params.Init();
    params.Protocol = c.Label;
    const IServerInterfacePtr channel = CreateServerChannel(params, {});
    ASSERT_NE(channel, nullptr) << c.Label;
    EXPECT_EQ(dynamic_cast<TLumMqttServer*>(channel.get()) != nullptr, c.Mqtt) << '"' << c.Label << '"';
    EXPECT_EQ(dynamic_cast<TLumTcpServer*>(channel.get()) != nullptr, !c.Mqtt) << '"' << c.Label << '"';
    EXPECT_FALSE(channel->GetActive());
    EXPECT_EQ(channel->GetLastIpError(), "");
  }
}

// The MQTT channel from the factory pauses with the given sleep before it reopens a
// dropped session, and the stop request cuts the reopening short.
TEST(ChannelFactory, OptionsReachTheMqttChannel) {
  TLumPortParams params;
  params.Init();
  params.Protocol = PROTOCOL_MQTT;
  params.MqttHost = "127.0.0.1:" + std::to_string(test::UnusedLoopbackPort());
  for (const bool stopping : {false, true}) {
    SCOPED_TRACE(stopping ? "stopping" : "running");
    std::vector<uint32_t> sleeps;
    std::vector<std::string> log;
    TChannelOptions options;
    options.Sleep = [&](uint32_t AMs) { sleeps.push_back(AMs); };
    options.CancelCheck = [stopping] { return stopping; };
    const IServerInterfacePtr channel = CreateServerChannel(params, {}, options);
    channel->SetOnWriteLog([&](const std::string& AMessage, bool) { log.push_back(AMessage); });
    channel->ReadData();  // never connected: pause, then open unless stopping
    EXPECT_EQ(sleeps, std::vector<uint32_t>{3000});
    const std::vector<std::string> expected =
        stopping ? std::vector<std::string>{}
                 : std::vector<std::string>{"Connecting to mqtt...", "Connect - Fail"};
    EXPECT_EQ(log, expected);
  }
}

}  // namespace
}  // namespace orvane
