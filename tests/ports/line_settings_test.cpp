// What reaches the far end of a virtual port of the line settings its application sets: the
// port mode words of IP485 frames and the setting bytes of MQTT packets; and the pause the
// port keeps between two sends to its converter.
#include <gtest/gtest.h>
#include <termios.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "channels/lum_tcp_server.h"
#include "mqtt/mqtt_client.h"
#include "portkit/port_kit.h"
#include "support/fake_converter.h"
#include "support/local_client_params.h"
#include "support/mosquitto_fixture.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::TFakeConverter;
using test::TPortsHarness;
using test::TPtyClient;

// What an application sets and what the port's driver events then say about it.
struct TAppLine {
  const char* Name;
  speed_t Speed;
  tcflag_t Bits;
  int32_t StopBits, Parity;  // as the port sees them: even parity and 7 bits do not show
};

// What an application sets, in an order where each row changes what the port can see (so each
// raises its event), and what a port whose settings are not fixed then tells its far end.
struct TAppCase {
  TAppLine Line;
  const char* Ip485Words;    // both port mode words of the next frame
  const char* MqttSettings;  // speed code, data-bit ordinal, parity code, stop bits
};
const TAppCase APP_CASES[] = {
    {{"9600 8O1", B9600, CS8 | PARENB | PARODD, 0, 1}, "00 86 00 86", "07 03 04 00"},
    {{"57600 7S1", B57600, CS7 | PARENB | CMSPAR, 0, 4}, "00 EC 00 EC", "0C 03 07 00"},
    {{"9600 8M2", B9600, CS8 | PARENB | CMSPAR | PARODD | CSTOPB, 2, 3}, "02 C6 02 C6", "07 03 06 02"},
    // Even parity and the word length leave no trace on a pty: fixed settings are for them.
    {{"19200 7E2", B19200, CS7 | PARENB | CSTOPB, 2, 0}, "02 08 02 08", "09 03 00 02"},
};

// An application's settings applied, and waited for until the port has seen them.
void SetAppLine(TPortsHarness& AHarness, TPtyClient& AApp, const std::string& AName, const TAppLine& ALine) {
  const std::string seen = "(" + AName + ") EVENT: StopBits = " + std::to_string(ALine.StopBits) +
                           ", Parity = " + std::to_string(ALine.Parity) + ", WordLength = 8";
  const size_t before = AHarness.CountFile(seen);
  ASSERT_TRUE(AApp.SetLineControl(ALine.Speed, ALine.Bits));
  ASSERT_TRUE(AHarness.WaitFile(seen, before + 1));
}

// Each of APP_CASES set by the application of port AName; ANext gives what the far end gets
// next, to be AExpected of the case.
void ExpectAppCases(TPortsHarness& AHarness, TPtyClient& AApp, const std::string& AName,
                    const char* TAppCase::*AExpected, const std::function<std::string()>& ANext) {
  for (const TAppCase& c : APP_CASES) {
    SCOPED_TRACE(c.Line.Name);
    SetAppLine(AHarness, AApp, AName, c.Line);
    EXPECT_EQ(ANext(), c.*AExpected);
  }
}

// Waits until the port has seen its application open it.
void WaitOpened(TPortsHarness& AHarness, const std::string& AName) {
  ASSERT_TRUE(AHarness.WaitShown("(" + AName + ") Open COM port"));
}

// The fixed line settings of a record: "Фиксированные настройки" ticked.
TLumPortParams Fixed(TLumPortParams AParams, TBaudRate ABaud, TDataBits ABits, TParityBits AParity,
                     TStopBits AStop) {
  AParams.RealPortTunnelMode = true;
  AParams.RealPortBaudRate = ABaud;
  AParams.RealPortBitData = ABits;
  AParams.RealPortParityBits = AParity;
  AParams.RealPortStopBits = AStop;
  return AParams;
}

// One frame more from the application's port; the port mode words it carries (send, receive).
std::string NextModeWords(TPortsHarness& AHarness, TPtyClient& AApp, TFakeConverter& AConverter) {
  const size_t before = AConverter.Frames().size();
  EXPECT_TRUE(AApp.Write("x"));
  if (!AHarness.Pump([&] { return AConverter.Frames().size() > before; })) return "no frame";
  return BytesToHex(AConverter.Frames()[before].substr(4, 4));
}

