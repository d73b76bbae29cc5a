#include "ports/port_manager.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "channels/lum_mqtt_server.h"
#include "channels/lum_tcp_server.h"
#include "platform/tcp_socket.h"
#include "portkit/port_kit.h"
#include "ports/lum_real_port.h"
#include "ports/lum_virtual_port.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::LinkExists;
using test::TEchoServer;
using test::TPortsHarness;
using test::TPtyClient;
using test::VirtualParams;

// A physical port whose device does not exist: it is built and retried, and touches nothing.
TLumPortParams Missing(const std::string& AName) {
  TLumPortParams p = VirtualParams(AName, PROTOCOL_DIRECT, test::UnusedLoopbackPort());
  p.isRealPort = true;
  return p;
}

TEST(TLumPortList, FindsAndDeletesByExactNameInTheOrderOfAddition) {
  TPortsHarness h;
  TLumPortList& list = h.List();
  // Straight into the list: the port host refuses a second port of one name.
  TPortManager* first = list.AddPort(Missing("/nonexistent/ttyA(r)"));
  TPortManager* second = list.AddPort(Missing("/nonexistent/ttyA(r)"));
  TPortManager* other = list.AddPort(Missing("/nonexistent/ttyB(r)"));
  ASSERT_EQ(list.Count(), 3u);
  EXPECT_TRUE(first->IsRealPort());
  EXPECT_NE(first->GetRealPort(), nullptr);
  EXPECT_EQ(first->GetVirtPort(), nullptr);
  EXPECT_EQ(list.GetPort(0), first);
  EXPECT_EQ(list.GetPort(2), other);
  EXPECT_EQ(list.GetPort(-1), nullptr);
  EXPECT_EQ(list.GetPort(3), nullptr);
  EXPECT_EQ(list.GetPort("/nonexistent/ttyA(r)"), first);
  EXPECT_EQ(list.GetPort("/nonexistent/ttya(r)"), nullptr);  // letter case counts
  EXPECT_EQ(list.Params(2).ComName, "/nonexistent/ttyB(r)");
  EXPECT_FALSE(first->IsOpened());

  EXPECT_FALSE(list.DeletePort("/nonexistent/TTYA(r)"));
  EXPECT_EQ(list.Count(), 3u);
  // The first of two with one name goes; a physical port's Delete closes it: true.
  EXPECT_TRUE(list.DeletePort("/nonexistent/ttyA(r)"));
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.GetPort(0), second);
  EXPECT_EQ(list.GetPort(1), other);
  // Nothing but why the devices cannot be opened.
  for (const std::string& line : h.ShownLines())
    EXPECT_NE(line.find(") COM port cannot be opened: open /nonexistent/tty"), std::string::npos) << line;
}

TEST(TLumPortList, AFailedBuildAddsNothing) {
  TPortsHarness h;
  h.Add(Missing("/nonexistent/ttyA(r)"));
  h.Env.MakeChannel = [](const TPortEnvironment&, const TLumPortParams&, TOnReceiveDataEvent,
                         TCancelCheck) -> IServerInterfacePtr { throw std::runtime_error("no channel"); };
  EXPECT_THROW(h.List().AddPort(VirtualParams("COM21", PROTOCOL_DIRECT, 1)), std::runtime_error);
  EXPECT_EQ(h.List().Count(), 1u);
  EXPECT_FALSE(LinkExists(h.LinkPath("COM21")));
}

TEST(TLumPortList, DeletingAVirtualPortRemovesItsLinkOrSaysItCouldNot) {
  TPortsHarness h;
  h.Add(VirtualParams("COM22", PROTOCOL_DIRECT, test::UnusedLoopbackPort()));
  ASSERT_TRUE(LinkExists(h.LinkPath("COM22")));
  EXPECT_TRUE(h.List().DeletePort("COM22"));
  EXPECT_FALSE(LinkExists(h.LinkPath("COM22")));
  EXPECT_EQ(h.List().Count(), 0u);

  // A port that was never created cannot be deleted: the line, and it goes from the list anyway.
  std::ofstream(h.LinkPath("COM23")) << "not a port";
  h.Add(VirtualParams("COM23", PROTOCOL_DIRECT, test::UnusedLoopbackPort()));
  EXPECT_FALSE(h.List().DeletePort("COM23"));
  EXPECT_EQ(h.CountShown("(COM23) Error on delete virtual COM port"), 1u);
  EXPECT_EQ(h.List().Count(), 0u);
  EXPECT_TRUE(LinkExists(h.LinkPath("COM23")));  // not ours: left alone
}

TEST(TLumPortList, TheChannelIsChosenByTheExactProtocolLabel) {
  TMainDispatcher dispatcher;
  TPortEnvironment env(dispatcher);
  const auto make = [&](const std::string& AProtocol) {
    return MakeChannel(env, VirtualParams("COM24", AProtocol, 1), {}, {});
  };
  EXPECT_NE(dynamic_cast<TLumMqttServer*>(make(PROTOCOL_MQTT).get()), nullptr);
  EXPECT_NE(dynamic_cast<TLumTcpServer*>(make("mqtt").get()), nullptr);
  EXPECT_NE(dynamic_cast<TLumTcpServer*>(make(PROTOCOL_IP485).get()), nullptr);
  EXPECT_NE(dynamic_cast<TLumTcpServer*>(make(PROTOCOL_DIRECT).get()), nullptr);
}

