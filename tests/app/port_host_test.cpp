#include "app/port_host.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/headless_process.h"
#include "channels/lum_tcp_server.h"
#include "model/config_file.h"
#include "portkit/port_kit.h"

namespace orvane {
namespace {

using test::LinkExists;
using test::TEchoServer;
using test::TPortsHarness;
using test::TPtyClient;
using test::VirtualParams;

std::string ConfigPath(const TPortsHarness& AHarness) {
  return AHarness.DataDir.Str() + "/" + CONFIG_FILE_NAME;
}

std::vector<std::string> Names(const TPortHost& AHost) {
  std::vector<std::string> names;
  for (size_t i = 0; i < AHost.Count(); ++i) names.push_back(AHost.Port(i)->PortParams().ComName);
  return names;
}

// Whatever did not become a port is written back after the ports, as it stood,
// and a second load sees the same list and the same elements left out.
TEST(TPortHost, ElementsTheLoadLeftOutSurviveEverySave) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Elements;
    std::vector<std::string> Loaded;
    // Text that must reappear in the saved file unchanged.
    std::vector<std::string> Kept;
  };
  const std::string a =
      R"(<Port ComName="COM91" IpAddress="127.0.0.1" PortNumber="1" Protocol="Сквозной режим"/>)";
  const std::string bad = R"(<Port ComName="COM92" IpAddress="127.0.0.1" PortNumber="1" isRealPort="yes"/>)";
  const std::string c =
      R"(<Port ComName="COM93" IpAddress="127.0.0.1" PortNumber="1" Protocol="Сквозной режим"/>)";
  const std::string misspelt = R"(<Port ComName="COM94" IpAddress="127.0.0.1" Portnumber="1"/>)";
  const std::string twin = R"(<Port ComName="COM91" IpAddress="127.0.0.2" PortNumber="2"/>)";
  const std::string nested = "<Port ComName=\"COM95\" IpAddress=\"h\">\n    <Note/>\n  </Port>";
  const TCase cases[] = {
      {"stopped at a bad value", {a, bad, c}, {"COM91"}, {bad + "\n  " + c}},
      {"skipped without a port number", {misspelt, a}, {"COM91"}, {misspelt}},
      {"a name already taken", {a, twin, c}, {"COM91", "COM93"}, {twin}},
      {"an element with children", {nested, a}, {"COM91"}, {nested}},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    TPortsHarness h;
    std::string text = "<?xml version=\"1.0\"?>\n<Orvane Description=\"Orvane config file\">\n";
    for (const auto& element : k.Elements) text += "  " + element + "\n";
    text += "</Orvane>\n";
    std::ofstream(ConfigPath(h)) << text;
    h.Host->Load();
    EXPECT_EQ(Names(*h.Host), k.Loaded);
    // An edit without a change, as the user's Enter in the editor.
    TPortManager* first = h.Host->Port(0);
    ASSERT_TRUE(h.Host->Edit(first, first->PortParams()).Ok());
    const std::vector<std::string> running = Names(*h.Host);
    const std::string saved = test::ReadFile(ConfigPath(h));
    for (const auto& kept : k.Kept) EXPECT_NE(saved.find(kept), std::string::npos) << saved;

    TPortsHarness again;
    std::ofstream(ConfigPath(again)) << saved;
    again.Host->Load();
    EXPECT_EQ(Names(*again.Host), running);
    EXPECT_EQ(again.Host->LeftOut(), h.Host->LeftOut());
  }
}

// One message per file names every element with an unknown attribute or
// Protocol label, and every refused one; loading goes on as before.
TEST(TPortHost, UnknownAttributesLabelsAndTakenNamesAreToldInOneMessage) {
  TPortsHarness h;
  std::ofstream(ConfigPath(h))
      << "<Orvane>\n"
      << R"(<Port ComName="COM96" IpAddress="127.0.0.1" Portnumber="1"/>)"
      << "\n"
      << R"(<Port ComName="COM97" IpAddress="127.0.0.1" PortNumber="1" Protocol="IP-485"/>)"
      << "\n"
      << R"(<Port ComName="COM97" IpAddress="127.0.0.1" PortNumber="2"/>)"
      << "\n</Orvane>";
  EXPECT_TRUE(h.Host->Load());
  EXPECT_EQ(Names(*h.Host), std::vector<std::string>{"COM97"});
  ASSERT_EQ(h.Messages.Shown.size(), 1u);
  EXPECT_EQ(h.Messages.Shown[0], "Загрузка конфигурации: Замечания к файлу конфигурации\r\n" + ConfigPath(h) +
                                     "\r\n<Port> at line 2: unknown attribute Portnumber"
                                     "\r\n<Port> at line 3: unknown Protocol \"IP-485\""
                                     "\r\n<Port> at line 4: ComName \"COM97\" is taken by another port, "
                                     "the port is skipped");
}

