#include <gtest/gtest.h>
#include <poll.h>

#include <string>

#include "mqtt/mqtt_client.h"
#include "portkit/port_kit.h"
#include "support/mosquitto_fixture.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::MqttParams;
using test::TMosquitto;
using test::TPortsHarness;
using test::TPtyClient;

const std::string WRONG_KEY = "Неверный ответ. Возможно используется некорректный ключ безопасности";
const std::string PROBE_TOPIC = "orvane/probe";

// Two brokers as a small cluster: the second bridges "orvane/#" both ways to the first.
struct TBridgedBrokers {
  TBridgedBrokers() : First(), Second(BridgedTo(First)) {}
  static TMosquitto::TOptions BridgedTo(const TMosquitto& ABroker) {
    TMosquitto::TOptions options;
    options.BridgeTo = ABroker.Port();
    return options;
  }
  TMosquitto& operator[](int AIndex) { return AIndex == 0 ? First : Second; }
  std::string Logs() const { return "first:\n" + First.Log() + "second:\n" + Second.Log(); }

  // True once a probe published on each broker has reached the other: the bridge is up and
  // subscribed both ways. The probes go on a topic of their own, so no port sees them.
  bool WaitBridged() {
    TClientParams params;
    params.HostName = "127.0.0.1";
    params.KeepAlive = 30;
    params.Port = First.Port();
    params.ClientID = "probe-first";
    TMQTTClient atFirst(params);
    params.Port = Second.Port();
    params.ClientID = "probe-second";
    TMQTTClient atSecond(params);
    std::string heardFirst, heardSecond;
    atFirst.OnPublish = [&](TMQTTClient*, uint16_t, TQualityOfService, const std::string&,
                            const std::string& APayload) { heardFirst += APayload; };
    atSecond.OnPublish = [&](TMQTTClient*, uint16_t, TQualityOfService, const std::string&,
                             const std::string& APayload) { heardSecond += APayload; };
    uint16_t id = 0;
    if (!atFirst.Subscribe({PROBE_TOPIC}, TQualityOfService::QoS0, id) ||
        !atSecond.Subscribe({PROBE_TOPIC}, TQualityOfService::QoS0, id))
      return false;
    return test::WaitFor(
        [&] {
          if (!atFirst.Publish(PROBE_TOPIC, "F", id) || !atSecond.Publish(PROBE_TOPIC, "S", id)) return false;
          // Whatever comes within a short wait; the next round publishes again.
          pollfd fds[2] = {{atFirst.ReadyHandle(), POLLIN, 0}, {atSecond.ReadyHandle(), POLLIN, 0}};
          for (int i = 0; i < 20 && ::poll(fds, 2, 50) > 0; ++i) {
            atFirst.Process();
            atSecond.Process();
          }
          return heardFirst.find('S') != std::string::npos && heardSecond.find('F') != std::string::npos;
        },
        std::chrono::seconds(20));
  }

  TMosquitto First;
  TMosquitto Second;
};

bool AllActive(TPortsHarness& AHarness, std::initializer_list<TPortManager*> APorts) {
  return AHarness.Pump([&] {
    for (TPortManager* port : APorts)
      if (!port->IsActive()) return false;
    return true;
  });
}