TEST(TLumVirtualPort, ParityToParityGivesTheChannelsCodes) {
  const std::vector<std::pair<int32_t, TTCP_Port_Parity>> parity = {
      {0, tpp_None},  {1, tpp_Odd},  {2, tpp_Even},  {3, tpp_Mark},
      {4, tpp_Space}, {5, tpp_None}, {-1, tpp_None}, {257, tpp_None}};
  for (const auto& [driver, code] : parity)
    EXPECT_EQ(TLumVirtualPort::ParityToParity(driver), code) << driver;
}

// A loopback peer that never answers a connect: its one-place queue is full,
// so further SYNs are dropped.
struct TSilentPeer {
  TSilentPeer() : Listener(0) {
    for (;;) {
      TTcpSocket filler;
      if (!filler.Create() || !filler.Connect(TIPv4Address{{127, 0, 0, 1}}, Listener.Port(), 300)) break;
      Fillers.push_back(std::move(filler));
      if (Fillers.size() > 16) throw std::runtime_error("the listen queue never filled");
    }
  }
  test::TLoopbackListener Listener;
  std::vector<TTcpSocket> Fillers;
};

TEST(TLumPortList, TeardownDoesNotWaitForPeersAndLeavesTheLinks) {
  TSilentPeer silent;
  TEchoServer echo;
  TPortsHarness h;
  constexpr int SILENT_PORTS = 16;
  for (int i = 0; i < SILENT_PORTS; ++i)
    h.Add(VirtualParams("COM3" + std::to_string(i), PROTOCOL_DIRECT, silent.Listener.Port()));
  TPortManager* busy = h.Add(VirtualParams("COM50", PROTOCOL_DIRECT, echo.Port()));
  ASSERT_TRUE(h.Pump([&] { return busy->IsActive(); }));
  ASSERT_TRUE(h.Pump([&] { return h.CountShownContaining("Connecting to TCP...") == SILENT_PORTS + 1; }));
  // Mid-transfer: an application keeps writing while the port goes.
  TPtyClient app(h.LinkPath("COM50"));
  ASSERT_TRUE(h.WaitShown("(COM50) Open COM port"));
  ASSERT_TRUE(app.Write(std::string(4000, 'x')));
  ASSERT_TRUE(h.Pump([&] { return echo.Received().size() > 0; }));

  const auto start = std::chrono::steady_clock::now();
  h.DestroyList();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(1))
      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  EXPECT_TRUE(LinkExists(h.LinkPath("COM30")));
  EXPECT_TRUE(LinkExists(h.LinkPath("COM50")));
}

// True once a call is queued for the main thread.
bool HandOffQueued(const TMainDispatcher& ADispatcher) {
  pollfd pfd{ADispatcher.WakeFd(), POLLIN, 0};
  return ::poll(&pfd, 1, 0) == 1;
}

TEST(TLumPortList, MainThreadCallsPendingAtDeletionNeverReachTheDyingPort) {
  TEchoServer echo;
  const uint16_t p = echo.Port();
  test::TTempDir devices;
  test::TDeviceStandIn device(devices.Str() + "/ttyFAKE9");
  TLumPortParams real = VirtualParams(device.Link() + "(r)", PROTOCOL_DIRECT, p);
  real.isRealPort = true;
  for (const bool physical : {false, true}) {
    SCOPED_TRACE(physical);
    TPortsHarness h;
    const std::string name = physical ? real.ComName : "COM60";
    h.Add(physical ? real : VirtualParams(name, PROTOCOL_DIRECT, p));
    h.Add(Missing("/nonexistent/ttyKEEP(r)"));
    ASSERT_TRUE(h.WaitShown("(" + name + ") 127.0.0.1:" + std::to_string(p) + " Connect - OK"));
    // The worker's state report of the connect is served, so the only hand-offs
    // below are the ones made for the test.
    ASSERT_TRUE(h.Pump([&] { return h.StateChanges == 1; }));
    std::unique_ptr<TPtyClient> app;
    if (!physical) {
      app = std::make_unique<TPtyClient>(h.LinkPath(name));
      ASSERT_TRUE(h.WaitShown("(" + name + ") Open COM port"));
    }
    const size_t connects = echo.Connections();

    // From here on the main thread serves nothing until the deletion: bytes
    // from the local side are read and logged on the port's own thread, their
    // shown line waits for the main thread, and the worker, seeing its
    // connection drop, waits in a hand-off with its log line.
    ASSERT_TRUE(physical ? device.Write("late") : app->Write("late"));
    ASSERT_TRUE(test::WaitFor([&] { return HandOffQueued(h.Dispatcher); }));
    echo.DropClient();
    const std::string dropped = "(" + name + ") 127.0.0.1:" + std::to_string(p) + " ERROR=RECV CODE=0";
    ASSERT_TRUE(test::WaitFor([&] { return h.CountFileContaining(dropped) == 1; }));
    const int states = h.StateChanges;

    EXPECT_TRUE(h.List().DeletePort(name));
    EXPECT_EQ(h.List().Count(), 1u);
    // The bytes did not wait for the main thread; the worker's hand-off was served.
    EXPECT_EQ(h.CountFileContaining("(" + name + ") EVENT: RxChar"), 1u);
    EXPECT_EQ(h.CountShownContaining(dropped), 1u);
    // A state refresh served meanwhile saw only the ports still listed.
    for (size_t i = static_cast<size_t>(states); i < h.StatesSeen.size(); ++i)
      EXPECT_EQ(h.StatesSeen[i].size(), 1u);
    h.Pump([&] { return !HandOffQueued(h.Dispatcher); });
    EXPECT_LE(echo.Connections(), connects + 1);
  }
}

}  // namespace
}  // namespace orvane