// A record without MQTT topic or key gets generated ones, in the service as in
// the window, and the next save writes them.
TEST(TPortHost, MissingMqttTopicAndKeyAreGenerated) {
  TPortsHarness h;
  std::ofstream(ConfigPath(h)) << R"(<Orvane><Port ComName="COM98" IpAddress="127.0.0.1" PortNumber="1" )"
                               << R"(Protocol="MQTT" MqttHost="127.0.0.1:1"/></Orvane>)";
  h.Host->Load();
  ASSERT_EQ(h.Host->Count(), 1u);
  const TLumPortParams params = h.Host->Port(0)->PortParams();
  EXPECT_EQ(params.MqttTopic.rfind("/Orvane/", 0), 0u) << params.MqttTopic;
  EXPECT_EQ(params.MqttTopic.size(), 14u);
  EXPECT_NE(params.MqttSecurityKey, 0u);
  EXPECT_TRUE(h.Host->Save());
  EXPECT_NE(test::ReadFile(ConfigPath(h)).find("MqttTopic=\"" + params.MqttTopic + "\""), std::string::npos);
}

// A channel that notes whether the port's link is still there when it goes.
class TWatchedChannel : public TLumTcpServer {
 public:
  TWatchedChannel(const TLumPortParams& APortParams, TOnReceiveDataEvent AOnReceive, TChannelOptions AOptions,
                  std::function<void()> AOnGone)
      : TLumTcpServer(APortParams, std::move(AOnReceive), std::move(AOptions)), FOnGone(std::move(AOnGone)) {}
  ~TWatchedChannel() override { FOnGone(); }

 private:
  std::function<void()> FOnGone;
};

// The worker and its channel end before the port is deleted, so no creation
// retry of the worker can bring the port back; the port asked for goes, even
// with another of its name in the list.
TEST(TPortHost, DeletingAPortStopsItsWorkerFirstAndTakesTheOneAskedFor) {
  // Outlives the harness: the last channels go with it.
  std::vector<bool> linkAtChannelEnd;
  TPortsHarness h;
  h.Env.MakeChannel = [&](const TPortEnvironment& AEnv, const TLumPortParams& APortParams,
                          TOnReceiveDataEvent AOnReceive, TCancelCheck ACancel) -> IServerInterfacePtr {
    TChannelOptions options;
    options.Ticks = AEnv.Ticks;
    options.CancelCheck = std::move(ACancel);
    const std::string link = h.LinkPath(APortParams.ComName);
    return std::make_shared<TWatchedChannel>(APortParams, std::move(AOnReceive), std::move(options),
                                             [&, link] { linkAtChannelEnd.push_back(LinkExists(link)); });
  };
  TPortManager* port = h.Add(VirtualParams("COM99", PROTOCOL_DIRECT, test::UnusedLoopbackPort()));
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(LinkExists(h.LinkPath("COM99")));
  const TPortResult result = h.Host->Delete(port);
  EXPECT_TRUE(result.Ok());
  EXPECT_EQ(linkAtChannelEnd, std::vector<bool>{true});
  EXPECT_FALSE(LinkExists(h.LinkPath("COM99")));
  EXPECT_EQ(h.Host->Count(), 0u);

  // Two of one name straight in the list: deleting the second leaves the first.
  TLumPortList& list = h.List();
  TPortManager* first = list.AddPort(VirtualParams("COM100", PROTOCOL_DIRECT, 1));
  TPortManager* second = list.AddPort(VirtualParams("COM100", PROTOCOL_DIRECT, 2));
  EXPECT_FALSE(list.DeletePort(second));  // never created: nothing to delete
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(list.GetPort(0), first);
}

// Busy and taken names change nothing; the window turns them into boxes.
TEST(TPortHost, AnOpenPortOrATakenNameRefusesTheChange) {
  TEchoServer echo;
  TPortsHarness h;
  TPortManager* a = h.Add(VirtualParams("COM101", PROTOCOL_DIRECT, echo.Port()));
  TPortManager* b = h.Add(VirtualParams("COM102", PROTOCOL_DIRECT, echo.Port()));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(h.Host->Add(VirtualParams("COM101", PROTOCOL_DIRECT, 1)).Outcome, TPortOutcome::NameTaken);
  EXPECT_EQ(h.Host->Edit(b, VirtualParams("COM101", PROTOCOL_DIRECT, 1)).Outcome, TPortOutcome::NameTaken);
  TPtyClient app(h.LinkPath("COM101"));
  ASSERT_TRUE(h.Pump([&] { return a->IsOpened(); }));
  EXPECT_EQ(h.Host->Delete(a).Outcome, TPortOutcome::Busy);
  EXPECT_EQ(h.Host->Edit(a, a->PortParams()).Outcome, TPortOutcome::Busy);
  EXPECT_EQ(Names(*h.Host), (std::vector<std::string>{"COM101", "COM102"}));
  EXPECT_FALSE(std::ifstream(ConfigPath(h)).good());  // nothing was saved
}

