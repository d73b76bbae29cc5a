// "--status": the reply on the socket, the lines an administrator reads, and
// the program asking a running service as a monitoring check would.
#include "app/status_server.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "headless_process.h"
#include "portkit/port_kit.h"
#include "support/fd_helpers.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::AskStatusOf;
using test::AskUntil;
using test::PassThroughPort;
using test::TAsked;
using test::TProcess;
using test::WriteConfig;

TEST(TStatusReply, OnlyAWholeReplyIsTaken) {
  const std::string head = "orvane-status 1\n";
  const std::string working = "COM5\tv\tMQTT\tbroker:1883 /Orvane/ab\t1\t1\t1765444800\t10\t20\t3\t2\t0\t\n";
  const std::string down =
      "COM6\tp\tip485\t10.0.0.1:4001\t0\t0\t1765444801\t0\t0\t0\t0\t1765444802\tconnect: x\n";
  std::vector<TPortStatus> ports;
  ASSERT_TRUE(ParseStatusReply(head + working + down + "end\n", ports));
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].ComName, "COM5");
  EXPECT_EQ(ports[0].Kind, TPortKind::Virtual);
  EXPECT_EQ(ports[0].Protocol, "MQTT");
  EXPECT_EQ(ports[0].RemoteEnd, "broker:1883 /Orvane/ab");
  EXPECT_TRUE(ports[0].Working);
  EXPECT_TRUE(ports[0].Opened);
  EXPECT_EQ(ports[0].Since, 1765444800);
  EXPECT_EQ(ports[0].BytesToNetwork, 10u);
  EXPECT_EQ(ports[0].BytesToPort, 20u);
  EXPECT_EQ(ports[0].DroppedBytes, 3u);
  EXPECT_EQ(ports[0].Reconnects, 2u);
  EXPECT_EQ(ports[0].LastError, "");
  EXPECT_EQ(ports[1].Kind, TPortKind::Physical);
  EXPECT_FALSE(ports[1].Working);
  EXPECT_EQ(ports[1].LastErrorAt, 1765444802);
  EXPECT_EQ(ports[1].LastError, "connect: x");
  ASSERT_TRUE(ParseStatusReply(head + "end\n", ports));
  EXPECT_TRUE(ports.empty());

  const struct {
    const char* Name;
    std::string Reply;
  } refused[] = {
      {"cut short", head + working},
      {"no line end", head + working + "end"},
      {"another head", "orvane-status 2\n" + working + "end\n"},
      {"a field short", head + "COM5\tv\tMQTT\tb\t1\t1\t0\t0\t0\t0\t0\t0\nend\n"},
      {"a field more", head + "COM5\tv\tMQTT\tb\t1\t1\t0\t0\t0\t0\t0\t0\t\t\nend\n"},
      {"not a number", head + "COM5\tv\tMQTT\tb\t1\t1\t0\t1x\t0\t0\t0\t0\t\nend\n"},
      {"negative count", head + "COM5\tv\tMQTT\tb\t1\t1\t0\t-1\t0\t0\t0\t0\t\nend\n"},
      {"bad kind", head + "COM5\tq\tMQTT\tb\t1\t1\t0\t0\t0\t0\t0\t0\t\nend\n"},
      {"nothing", ""},
  };
  for (const auto& k : refused) {
    SCOPED_TRACE(k.Name);
    EXPECT_FALSE(ParseStatusReply(k.Reply, ports));
  }
}

// Texts of the file reach the reply escaped, so a name cannot add a port or a field.
TEST(TStatusReply, TextsOfTheFileCannotForgeFieldsOrPorts) {
  TPortStatus forged;
  forged.ComName = "COM7\t\n";
  forged.RemoteEnd = "h:1\nCOM8";
  forged.LastError = "x\ty";
  std::vector<TPortStatus> ports;
  ASSERT_TRUE(ParseStatusReply(StatusReply({forged}), ports));
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].ComName, "COM7\\x09\\n");
  EXPECT_EQ(ports[0].RemoteEnd, "h:1\\nCOM8");
  EXPECT_EQ(ports[0].LastError, "x\\x09y");
}

TEST(TStatusReply, ALinePerPortSaysWhatAnAdministratorAsks) {
  TPortStatus port;
  port.ComName = "COM5";
  port.Protocol = PROTOCOL_DIRECT;
  port.RemoteEnd = "127.0.0.1:4001";
  port.Working = true;
  port.BytesToPort = 20;
  port.BytesToNetwork = 10;
  port.DroppedBytes = 3;
  port.Reconnects = 2;
  const std::string time = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
  EXPECT_TRUE(std::regex_match(
      StatusLine(port), std::regex("COM5 virtual passthrough 127\\.0\\.0\\.1:4001: working since " + time +
                                   ", in 20 B, out 10 B, dropped 3 B, reconnects 2, last error: none")))
      << StatusLine(port);
  port.Kind = TPortKind::Physical;
  port.Protocol = PROTOCOL_IP485;
  port.Working = false;
  port.LastError = "connect: refused";
  EXPECT_TRUE(std::regex_match(
      StatusLine(port), std::regex("COM5 physical ip485 127\\.0\\.0\\.1:4001: not working since " + time +
                                   ", .*, last error " + time + ": connect: refused")))
      << StatusLine(port);
}

