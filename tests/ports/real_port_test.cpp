#include "ports/lum_real_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>

#include <string>

#include "portkit/port_kit.h"
#include "support/fake_converter.h"
#include "support/mosquitto_fixture.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

using test::ReadWhilePumping;
using test::TDeviceStandIn;
using test::TEchoServer;
using test::TFakeConverter;
using test::TPortsHarness;
using test::TPtyClient;

TLumPortParams RealParams(const std::string& ADevice, const std::string& AProtocol, uint16_t APort) {
  TLumPortParams p = test::VirtualParams(ADevice + "(r)", AProtocol, APort);
  p.isRealPort = true;
  p.RealPortBaudRate = br19200;
  p.RealPortBitData = dbEight;
  p.RealPortParityBits = TParityBits::None;
  p.RealPortStopBits = TStopBits::One;
  return p;
}

TEST(TLumRealPort, BytesBothWaysAndAPulledAdapterComesBack) {
  test::TTempDir devices;
  TDeviceStandIn device(devices.Str() + "/ttyFAKE0");
  TFakeConverter converter(TFakeConverter::TMode::PassThrough);
  TPortsHarness h;
  const std::string name = device.Link() + "(r)";
  TPortManager* port = h.Add(RealParams(device.Link(), PROTOCOL_DIRECT, converter.Port()));
  const std::string prefix = "(" + name + ") ";
  const std::string channel = prefix + "127.0.0.1:" + std::to_string(converter.Port()) + " ";
  ASSERT_TRUE(h.WaitShown(channel + "Connect - OK"));
  EXPECT_TRUE(port->IsActive());
  EXPECT_FALSE(port->IsOpened());  // never reported as held
  termios settings = device.Settings();
  EXPECT_EQ(cfgetospeed(&settings), B19200);
  EXPECT_EQ(h.CountFile(prefix + "SetState - OK, Baudrate=19200, Parity=0, StopBits=0"), 1u);

  ASSERT_TRUE(device.Write("ping"));
  ASSERT_TRUE(h.WaitShown(channel + "OUT: [4] 70 69 6E 67"));
  // The port's connect is done before the converter's thread has taken the connection.
  ASSERT_TRUE(converter.WaitForConnections(1));
  ASSERT_TRUE(converter.Send("pong"));
  EXPECT_EQ(ReadWhilePumping(h, device, 4), "pong");
  // The bridge logs what the device accepted right after writing it.
  ASSERT_TRUE(h.WaitShown(prefix + "OUT: [4] 70 6F 6E 67"));
  EXPECT_EQ(h.CountShown(prefix + "IN: [4] 70 69 6E 67"), 1u);
  EXPECT_EQ(h.CountShown(channel + "IN: [4] 70 6F 6E 67"), 1u);
  EXPECT_EQ(h.CountShown(prefix + "OUT: [4] 70 6F 6E 67"), 1u);
  EXPECT_GE(h.CountFile(prefix + "EVENT: RxChar, Received = 4"), 1u);

  // The adapter pulled out: closed at once with a line. The schedules' clock
  // stands still, so only the hang-up itself can have told the worker.
  h.Clock.Hold();
  device.Unplug();
  ASSERT_TRUE(h.WaitShown(prefix + "COM port lost, closed: " + device.Link() + " hung up"));
  ASSERT_TRUE(h.Pump([&] { return !port->IsActive(); }));
  EXPECT_EQ(converter.Connections(), 1u);  // the channel stays up meanwhile
  // Back in: reopened on the retry schedule (the first retry may already have found it).
  device.Plug();
  h.Jump(TPortBridge::RECREATE_INTERVAL_MS);
  ASSERT_TRUE(h.Pump([&] { return port->IsActive(); }));
  settings = device.Settings();
  EXPECT_EQ(cfgetospeed(&settings), B19200);
  // The pause between two sends runs on this clock too: it goes on from here.
  h.Clock.Release();

  // Bytes after the reopen arrive once each, in order, both ways: a marker
  // written last shows that nothing more is on its way.
  for (const std::string chunk : {"one", "two", "three", "END"}) ASSERT_TRUE(device.Write(chunk));
  ASSERT_TRUE(h.Pump([&] { return converter.Received().ends_with("END"); }));
  EXPECT_EQ(converter.Received(), "pingonetwothreeEND");
  for (const std::string chunk : {"uno", "dos", "tres", "END"}) ASSERT_TRUE(converter.Send(chunk));
  EXPECT_EQ(ReadWhilePumping(h, device, 13), "unodostresEND");
  EXPECT_EQ(h.StatesSeen, (std::vector<std::vector<bool>>{{true}, {false}, {true}}));
  EXPECT_EQ(h.CountShownContaining("COM port lost"), 1u);
}

