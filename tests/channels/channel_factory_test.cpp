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

// The MQTT channel from the factory gets the stop request: a stopping worker's Open gives up
// at once, and ReadData of a session that never opened neither waits nor connects.
TEST(ChannelFactory, OptionsReachTheMqttChannel) {
  TLumPortParams params;
  params.Init();
  params.Protocol = PROTOCOL_MQTT;
  params.MqttHost = "127.0.0.1:" + std::to_string(test::UnusedLoopbackPort());
  std::vector<std::string> log;
  TChannelOptions options;
  options.CancelCheck = [] { return true; };
  const IServerInterfacePtr channel = CreateServerChannel(params, {}, options);
  channel->SetOnWriteLog([&](const std::string& AMessage, bool) { log.push_back(AMessage); });
  channel->ReadData();
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(channel->Open("", 0, 0));
  EXPECT_EQ(log, (std::vector<std::string>{"Connecting to mqtt...", "Connect - Fail"}));
}

}  // namespace
}  // namespace orvane
