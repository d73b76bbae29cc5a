// What the payload key of an MQTT port does not protect, shown from outside
// with a real broker: a client that does not know the key talks to the port,
// and one that listens learns the key. The README's Security section rests on
// these tests.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channels/crypt_tool.h"
#include "channels/lum_mqtt_server.h"
#include "mqtt/mqtt_client.h"
#include "support/local_client_params.h"
#include "support/mosquitto_fixture.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::TMosquitto;
using test::WaitFor;

constexpr uint32_t PORT_KEY = 305419896;  // the port's secret, never given to the intruder
const std::string TOPIC = "plant/7";

// The port's channel with everything it passed on to its bridge.
struct TPort {
  std::string Received;
  std::vector<std::string> Settings;
  std::unique_ptr<TLumMqttServer> Channel;

  explicit TPort(uint16_t ABrokerPort) {
    TLumPortParams params;
    params.Init();
    params.ComName = "COM7";
    params.Protocol = PROTOCOL_MQTT;
    params.MqttHost = "127.0.0.1:" + std::to_string(ABrokerPort);
    params.MqttTopic = TOPIC;
    params.MqttSecurityKey = PORT_KEY;
    TChannelOptions options;
    Channel = std::make_unique<TLumMqttServer>(
        params, [this](const std::string& AData) { Received += AData; }, std::move(options));
    Channel->SetOnParamPortChange([this](TTCP_Port_BaudRate ABaud, TTCP_Port_Parity AParity,
                                         TTCP_Port_StopBits AStop, TTCP_Port_DataBits ABits) {
      Settings.push_back(std::to_string(ABaud) + " " + std::to_string(AParity) + " " + std::to_string(AStop) +
                         " " + std::to_string(ABits));
    });
  }
};

// A plain MQTT client on the port's topic, with no key at all.
struct TOutsider {
  std::vector<TBytes> Heard;
  TMQTTClient Client;

  explicit TOutsider(uint16_t ABrokerPort) : Client(test::LocalClientParams(ABrokerPort, "outsider")) {
    Client.OnPublishData = [this](TMQTTClient*, uint16_t, TQualityOfService, const std::string&,
                                  const TBytes& APayload) { Heard.push_back(APayload); };
  }
};

// Publishes APacket until the port has passed something on (a publish before
// the port's subscription took effect is lost), serving the port meanwhile.
bool PublishUntilHeard(TOutsider& AOutsider, TPort& APort, const TBytes& APacket) {
  return WaitFor(
      [&] {
        if (!AOutsider.Client.Publish(TOPIC, APacket)) return false;
        return WaitFor(
            [&] {
              APort.Channel->ReadData();
              return !APort.Received.empty();
            },
            std::chrono::milliseconds(200));
      },
      std::chrono::seconds(30));
}

TEST(CipherLimits, AClientWithoutTheKeyIsTakenForTheRemoteEnd) {
  TMosquitto broker;
  TPort port(broker.Port());
  ASSERT_TRUE(port.Channel->Open("", 0, 0));
  TOutsider outsider(broker.Port());
  ASSERT_TRUE(outsider.Client.Connect());

  // Written by hand, no key involved: data shorter than one 8-byte block is
  // never enciphered, and the line settings never are.
  const TBytes shortData = {0x03, 0x00, 'o', 'u', 't',  // client id length 3, "out"
                            0x0D,                       // baud ordinal 13
                            0x02,                       // data bits ordinal 2 (7 bits)
                            0x05,                       // parity code 5 (even)
                            0x02,                       // stop bits 2
                            0x06, 0x00,                 // data length 6
                            'O',  'P',  'E', 'N', '\r', '\n'};
  ASSERT_TRUE(PublishUntilHeard(outsider, port, shortData));
  EXPECT_EQ(port.Received.substr(0, 6), "OPEN\r\n");
  ASSERT_FALSE(port.Settings.empty());
  EXPECT_EQ(port.Settings.front(), "13 5 2 2");  // baud, parity, stop bits, data bits

  // Longer data: the whole blocks come out as noise under the port's key, but
  // the tail after them is taken as sent, and nothing checks either.
  port.Received.clear();
  const TBytes longData = {0x03, 0x00, 'o', 'u', 't', 0x0D, 0x02, 0x05, 0x02, 0x0C, 0x00,  // data length 12
                           0,    0,    0,   0,   0,   0,    0,    0,  // one block, enciphered by nobody
                           'S',  'T',  'O', 'P'};                     // the tail, in clear
  ASSERT_TRUE(PublishUntilHeard(outsider, port, longData));
  ASSERT_EQ(port.Received.size() % 12, 0u);
  EXPECT_EQ(port.Received.substr(8, 4), "STOP");
}

TEST(CipherLimits, TheKeyIsFoundFromOneHelloOffline) {
  TMosquitto broker;
  TPort port(broker.Port());
  ASSERT_TRUE(port.Channel->Open("", 0, 0));
  TOutsider outsider(broker.Port());
  uint16_t id = 0;
  ASSERT_TRUE(outsider.Client.Subscribe({TOPIC}, TQualityOfService::QoS0, id));
  ASSERT_TRUE(WaitFor([&] {
    port.Channel->Send_Hello();
    return WaitFor(
        [&] {
          outsider.Client.Process();
          return !outsider.Heard.empty();
        },
        std::chrono::milliseconds(200));
  }));

  // The hello's text is fixed and known: after the header, 15 bytes of which
  // the last 7 travel in clear, and the first 8 tell a right key from a wrong one.
  const TBytes& hello = outsider.Heard.front();
  const size_t dataAt = 2 + (hello[0] | hello[1] << 8) + 4 + 2;
  ASSERT_EQ(hello.size(), dataAt + 15);
  EXPECT_EQ(std::string(hello.begin() + long(dataAt) + 8, hello.end()), "4567890");

  // Every key is a decimal number below 2^32, so the search needs nothing but
  // time; a slice of it around the real key shows the test that decides.
  std::vector<uint32_t> found;
  for (uint32_t candidate = PORT_KEY - 2000; candidate != PORT_KEY + 2000; ++candidate) {
    TBytes block(hello.begin() + long(dataAt), hello.begin() + long(dataAt) + 8);
    DecryptBuffer(block.data(), 8, std::to_string(candidate));
    if (std::string(block.begin(), block.end()) == "Hello123") found.push_back(candidate);
  }
  EXPECT_EQ(found, std::vector<uint32_t>{PORT_KEY});
}

}  // namespace
}  // namespace orvane