// Reopened again and again, each loss is told once and the retries start afresh.
TEST(TLumRealPort, EveryLossClosesThePortOnceAndTheRetriesStartAfresh) {
  test::TTempDir devices;
  TDeviceStandIn device(devices.Str() + "/ttyFAKE3");
  TEchoServer echo;
  TPortsHarness h;
  TPortManager* port = h.Add(RealParams(device.Link(), PROTOCOL_DIRECT, echo.Port()));
  const std::string lost = "(" + device.Link() + "(r)) COM port lost, closed: " + device.Link() + " hung up";
  ASSERT_TRUE(h.Pump([&] { return port->IsActive(); }));
  h.Clock.Hold();
  for (size_t round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    device.Unplug();
    ASSERT_TRUE(h.WaitShown(lost, round));
    ASSERT_TRUE(h.Pump([&] { return !port->IsActive(); }));
    // Missing for most of a full round of retries: a count carried over from
    // the rounds before would have run out.
    for (int32_t retry = 1; retry < TPortBridge::MAX_RECREATE - 1; ++retry) {
      const uint64_t passes = port->PassCount();
      h.Jump(TPortBridge::RECREATE_INTERVAL_MS);
      ASSERT_TRUE(h.Pump([&] { return port->PassCount() > passes; }));
    }
    EXPECT_FALSE(port->IsActive());
    device.Plug();
    h.Jump(TPortBridge::RECREATE_INTERVAL_MS);
    ASSERT_TRUE(h.Pump([&] { return port->IsActive(); }));
    const std::string word = "r" + std::to_string(round);
    ASSERT_TRUE(device.Write(word));
    EXPECT_EQ(ReadWhilePumping(h, device, word.size()), word);
  }
  EXPECT_EQ(h.CountShown(lost), 3u);
}

// A device that stays away past the fast attempts (an adapter plugged back after a long
// break) is tried every minute for as long as the port exists, with a line at each turn.
TEST(TLumRealPort, ADeviceBackAfterTheFastAttemptsIsOpenedOnTheMinuteSchedule) {
  test::TTempDir devices;
  TDeviceStandIn device(devices.Str() + "/ttyFAKE5");
  device.Unplug();
  TEchoServer echo;
  TPortsHarness h;
  h.Clock.Hold();
  TPortManager* port = h.Add(RealParams(device.Link(), PROTOCOL_DIRECT, echo.Port()));
  const std::string prefix = "(" + device.Link() + "(r)) ";
  const std::string slow = prefix + "COM port not opened after 40 attempts, will keep trying every 60 s";
  ASSERT_TRUE(h.Pump([&] { return port->PassCount() >= 1; }));  // the first retry, at once
  for (int32_t retry = 2; retry <= TPortBridge::MAX_RECREATE; ++retry) {
    EXPECT_EQ(h.CountShown(slow), 0u) << retry;
    const uint64_t passes = port->PassCount();
    h.Jump(TPortBridge::RECREATE_INTERVAL_MS);
    ASSERT_TRUE(h.Pump([&] { return port->PassCount() > passes; }));
  }
  ASSERT_TRUE(h.WaitShown(slow));
  device.Plug();
  const uint64_t passes = port->PassCount();
  h.Jump(TPortBridge::RECONNECT_INTERVAL_MS - 1);
  ASSERT_TRUE(h.Pump([&] { return port->PassCount() > passes; }));
  EXPECT_FALSE(port->IsActive());
  h.Jump(1);
  ASSERT_TRUE(h.Pump([&] { return port->IsActive(); }));
  EXPECT_TRUE(h.WaitShown(prefix + "COM port reopened: " + device.Link()));
  h.Clock.Release();
  ASSERT_TRUE(device.Write("x"));
  EXPECT_EQ(ReadWhilePumping(h, device, 1), "x");
  EXPECT_EQ(h.CountShown(slow), 1u);
}