// A port on each broker, one topic and key; and a pair whose keys differ, whose hellos
// must meet across the bridge to be refused.
TEST(TMqttBridgedBrokers, PortsOnTwoBrokersPassBytesAndCheckKeysAcrossTheBridge) {
  TBridgedBrokers brokers;
  TPortsHarness h;
  TPortManager* a = h.Add(MqttParams("COM_A", brokers.First.Port(), "orvane/site"));
  TPortManager* b = h.Add(MqttParams("COM_B", brokers.Second.Port(), "orvane/site"));
  TPortManager* c = h.Add(MqttParams("COM_C", brokers.First.Port(), "orvane/keys", 1111));
  TPortManager* d = h.Add(MqttParams("COM_D", brokers.Second.Port(), "orvane/keys", 2222));
  ASSERT_TRUE(AllActive(h, {a, b, c, d})) << brokers.Logs();
  ASSERT_TRUE(brokers.WaitBridged()) << brokers.Logs();

  TPtyClient appA(h.LinkPath("COM_A"));
  TPtyClient appB(h.LinkPath("COM_B"));
  ASSERT_TRUE(h.WaitShown("(COM_A) Open COM port"));
  ASSERT_TRUE(h.WaitShown("(COM_B) Open COM port"));
  // Nothing comes back round the bridge.
  EXPECT_TRUE(
      test::BytesCrossBothWays(h, appA, appB, std::string("across\x00\xFF the bridge", 19), "and back"));

  // The hellos after the bridge came up: the mismatched pair warns on both sides, twice.
  for (size_t round = 1; round <= 2; ++round) {
    const size_t seenC = h.CountShown("(COM_C) " + WRONG_KEY);
    const size_t seenD = h.CountShown("(COM_D) " + WRONG_KEY);
    h.Jump(16000);
    ASSERT_TRUE(h.WaitShown("(COM_C) " + WRONG_KEY, seenC + 1));
    ASSERT_TRUE(h.WaitShown("(COM_D) " + WRONG_KEY, seenD + 1));
  }
  EXPECT_EQ(h.CountShownContaining("(COM_A) " + WRONG_KEY) + h.CountShownContaining("(COM_B) " + WRONG_KEY),
            0u);
}

// Either broker going away and coming back is met as a single broker's restart is: the port
// on it goes down, the other stays, and both carry bytes again once it is back.
TEST(TMqttBridgedBrokers, ARestartOfEitherBrokerIsRecovered) {
  for (const int restarted : {0, 1}) {
    SCOPED_TRACE(restarted == 0 ? "the broker bridged to" : "the bridging broker");
    TBridgedBrokers brokers;
    TPortsHarness h;
    TPortManager* ports[2] = {h.Add(MqttParams("COM_A", brokers.First.Port(), "orvane/site")),
                              h.Add(MqttParams("COM_B", brokers.Second.Port(), "orvane/site"))};
    ASSERT_TRUE(AllActive(h, {ports[0], ports[1]})) << brokers.Logs();
    ASSERT_TRUE(brokers.WaitBridged()) << brokers.Logs();
    TPtyClient appA(h.LinkPath("COM_A"));
    TPtyClient appB(h.LinkPath("COM_B"));
    ASSERT_TRUE(h.WaitShown("(COM_A) Open COM port"));
    ASSERT_TRUE(h.WaitShown("(COM_B) Open COM port"));
    ASSERT_TRUE(test::BytesCrossBothWays(h, appA, appB, "before", "back before"));

    // The port on the stopped broker notices when its ping fails, every 10 s of the clock.
    brokers[restarted].Stop();
    ASSERT_TRUE(test::WaitFor([&] {
      h.Jump(11000);
      return h.Pump([&] { return !ports[restarted]->IsActive(); }, std::chrono::milliseconds(200));
    }));
    EXPECT_TRUE(ports[1 - restarted]->IsActive());
    ASSERT_TRUE(brokers[restarted].Start()) << brokers.Logs();
    // Reopens come every 60 s of the clock; a loaded machine may need more than one.
    ASSERT_TRUE(test::WaitFor([&] {
      h.Jump(60000);
      return h.Pump([&] { return ports[0]->IsActive() && ports[1]->IsActive(); },
                    std::chrono::milliseconds(500));
    })) << brokers.Logs();
    ASSERT_TRUE(brokers.WaitBridged()) << brokers.Logs();
    EXPECT_TRUE(test::BytesCrossBothWays(h, appA, appB, "after", "back after"));
  }
}

}  // namespace
}  // namespace orvane