TEST(TVirtualPortLine, Ip485FramesCarryOddMarkAndSpaceAndAFixedPortsOwnSettings) {
  // A converter takes one connection at a time: one for each port.
  TFakeConverter converter(TFakeConverter::TMode::Frames);
  TFakeConverter fixedConverter(TFakeConverter::TMode::Frames);
  TPortsHarness h;
  h.Add(test::VirtualParams("COM_L", PROTOCOL_IP485, converter.Port()));
  h.Add(Fixed(test::VirtualParams("COM_F", PROTOCOL_IP485, fixedConverter.Port()), br19200, dbEight,
              TParityBits::Even, TStopBits::One));
  ASSERT_TRUE(converter.WaitForConnections(1));
  ASSERT_TRUE(fixedConverter.WaitForConnections(1));
  TPtyClient app(h.LinkPath("COM_L"));
  WaitOpened(h, "COM_L");
  TPtyClient fixedApp(h.LinkPath("COM_F"));
  WaitOpened(h, "COM_F");

  ExpectAppCases(h, app, "COM_L", &TAppCase::Ip485Words, [&] { return NextModeWords(h, app, converter); });

  // Fixed 19200 8E1: so from the start, and whatever the application sets.
  EXPECT_EQ(NextModeWords(h, fixedApp, fixedConverter), "00 A8 00 A8");
  SetAppLine(h, fixedApp, "COM_F", {"115200 7O2", B115200, CS7 | PARENB | PARODD | CSTOPB, 2, 1});
  ASSERT_TRUE(h.WaitShown("(COM_F) Baudrate = 115200"));
  EXPECT_EQ(NextModeWords(h, fixedApp, fixedConverter), "00 A8 00 A8");
  EXPECT_EQ(h.CountFile("(COM_F) SetState - OK, Baudrate=19200, Parity=2, StopBits=0"), 1u);
}

// Every data packet published on one topic, as a bare subscriber sees it.
class TPacketWatcher {
 public:
  TPacketWatcher(uint16_t ABrokerPort, const std::string& ATopic)
      : FClient(test::LocalClientParams(ABrokerPort, "line-watcher")) {
    FClient.OnPublish = [this](TMQTTClient*, uint16_t, TQualityOfService, const std::string&,
                               const std::string& APayload) { Note(APayload); };
    FClient.OnSubAck = [this](TMQTTClient*, uint16_t, const std::vector<TSubscribeErrorCode>&) {
      FSubscribed = true;
    };
    uint16_t id = 0;
    FStarted = FClient.Connect() && FClient.Subscribe({ATopic}, TQualityOfService::QoS0, id);
  }
  bool Subscribed(TPortsHarness& AHarness) {
    return FStarted && AHarness.Pump([&] {
      FClient.Process();
      return FSubscribed;
    });
  }
  // The four setting bytes of the next data packet, sent by AApp's port for AData.
  std::string NextSettings(TPortsHarness& AHarness, TPtyClient& AApp, const std::string& AData) {
    const size_t before = FSettings.size();
    EXPECT_TRUE(AApp.Write(AData));
    if (!AHarness.Pump([&] {
          FClient.Process();
          return FSettings.size() > before;
        }))
      return "no packet";
    return FSettings[before];
  }

 private:
  // Client identifier length (16 bits, little-endian), the identifier, four setting bytes;
  // a hello carries FF FF FF FF.
  void Note(const std::string& APayload) {
    if (APayload.size() < 2) return;
    const size_t idLength = static_cast<uint8_t>(APayload[0]) | size_t{static_cast<uint8_t>(APayload[1])}
                                                                    << 8;
    if (APayload.size() < 2 + idLength + 4) return;
    const std::string settings = BytesToHex(APayload.substr(2 + idLength, 4));
    if (settings != "FF FF FF FF") FSettings.push_back(settings);
  }

