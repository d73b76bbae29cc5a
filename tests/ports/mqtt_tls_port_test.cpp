#include <gtest/gtest.h>

#include <string>

#include "portkit/port_kit.h"
#include "support/mosquitto_fixture.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::MqttParams;
using test::TMosquitto;
using test::TPortsHarness;
using test::TPtyClient;

TMosquitto::TOptions TlsBroker() {
  TMosquitto::TOptions options;
  options.Tls = true;
  return options;
}

// A port to the TLS listener of ABroker, by the name its certificate is made out to.
TLumPortParams TlsParams(const std::string& AName, const TMosquitto& ABroker, const std::string& ACaFile) {
  TLumPortParams p = MqttParams(AName, ABroker.TlsPort(), "orvane/tls");
  p.MqttHost = "localhost:" + std::to_string(ABroker.TlsPort());
  p.MqttTls = true;
  p.MqttCaFile = ACaFile;
  return p;
}

std::string Shown(const TPortsHarness& AHarness) {
  std::string all;
  for (const std::string& line : AHarness.ShownLines()) all += line + "\n";
  return all;
}

TEST(TMqttTlsPorts, BytesCrossBothWaysOverTlsWithAnAccount) {
  TMosquitto::TOptions options = TlsBroker();
  options.UserName = "plant";
  options.Password = "s3cret";
  TMosquitto broker(options);
  TPortsHarness h;
  auto params = [&](const std::string& AName) {
    TLumPortParams p = TlsParams(AName, broker, broker.CaFile());
    p.MqttUserName = "plant";
    p.MqttPassword = "s3cret";
    return p;
  };
  TPortManager* a = h.Add(params("COM_A"));
  TPortManager* b = h.Add(params("COM_B"));
  ASSERT_TRUE(h.Pump([&] {
    return a->IsActive() && b->IsActive() && broker.Subscriptions("orvane/tls") == 2;
  })) << Shown(h)
      << broker.Log();
  TPtyClient appA(h.LinkPath("COM_A"));
  TPtyClient appB(h.LinkPath("COM_B"));
  ASSERT_TRUE(h.WaitShown("(COM_A) Open COM port"));
  ASSERT_TRUE(h.WaitShown("(COM_B) Open COM port"));
  EXPECT_TRUE(test::BytesCrossBothWays(h, appA, appB, std::string("over TLS\x00\xFF", 10), "back"))
      << Shown(h) << broker.Log();
  EXPECT_EQ(h.CountShownContaining("ERROR="), 0u) << Shown(h);
}

// A certificate the port cannot accept keeps it down, says why on every attempt, and the
// broker never gets the CONNECT with the account; the same certificate is taken only when
// the port's settings switch checking off.
TEST(TMqttTlsPorts, ARefusedCertificateKeepsThePortDownAndSaysWhy) {
  test::TTempDir otherDir;
  const std::string otherCa = test::MakeTestCa(otherDir.Str());
  TMosquitto::TOptions options = TlsBroker();
  TMosquitto good(options);
  options.TlsSubjectAltName = "DNS:other.example,IP:10.9.9.9";
  TMosquitto otherName(options);
  options = TlsBroker();
  options.TlsExpired = true;
  TMosquitto expired(options);
  struct TCase {
    const char* Name;
    TMosquitto* Broker;
    bool UnrelatedCa;
    bool Verify;
    const char* Why;  // nullptr: accepted
  };
  // Refusals before acceptances: each broker's log must not yet hold the port's CONNECT.
  const TCase cases[] = {
      {"unrelated CA", &good, true, true, "certificate not accepted (unknown CA): "},
      {"wrong host name", &otherName, false, true,
       "certificate not accepted (wrong name): hostname mismatch"},
      {"expired", &expired, false, true, "certificate not accepted (expired): certificate has expired"},
      {"unrelated CA, checking off", &good, true, false, nullptr},
      {"wrong host name, checking off", &otherName, false, false, nullptr},
      {"expired, checking off", &expired, false, false, nullptr},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TPortsHarness h;
    TLumPortParams p = TlsParams("COM_T", *c.Broker, c.UnrelatedCa ? otherCa : c.Broker->CaFile());
    p.MqttVerifyCert = c.Verify;
    p.MqttUserName = "user";
    p.MqttPassword = "not-for-strangers";
    TPortManager* port = h.Add(p);
    if (c.Why == nullptr) {
      ASSERT_TRUE(h.Pump([&] { return port->IsActive(); })) << Shown(h);
      EXPECT_TRUE(test::WaitFor([&] { return c.Broker->Log().find(" as COM_T_") != std::string::npos; }));
      continue;
    }
    const std::string error = "(COM_T) 127.0.0.1:4001 ERROR=Error connect SSL/TCL, ErrorCode=";
    auto refusals = [&] {
      size_t n = 0;
      for (const std::string& line : h.ShownLines())
        n += line.rfind(error, 0) == 0 && line.find(c.Why) != std::string::npos;
      return n;
    };
    ASSERT_TRUE(h.Pump([&] { return refusals() == 1; })) << Shown(h);
    ASSERT_TRUE(h.WaitShown("(COM_T) 127.0.0.1:4001 Connect - Fail"));
    EXPECT_FALSE(port->IsActive());
    // The next attempt, a minute on, meets the same certificate.
    h.Jump(60000);
    ASSERT_TRUE(h.Pump([&] { return refusals() == 2; })) << Shown(h);
    EXPECT_FALSE(port->IsActive());
    EXPECT_EQ(c.Broker->Log().find(" as COM_T_"), std::string::npos) << c.Broker->Log();
  }
}

// Plain MQTT to the TLS listener and TLS to the plain one both fail with a line that names TLS.
TEST(TMqttTlsPorts, APortOnTheOtherKindOfListenerSaysSo) {
  TMosquitto broker(TlsBroker());
  struct TCase {
    const char* Name;
    bool Tls;
    uint16_t Port;
    const char* Line;
  };
  const TCase cases[] = {
      {"plain port, TLS listener", false, broker.TlsPort(),
       "(COM_W) 127.0.0.1:4001 ERROR=Connection closed before CONNACK (does the broker expect TLS on this "
       "port?): "},
      {"TLS port, plain listener", true, broker.Port(), "(no TLS from the broker: is this its TLS port?)"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TPortsHarness h;
    TLumPortParams p = MqttParams("COM_W", c.Port, "orvane/wrong");
    p.MqttTls = c.Tls;
    p.MqttCaFile = broker.CaFile();
    TPortManager* port = h.Add(p);
    ASSERT_TRUE(h.Pump([&] { return h.CountShownContaining(c.Line) >= 1; })) << Shown(h);
    EXPECT_TRUE(h.Pump([&] { return !port->IsActive(); }));
    EXPECT_EQ(broker.Log().find(" as COM_W_"), std::string::npos) << broker.Log();
  }
}

}  // namespace
}  // namespace orvane
