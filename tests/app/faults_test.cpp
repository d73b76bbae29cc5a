// Faults around the program run headless as a real process: a converter or a
// broker that restarts, a serial device that another program holds or that
// is pulled out. The program runs on the real clock, where a failed reopen is
// tried again only after 60 s; so the program is frozen while the far end goes
// down and comes back, and thawed it finds the connection dropped and reopens
// it at once, as it does after a drop.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "headless_process.h"
#include "model/config_file.h"
#include "portkit/port_kit.h"
#include "support/fake_converter.h"
#include "support/mosquitto_fixture.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

using test::ProbeGetsThrough;
using test::ReadAfterProbes;
using test::TDeviceStandIn;
using test::TFakeConverter;
using test::TProcess;
using test::TPtyClient;

// A program with APorts in a fresh data directory and its ports in APortDir.
std::vector<std::string> Start(const test::TTempDir& AData, const test::TTempDir& APortDir,
                               const std::vector<TLumPortParams>& APorts) {
  std::ofstream(AData.Str() + "/config.cfg") << ConfigDocumentText(TPortParamsVectorView(APorts));
  return {"--headless", "--data-dir", AData.Str(), "--port-dir", APortDir.Str()};
}

// Each of ALines in AText, one after the other, the first after AFrom.
::testing::AssertionResult InOrder(const std::string& AText, size_t AFrom,
                                   std::initializer_list<std::string> ALines) {
  size_t at = AFrom;
  for (const auto& line : ALines) {
    at = AText.find(line, at);
    if (at == std::string::npos)
      return ::testing::AssertionFailure() << "not in order: " << line << "\n" << AText;
    at += line.size();
  }
  return ::testing::AssertionSuccess();
}

// Reads what an application or a device stand-in gets until AWant bytes came.
template <class TReader>
std::string ReadAll(TReader& AReader, size_t AWant) {
  return AReader.Read(AWant, 20000);
}

// Ends the program as a service manager does: it exits cleanly, and a
// sanitizer that found something in it makes the code other than 0.
::testing::AssertionResult StopsCleanly(TProcess& AProgram) {
  ::kill(AProgram.Pid(), SIGTERM);
  const int code = AProgram.Wait();
  if (code == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "exit code " << code << "\n" << AProgram.ErrText;
}

// Counts the times a device node was closed after being opened for writing:
// the attempts of the program to open a device it cannot have. Opens are
// watched too, only so that two closes in a row are not merged into one event.
class TCloseCounter {
 public:
  explicit TCloseCounter(const std::string& APath) : FFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    char real[PATH_MAX];
    if (::realpath(APath.c_str(), real) == nullptr ||
        ::inotify_add_watch(FFd.Get(), real, IN_OPEN | IN_CLOSE_WRITE) < 0)
      FFd.Reset();
  }
  bool Valid() const { return FFd.Valid(); }
  size_t Closes() {
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = ::read(FFd.Get(), buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->mask & IN_CLOSE_WRITE) ++FCloses;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return FCloses;
  }

 private:
  test::TTestFd FFd;
  size_t FCloses = 0;
};

// Written in chunks with a marker last: once the marker is through, nothing
// more is on its way, so any loss, repeat or reordering shows in the whole.
const std::vector<std::string> CHUNKS = {"one", "two", "three", "END"};
const std::string CHUNKS_JOINED = "onetwothreeEND";

TEST(TFaults, AnIp485ConverterThatRestartsIsReconnectedAndNothingIsLostOrSentTwice) {
  test::TTempDir data;
  test::TTempDir ports;
  TFakeConverter converter(TFakeConverter::TMode::Frames);
  converter.SetEcho(true);
  TProcess program(Start(data, ports, {test::VirtualParams("COM80", PROTOCOL_IP485, converter.Port())}));
  ASSERT_TRUE(program.WaitOut("Ready\n"));
  const std::string channel = "] (COM80) 127.0.0.1:" + std::to_string(converter.Port()) + " ";
  ASSERT_TRUE(program.WaitOut(channel + "Connect - OK"));
  TPtyClient app(ports.Str() + "/COM80");
  ASSERT_TRUE(app.Valid());
  ASSERT_TRUE(program.WaitOut("] (COM80) Open COM port"));
  ASSERT_TRUE(app.Write("before"));
  EXPECT_EQ(ReadAll(app, 6), "before");

  // Switched off and on again while the program does not look.
  const size_t framesBefore = converter.Frames().size();
  const size_t dropFrom = program.OutText.size();
  ASSERT_TRUE(program.Freeze());
  converter.Stop();
  converter.Start();
  program.Thaw();
  ASSERT_TRUE(program.WaitOut(channel + "Connect - OK", 2));
  EXPECT_TRUE(InOrder(program.OutText, dropFrom,
                      {channel + "ERROR=RECV CODE=0", channel + "Disconnected",
                       channel + "Connecting to TCP...", channel + "Connect - OK"}));
  // The program's connect completes before the converter's thread has taken the connection.
  EXPECT_TRUE(converter.WaitForConnections(2));
  EXPECT_EQ(converter.Connections(), 2u);

  for (const auto& chunk : CHUNKS) ASSERT_TRUE(app.Write(chunk));
  EXPECT_EQ(ReadAll(app, CHUNKS_JOINED.size()), CHUNKS_JOINED);
  const std::vector<std::string> frames = converter.Frames();
  std::string payloads;
  for (size_t i = framesBefore; i < frames.size(); ++i) payloads += frames[i].substr(24);
  EXPECT_EQ(payloads, CHUNKS_JOINED);
  EXPECT_EQ(app.Read(1, 0), "");
  EXPECT_EQ(program.CountOut("Connecting to TCP..."), 2u);
  EXPECT_TRUE(StopsCleanly(program));
}

