#include <gtest/gtest.h>

#include <string>

#include "portkit/port_kit.h"
#include "support/mosquitto_fixture.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::MqttParams;
using test::ReadWhilePumping;
using test::TPortsHarness;
using test::TPtyClient;

const std::string WRONG_KEY = "Неверный ответ. Возможно используется некорректный ключ безопасности";

// Two virtual ports on one topic, an application on each.
struct TTwoPorts {
  explicit TTwoPorts(test::TMosquitto& ABroker) {
    A = H.Add(MqttParams("COM_A", ABroker.Port(), "orvane/bridge"));
    B = H.Add(MqttParams("COM_B", ABroker.Port(), "orvane/bridge"));
  }
  bool BothActive() {
    return H.Pump([&] { return A->IsActive() && B->IsActive(); });
  }
  TPortsHarness H;
  TPortManager* A = nullptr;
  TPortManager* B = nullptr;
};

TEST(TMqttPorts, BytesCrossBothWaysAndTheHelloFollowsItsSchedule) {
  test::TMosquitto broker;
  TTwoPorts ports(broker);
  TPortsHarness& h = ports.H;
  ASSERT_TRUE(ports.BothActive()) << broker.Log();
  // Channel lines carry the port's address prefix even for MQTT.
  ASSERT_TRUE(h.WaitShown("(COM_A) 127.0.0.1:4001 Connect - OK"));
  // One hello on the first pass of each port.
  ASSERT_TRUE(h.WaitFile("(COM_A) 127.0.0.1:4001 Sending hello"));
  ASSERT_TRUE(h.WaitFile("(COM_B) 127.0.0.1:4001 Sending hello"));

  TPtyClient appA(h.LinkPath("COM_A"));
  TPtyClient appB(h.LinkPath("COM_B"));
  ASSERT_TRUE(h.WaitShown("(COM_A) Open COM port"));
  ASSERT_TRUE(h.WaitShown("(COM_B) Open COM port"));
  ASSERT_TRUE(test::ProbeGetsThrough(appA, appB, h.Serve())) << broker.Log();
  const std::string toB("sixteen bytes\x00\xFF!", 16);
  ASSERT_TRUE(appA.Write(toB));
  EXPECT_EQ(test::ReadAfterProbes(appB, 16, h.Serve()), toB);
  ASSERT_TRUE(test::ProbeGetsThrough(appB, appA, h.Serve())) << broker.Log();
  ASSERT_TRUE(appB.Write("to A"));
  EXPECT_EQ(test::ReadAfterProbes(appA, 4, h.Serve()), "to A");
  // A probe still in the port may leave in the same packet.
  const auto sent = [&h] {
    size_t count = 0;
    for (const std::string& line : h.ShownLines()) {
      const std::string head = "(COM_B) 127.0.0.1:4001 OUT: [";
      const std::string tail = "74 6F 20 41";
      if (line.rfind(head, 0) == 0 && line.size() >= tail.size() &&
          line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
        ++count;
    }
    return count;
  };
  // The sender's line may come after the bytes have arrived.
  ASSERT_TRUE(h.Pump([&] { return sent() >= 1; }));
  EXPECT_EQ(sent(), 1u);

  // The next hello comes when more than 15000 ms have passed.
  const std::string hello = "(COM_A) 127.0.0.1:4001 Sending hello";
  ASSERT_EQ(h.CountFile(hello), 1u);
  h.Jump(16000);
  ASSERT_TRUE(h.WaitFile(hello, 2));
  EXPECT_EQ(h.CountShownContaining(WRONG_KEY), 0u);
}

TEST(TMqttPorts, AWrongKeyGivesTheWarningAtEachHello) {
  test::TMosquitto broker;
  TPortsHarness h;
  TPortManager* a = h.Add(MqttParams("COM_A", broker.Port(), "orvane/keys", 1111));
  TPortManager* c = h.Add(MqttParams("COM_C", broker.Port(), "orvane/keys", 2222));
  ASSERT_TRUE(h.Pump([&] { return a->IsActive() && c->IsActive(); })) << broker.Log();
  TPtyClient appA(h.LinkPath("COM_A"));
  TPtyClient appC(h.LinkPath("COM_C"));
  ASSERT_TRUE(h.WaitShown("(COM_C) Open COM port"));
  // Each hello of the other end (the first ones may come before both subscribed).
  const size_t first = h.CountShown("(COM_C) " + WRONG_KEY);
  h.Jump(16000);
  ASSERT_TRUE(h.WaitShown("(COM_C) " + WRONG_KEY, first + 1));
  ASSERT_TRUE(h.WaitShown("(COM_A) " + WRONG_KEY, 1));
  h.Jump(16000);
  ASSERT_TRUE(h.WaitShown("(COM_C) " + WRONG_KEY, first + 2));

  // Whole blocks of data do not arrive as they were sent.
  const std::string data = "0123456789ABCDEF";
  ASSERT_TRUE(appA.Write(data));
  ASSERT_TRUE(h.WaitShown("(COM_A) 127.0.0.1:4001 OUT: [16] " + BytesToHex(data)));
  EXPECT_NE(ReadWhilePumping(h, appC, 16).substr(0, 8), data.substr(0, 8));
}

TEST(TMqttPorts, ABrokerRestartBringsThePortsBackWithoutLossOrDuplicates) {
  test::TMosquitto broker;
  TTwoPorts ports(broker);
  TPortsHarness& h = ports.H;
  ASSERT_TRUE(ports.BothActive()) << broker.Log();
  TPtyClient appA(h.LinkPath("COM_A"));
  TPtyClient appB(h.LinkPath("COM_B"));
  ASSERT_TRUE(h.WaitShown("(COM_B) Open COM port"));
  ASSERT_TRUE(test::ProbeGetsThrough(appA, appB, h.Serve())) << broker.Log();
  ASSERT_TRUE(appA.Write("before"));
  EXPECT_EQ(test::ReadAfterProbes(appB, 6, h.Serve()), "before");

  // The broker away for 2 s of the schedules' clock (held, so the steps are exact): the
  // drop is seen at once, the reopen at once fails, the next attempts come 1 s and 2 s later.
  // A second since the last attempt, so the reopen at once is not held back.
  h.Jump(TPortBridge::QUICK_REOPEN_GAP_MS);
  h.Clock.Hold();
  const auto fails = [&] {
    return h.CountShownContaining("Connect - Fail") + h.CountShownContaining("ERROR=No CONNACK");
  };
  broker.Stop();
  ASSERT_TRUE(h.Pump([&] { return !ports.A->IsActive() && !ports.B->IsActive() && fails() >= 2; }));
  h.Jump(1000);
  ASSERT_TRUE(h.Pump([&] { return fails() >= 4; }));
  h.Jump(1000);
  ASSERT_TRUE(broker.Start());
  const uint32_t back = h.Clock.Now();
  // Both ports are back within 3 s of the broker's return.
  ASSERT_TRUE(test::WaitFor([&] {
    if (h.Clock.Now() - back < 3000) h.Jump(1000);
    return h.Pump([&] { return ports.A->IsActive() && ports.B->IsActive(); }, std::chrono::milliseconds(500));
  })) << broker.Log();
  EXPECT_LE(h.Clock.Now() - back, 3000u);
  h.Clock.Release();
  ASSERT_TRUE(test::ProbeGetsThrough(appA, appB, h.Serve())) << broker.Log();
  ASSERT_TRUE(appA.Write("after"));
  EXPECT_EQ(test::ReadAfterProbes(appB, 5, h.Serve()), "after");
  ASSERT_TRUE(test::ProbeGetsThrough(appB, appA, h.Serve())) << broker.Log();
  ASSERT_TRUE(appB.Write("back"));
  EXPECT_EQ(test::ReadAfterProbes(appA, 4, h.Serve()), "back");
  EXPECT_EQ(appA.Read(1, 50) + appB.Read(1, 50), "");  // nothing twice
}

}  // namespace
}  // namespace orvane