TEST(TLumRealPort, APortHeldByAnotherProgramIsOpenedOnceItLetsGo) {
  test::TTempDir devices;
  TDeviceStandIn device(devices.Str() + "/ttyFAKE1");
  TEchoServer echo;
  TPortsHarness h;
  test::TTestFd holder(::open(device.Link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  ASSERT_EQ(::flock(holder.Get(), LOCK_EX | LOCK_NB), 0);

  TPortManager* port = h.Add(RealParams(device.Link(), PROTOCOL_DIRECT, echo.Port()));
  // The worker's first retry has failed as well, for the same reason: one line for both.
  ASSERT_TRUE(h.Pump([&] { return port->PassCount() >= 1; }));
  EXPECT_FALSE(port->IsActive());
  EXPECT_EQ(h.ShownLines(),
            (std::vector<std::string>{"(" + device.Link() + "(r)) COM port cannot be opened: flock " +
                                      device.Link() + ": Resource temporarily unavailable"}));
  EXPECT_EQ(echo.Connections(), 0u);
  // A device that is not there says so too.
  const std::string missing = devices.Str() + "/ttyMISSING";
  h.Add(RealParams(missing, PROTOCOL_DIRECT, echo.Port()));
  EXPECT_TRUE(h.WaitShown("(" + missing + "(r)) COM port cannot be opened: open " + missing +
                          ": No such file or directory"))
      << testing::PrintToString(h.ShownLines());

  holder.Reset();
  h.Jump(10000);
  ASSERT_TRUE(h.Pump([&] { return port->IsActive(); }));
  ASSERT_TRUE(device.Write("x"));
  EXPECT_EQ(ReadWhilePumping(h, device, 1), "x");
}

TEST(TLumRealPort, SettingsAnnouncedOverMqttReconfigureThePortUnlessFixed) {
  test::TMosquitto broker;
  for (const bool fixed : {false, true}) {
    SCOPED_TRACE(fixed);
    test::TTempDir devices;
    TDeviceStandIn device(devices.Str() + "/ttyFAKE2");
    TPortsHarness h;
    TLumPortParams real = test::MqttParams(device.Link() + "(r)", broker.Port(), "orvane/real");
    real.isRealPort = true;
    real.RealPortBaudRate = br19200;
    real.RealPortBitData = dbEight;
    real.RealPortTunnelMode = fixed;
    TPortManager* a = h.Add(real);
    TPortManager* b = h.Add(test::MqttParams("COM_V", broker.Port(), "orvane/real"));
    ASSERT_TRUE(h.Pump([&] { return a->IsActive() && b->IsActive(); })) << broker.Log();

    TPtyClient app(h.LinkPath("COM_V"));
    ASSERT_TRUE(h.WaitShown("(COM_V) Open COM port"));
    ASSERT_TRUE(test::ProbeGetsThrough(app, device, h.Serve())) << broker.Log();
    ASSERT_TRUE(test::ProbeGetsThrough(device, app, h.Serve())) << broker.Log();
    ASSERT_TRUE(app.SetLine(B38400, true));
    ASSERT_TRUE(h.WaitShown("(COM_V) Baudrate = 38400"));
    ASSERT_TRUE(h.WaitFile("(COM_V) EVENT: StopBits = 2, Parity = 0, WordLength = 8"));
    ASSERT_TRUE(app.Write("cfg"));
    EXPECT_EQ(test::ReadAfterProbes(device, 3, h.Serve()), "cfg");
    const termios settings = device.Settings();
    EXPECT_EQ(cfgetospeed(&settings), fixed ? B19200 : B38400);
    EXPECT_EQ((settings.c_cflag & CSTOPB) != 0, !fixed);

    // And the device's bytes reach the application.
    ASSERT_TRUE(device.Write("back"));
    EXPECT_EQ(test::ReadAfterProbes(app, 4, h.Serve()), "back");
  }
}

}  // namespace
}  // namespace orvane