bool Has(const std::string& AText, const std::string& APart) {
  return AText.find(APart) != std::string::npos;
}

TEST(TStatus, TheServiceTellsEachPortAndTheExitCodeSaysWhetherAllWork) {
  test::TTempDir data;
  test::TTempDir ports;
  const TAsked none = AskStatusOf(data.Str());
  EXPECT_EQ(none.Code, 3);
  EXPECT_EQ(none.Err, "Nothing runs on " + data.Str() + "\n");

  test::TEchoServer echo;
  const uint16_t closed = test::UnusedLoopbackPort();
  const std::string good = PassThroughPort("COM84", echo.Port());
  WriteConfig(data.Str(), {good, PassThroughPort("COM85", closed)});
  TProcess service({"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str()});
  ASSERT_TRUE(service.WaitOut("Ready\n"));
  struct stat info {};
  ASSERT_EQ(::stat((data.Str() + "/" + STATUS_SOCKET_NAME).c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0660u);

  test::TPtyClient app(ports.Str() + "/COM84");
  ASSERT_TRUE(app.Valid());
  ASSERT_TRUE(test::WaitFor([&] { return echo.Connections() == 1; }));
  ASSERT_TRUE(app.Write("ping"));
  ASSERT_EQ(app.Read(4), "ping");
  // The converter drops the line: the port connects again.
  echo.DropClient();
  ASSERT_TRUE(test::WaitFor([&] { return echo.Connections() == 2; }));
  // Bytes for a converter that is not there are dropped and counted.
  test::TPtyClient lost(ports.Str() + "/COM85");
  ASSERT_TRUE(lost.Valid());
  ASSERT_TRUE(lost.Write("lost"));

  const TAsked some = AskUntil(data.Str(), [](const TAsked& A) {
    return Has(A.Out, "reconnects 1") && Has(A.Out, "dropped 4 B") && Has(A.Out, ": working since");
  });
  EXPECT_EQ(some.Code, 1) << some.Out << some.Err;
  const std::string time = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
  const std::regex expected(
      "COM84 virtual passthrough 127\\.0\\.0\\.1:" + std::to_string(echo.Port()) + ": working since " + time +
      ", in 4 B, out 4 B, dropped 0 B, reconnects 1, last error: none\n"
      "COM85 virtual passthrough 127\\.0\\.0\\.1:" +
      std::to_string(closed) + ": not working since " + time +
      ", in 0 B, out 0 B, dropped 4 B, reconnects 0, last error " + time + ": connect: .+\n");
  EXPECT_TRUE(std::regex_match(some.Out, expected)) << some.Out;
  EXPECT_EQ(some.Err, "");

  // Without the port that does not work, every port works.
  WriteConfig(data.Str(), {good});
  ::kill(service.Pid(), SIGHUP);
  ASSERT_TRUE(service.WaitOut("Reload "));
  const TAsked all = AskStatusOf(data.Str());
  EXPECT_EQ(all.Code, 0) << all.Out << all.Err;
  EXPECT_TRUE(Has(all.Out, "COM84 virtual")) << all.Out;
  EXPECT_FALSE(Has(all.Out, "COM85")) << all.Out;

  ::kill(service.Pid(), SIGTERM);
  EXPECT_EQ(service.Wait(), 0);
  EXPECT_EQ(::stat((data.Str() + "/" + STATUS_SOCKET_NAME).c_str(), &info), -1);
  EXPECT_EQ(AskStatusOf(data.Str()).Code, 3);
}

// A killed service leaves its socket behind: the next start serves anyway,
// and a second instance on the same folder (with /I) leaves the first's alone.
TEST(TStatus, AStaleSocketDoesNotBlockTheNextStartAndASecondInstanceTakesNothing) {
  test::TTempDir data;
  test::TTempDir ports;
  const std::vector<std::string> args = {"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str()};
  {
    TProcess killed(args);
    ASSERT_TRUE(killed.WaitOut("Ready\n"));
    ::kill(killed.Pid(), SIGKILL);
    killed.Wait();
  }
  struct stat info {};
  ASSERT_EQ(::stat((data.Str() + "/" + STATUS_SOCKET_NAME).c_str(), &info), 0);
  EXPECT_EQ(AskStatusOf(data.Str()).Code, 3);

  TProcess first(args);
  ASSERT_TRUE(first.WaitOut("Ready\n"));
  EXPECT_EQ(AskStatusOf(data.Str()).Code, 0);
  std::vector<std::string> again = args;
  again.push_back("/I");
  TProcess second(again);
  ASSERT_TRUE(second.WaitOut("Ready\n"));
  ASSERT_TRUE(second.WaitErr("--status will not be answered: another instance answers on "));
  ::kill(second.Pid(), SIGTERM);
  EXPECT_EQ(second.Wait(), 0);
  const TAsked asked = AskStatusOf(data.Str());
  EXPECT_EQ(asked.Code, 0) << asked.Err;
  EXPECT_EQ(asked.Out, "No ports\n");
  ::kill(first.Pid(), SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
}

}  // namespace
}  // namespace orvane