  TMQTTClient FClient;
  bool FStarted = false;
  bool FSubscribed = false;
  std::vector<std::string> FSettings;
};

TEST(TVirtualPortLine, MqttPacketsCarryOddMarkAndSpaceAndAFixedPortsOwnSettings) {
  test::TMosquitto broker;
  TPortsHarness h;
  TPacketWatcher watcher(broker.Port(), "orvane/line/#");
  ASSERT_TRUE(watcher.Subscribed(h)) << broker.Log();
  TPortManager* port = h.Add(test::MqttParams("COM_M", broker.Port(), "orvane/line/free"));
  TPortManager* fixed = h.Add(Fixed(test::MqttParams("COM_N", broker.Port(), "orvane/line/fixed"), br19200,
                                    dbSeven, TParityBits::Even, TStopBits::Two));
  ASSERT_TRUE(h.Pump([&] { return port->IsActive() && fixed->IsActive(); })) << broker.Log();
  TPtyClient app(h.LinkPath("COM_M"));
  WaitOpened(h, "COM_M");
  TPtyClient fixedApp(h.LinkPath("COM_N"));
  WaitOpened(h, "COM_N");

  ExpectAppCases(h, app, "COM_M", &TAppCase::MqttSettings, [&] { return watcher.NextSettings(h, app, "m"); });

  // Fixed 19200 7E2, whatever the application sets.
  EXPECT_EQ(watcher.NextSettings(h, fixedApp, "n"), "09 02 05 02");
  SetAppLine(h, fixedApp, "COM_N", {"115200 8O1", B115200, CS8 | PARENB | PARODD, 0, 1});
  EXPECT_EQ(watcher.NextSettings(h, fixedApp, "n"), "09 02 05 02");
}

// With the port's clock held, a pause that has not passed never passes: what a second write
// does then shows whether the port keeps a pause at all.
TEST(TVirtualPortLine, TheSendPauseIsThePortsOwn) {
  struct TCase {
    uint16_t SendPause;
    const char* Protocol;
  };
  for (const TCase c : {TCase{0, PROTOCOL_DIRECT}, TCase{0, PROTOCOL_IP485}, TCase{10, PROTOCOL_DIRECT},
                        TCase{250, PROTOCOL_IP485}}) {
    SCOPED_TRACE(std::to_string(c.SendPause) + " ms, " + c.Protocol);
    const bool frames = std::string(c.Protocol) == PROTOCOL_IP485;
    TFakeConverter converter(frames ? TFakeConverter::TMode::Frames : TFakeConverter::TMode::PassThrough);
    TPortsHarness h;
    TLumPortParams params = test::VirtualParams("COM_P", c.Protocol, converter.Port());
    params.SendPause = c.SendPause;
    TPortManager* port = h.Add(params);
    ASSERT_TRUE(h.Pump([&] { return port->IsActive(); }));
    TPtyClient app(h.LinkPath("COM_P"));
    WaitOpened(h, "COM_P");
    auto sends = [&] { return frames ? converter.Frames().size() : converter.Received().size(); };

    h.Clock.Hold();
    ASSERT_TRUE(app.Write("a"));
    ASSERT_TRUE(h.Pump([&] { return sends() == 1; }));
    ASSERT_TRUE(app.Write("b"));
    ASSERT_TRUE(h.WaitShown("(COM_P) IN: [1] 62"));
    if (c.SendPause == 0) {
      ASSERT_TRUE(h.Pump([&] { return sends() == 2; }));
      continue;
    }
    const uint64_t passes = port->PassCount();
    ASSERT_TRUE(h.Pump([&] { return port->PassCount() >= passes + 2; }));
    EXPECT_EQ(sends(), 1u);
    const uint64_t beforeJump = port->PassCount();
    h.Jump(c.SendPause - 1u);
    ASSERT_TRUE(h.Pump([&] { return port->PassCount() >= beforeJump + 2; }));
    EXPECT_EQ(sends(), 1u) << "a millisecond before the pause ends";
    h.Jump(2);
    ASSERT_TRUE(h.Pump([&] { return sends() == 2; }));
  }
}

}  // namespace
}  // namespace orvane