// Reload keeps what did not change running, and brings the rest in line.
TEST(TPortHost, ReloadKeepsUnchangedPortsRunning) {
  TEchoServer echo;
  TPortsHarness h;
  const uint16_t port = echo.Port();
  TPortManager* kept = h.Add(VirtualParams("COM103", PROTOCOL_DIRECT, port));
  h.Add(VirtualParams("COM104", PROTOCOL_DIRECT, port));
  h.Add(VirtualParams("COM105", PROTOCOL_DIRECT, port));
  TLumPortParams moved = VirtualParams("COM104", PROTOCOL_DIRECT, port);
  moved.Header = "moved";
  h.Host->Reload({VirtualParams("COM103", PROTOCOL_DIRECT, port), moved,
                  VirtualParams("COM106", PROTOCOL_DIRECT, port)});

  EXPECT_EQ(Names(*h.Host), (std::vector<std::string>{"COM103", "COM104", "COM106"}));
  EXPECT_EQ(h.Host->Port(0), kept);
  EXPECT_EQ(h.Host->Port(1)->PortParams().Header, "moved");
  EXPECT_EQ(h.CountFileContaining("(COM104) Create COM port - OK"), 2u);
  EXPECT_FALSE(LinkExists(h.LinkPath("COM105")));
  EXPECT_TRUE(LinkExists(h.LinkPath("COM106")));
  EXPECT_EQ(h.CountFile("(COM103) Create COM port - OK, ComName=COM103, IpAddress=127.0.0.1, PortNumber=" +
                        std::to_string(port) +
                        ", LineNumber=1, Protocol=Сквозной режим, ReadPacketTimeout=0, "
                        "ReadIntervalTimeout=" +
                        std::to_string(kept->PortParams().ReadIntervalTimeout)),
            1u);
}

// The status of a port: its kind, its far end, whether it works, what it moved.
TEST(TPortHost, StatusTellsKindRemoteEndStateAndCounters) {
  TEchoServer echo;
  TPortsHarness h;
  TPortManager* tcp = h.Add(VirtualParams("COM107", PROTOCOL_DIRECT, echo.Port()));
  TPortManager* mqtt = h.Add(test::MqttParams("COM108", test::UnusedLoopbackPort(), "orvane/status"));
  ASSERT_TRUE(h.Pump([&] { return tcp->IsActive(); }));
  TPtyClient app(h.LinkPath("COM107"));
  ASSERT_TRUE(app.Write("ping"));
  EXPECT_EQ(test::ReadWhilePumping(h, app, 4), "ping");
  ASSERT_TRUE(h.Pump([&] { return h.Host->Status(*tcp).BytesToPort == 4; }));

  const TPortStatus status = h.Host->Status(*tcp);
  EXPECT_EQ(status.ComName, "COM107");
  EXPECT_EQ(status.Kind, TPortKind::Virtual);
  EXPECT_EQ(status.RemoteEnd, "127.0.0.1:" + std::to_string(echo.Port()));
  EXPECT_TRUE(status.Working);
  EXPECT_TRUE(status.Opened);
  EXPECT_EQ(status.BytesToNetwork, 4u);
  const TPortStatus down = h.Host->Status(*mqtt);
  EXPECT_EQ(down.RemoteEnd, mqtt->PortParams().MqttHost + " orvane/status");
  EXPECT_FALSE(down.Working);
  EXPECT_EQ(h.Host->Statuses().size(), 2u);
}

// A port number beyond 16 bits, as a hand-written file may give it, connects on its low bits.
TEST(TPortHost, APortNumberBeyondSixteenBitsConnectsOnItsLowBits) {
  TEchoServer echo;
  TPortsHarness h;
  TLumPortParams params = VirtualParams("COM109", PROTOCOL_DIRECT, echo.Port());
  params.PortNumber = echo.Port() + 65536;
  TPortManager* port = h.Add(params);
  ASSERT_TRUE(h.Pump([&] { return port->IsActive(); }));
  // The port is up once its connect returns; the echo server counts the connection when it accepts.
  EXPECT_TRUE(h.Pump([&] { return echo.Connections() == 1u; }));
  EXPECT_EQ(h.Host->Status(*port).RemoteEnd, "127.0.0.1:" + std::to_string(params.PortNumber));
}

}  // namespace
}  // namespace orvane