TEST(TFaults, TwoMqttPortsPassBytesAgainAfterTheBrokerRestarts) {
  test::TMosquitto broker;
  test::TTempDir data;
  test::TTempDir ports;
  TProcess program(Start(data, ports,
                         {test::MqttParams("COM81", broker.Port(), "orvane/faults"),
                          test::MqttParams("COM82", broker.Port(), "orvane/faults")}));
  ASSERT_TRUE(program.WaitOut("Ready\n"));
  const std::string a = "] (COM81) 127.0.0.1:4001 ";
  const std::string b = "] (COM82) 127.0.0.1:4001 ";
  ASSERT_TRUE(program.WaitOut(a + "Connect - OK"));
  ASSERT_TRUE(program.WaitOut(b + "Connect - OK"));
  TPtyClient appA(ports.Str() + "/COM81");
  TPtyClient appB(ports.Str() + "/COM82");
  ASSERT_TRUE(program.WaitOut("] (COM81) Open COM port"));
  ASSERT_TRUE(program.WaitOut("] (COM82) Open COM port"));
  ASSERT_TRUE(ProbeGetsThrough(appA, appB)) << program.OutText;
  ASSERT_TRUE(appA.Write("before"));
  EXPECT_EQ(ReadAfterProbes(appB, 6), "before");

  ASSERT_TRUE(program.Freeze());
  broker.Stop();
  ASSERT_TRUE(broker.Start()) << broker.Log();
  program.Thaw();
  // Noticed by the next read of each session, or by its next ping at the latest.
  ASSERT_TRUE(program.WaitOut(a + "Connect - OK", 2, std::chrono::seconds(60))) << program.OutText;
  ASSERT_TRUE(program.WaitOut(b + "Connect - OK", 2, std::chrono::seconds(60))) << program.OutText;

  ASSERT_TRUE(ProbeGetsThrough(appA, appB)) << program.OutText;
  for (const auto& chunk : CHUNKS) ASSERT_TRUE(appA.Write(chunk));
  EXPECT_EQ(ReadAfterProbes(appB, CHUNKS_JOINED.size()), CHUNKS_JOINED) << broker.Log();
  ASSERT_TRUE(ProbeGetsThrough(appB, appA)) << program.OutText;
  ASSERT_TRUE(appB.Write("back"));
  EXPECT_EQ(ReadAfterProbes(appA, 4), "back");
  EXPECT_EQ(appA.Read(1, 0) + appB.Read(1, 0), "");
  EXPECT_TRUE(StopsCleanly(program));
}

TEST(TFaults, APhysicalPortHeldByAnotherProgramOrPulledOutComesBack) {
  test::TTempDir data;
  test::TTempDir ports;
  test::TTempDir devices;
  TDeviceStandIn device(devices.Str() + "/ttyFAKE9");
  test::TEchoServer echo;
  TLumPortParams real = test::VirtualParams(device.Link() + "(r)", PROTOCOL_DIRECT, echo.Port());
  real.isRealPort = true;
  // Another program holds the device when ours starts.
  test::TTestFd holder(::open(device.Link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_EQ(::flock(holder.Get(), LOCK_EX | LOCK_NB), 0);
  TCloseCounter attempts(device.Link());
  ASSERT_TRUE(attempts.Valid());
  TProcess program(Start(data, ports, {real}));
  ASSERT_TRUE(program.WaitOut("Ready\n"));
  const std::string prefix = "] (" + device.Link() + "(r)) ";
  const std::string channel = prefix + "127.0.0.1:" + std::to_string(echo.Port()) + " ";
  // The attempt of the start and the worker's first retry have failed, for one
  // reason, said once.
  ASSERT_TRUE(test::WaitFor([&] { return attempts.Closes() >= 2; }));
  program.CollectOut();
  const std::string why = prefix + "COM port cannot be opened: flock " + device.Link();
  EXPECT_EQ(program.CountOut(prefix), 1u) << program.OutText;
  EXPECT_EQ(program.CountOut(why), 1u) << program.OutText;

  // Let go: the next retry (10 s apart) opens it, and the channel follows in the same pass.
  holder.Reset();
  ASSERT_TRUE(program.WaitOut(channel + "Connect - OK", 1, std::chrono::seconds(30))) << program.OutText;
  EXPECT_EQ(program.CountOut(channel + "Connecting to TCP..."), 1u);
  ASSERT_TRUE(device.Write("held no more"));
  EXPECT_EQ(ReadAll(device, 12), "held no more");

  // Pulled out and put back while the program does not look: it finds the
  // device hung up, closes it with a line and opens the new one at once.
  ASSERT_TRUE(program.Freeze());
  device.Unplug();
  device.Plug();
  program.Thaw();
  ASSERT_TRUE(program.WaitOut(prefix + "COM port lost, closed: " + device.Link() + " hung up"));
  const std::string setState = "(" + device.Link() + "(r)) SetState - OK, Baudrate=9600";
  ASSERT_TRUE(test::WaitFor([&] {
    const std::string log = test::ReadFile(data.Str() + "/log.txt");
    return log.find(setState, log.find(setState) + 1) != std::string::npos;
  }));
  for (const auto& chunk : CHUNKS) ASSERT_TRUE(device.Write(chunk));
  EXPECT_EQ(ReadAll(device, CHUNKS_JOINED.size()), CHUNKS_JOINED);
  EXPECT_EQ(echo.Received(), "held no more" + CHUNKS_JOINED);
  EXPECT_EQ(echo.Connections(), 1u);  // the channel stayed up throughout
  EXPECT_EQ(program.CountOut("COM port lost"), 1u);
  EXPECT_TRUE(StopsCleanly(program));
}

}  // namespace
}  // namespace orvane
