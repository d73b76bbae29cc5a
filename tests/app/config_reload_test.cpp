// What the service does with its config.cfg as an administrator meets it: a
// check that names every problem, a start that refuses a file it cannot load
// whole, and a reload on SIGHUP that leaves unchanged ports alone.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <string>
#include <vector>

#include "headless_process.h"
#include "portkit/port_kit.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::LinkExists;
using test::PassThroughPort;
using test::TProcess;
using test::WriteConfig;

// The application's bytes go through the port to the echo and come back.
::testing::AssertionResult RoundTrip(test::TPtyClient& AApp, const std::string& AData) {
  if (!AApp.Write(AData)) return ::testing::AssertionFailure() << "write failed";
  const std::string back = AApp.Read(AData.size());
  if (back != AData) return ::testing::AssertionFailure() << "read back \"" << back << "\"";
  return ::testing::AssertionSuccess();
}

TEST(TCheckConfig, TellsEveryProblemWithItsLineAndSaysWhetherTheWholeFileLoads) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Elements;  // no config.cfg when empty
    int Code;
    std::vector<std::string> Lines;  // after "<file>: "
  };
  const TCase cases[] = {
      {"sound", {PassThroughPort("COM1", 7001), PassThroughPort("COM2", 7002)}, 0, {"2 ports, loads whole"}},
      {"every problem",
       {PassThroughPort("COM1", 7001),
        R"(<Port ComName="COM2" IpAddress="h" PortNumber="70o2" isRealPort="yes"/>)",
        R"(<Port ComName="COM3" IpAddress="h" PortNumber="7003" Protocol="IP-485" Comentt="x"/>)",
        PassThroughPort("COM1", 7004)},
       1,
       {"<Port> at line 4: PortNumber \"70o2\" is not an integer",
        "<Port> at line 4: isRealPort \"yes\" is not true, false or a number",
        "<Port> at line 5: unknown attribute Comentt", "<Port> at line 5: unknown Protocol \"IP-485\"",
        "<Port> at line 6: ComName \"COM1\" is taken by another port, the port is skipped",
        "2 ports, 5 problems"}},
      {"missing", {}, 1, {"not found"}},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    test::TTempDir data;
    if (!k.Elements.empty()) WriteConfig(data.Str(), k.Elements);
    TProcess check({"--check-config", "--data-dir", data.Str()});
    EXPECT_EQ(check.Wait(), k.Code);
    std::string expected;
    for (const auto& line : k.Lines) expected += data.Str() + "/config.cfg: " + line + "\n";
    EXPECT_EQ(check.OutText, expected);
    EXPECT_EQ(check.ErrText, "");
  }
  TProcess help({"--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.OutText.find("--check-config"), std::string::npos);
  TProcess mixed({"--check-config", "--headless"});
  EXPECT_EQ(mixed.Wait(), 2);
}

// A file the service cannot load whole starts no port at all: the message and
// its own exit code, before "Ready".
TEST(THeadless, AFileThatCannotBeLoadedWholeEndsTheStartWithCode4) {
  struct TCase {
    const char* Name;
    std::string Text;
    std::string Message;
  };
  const std::string good = PassThroughPort("COM76", test::UnusedLoopbackPort());
  const TCase cases[] = {
      {"bad value",
       "<Orvane>\n" + good +
           "\n<Port ComName=\"COM77\" IpAddress=\"h\" PortNumber=\"1\" isRealPort=\"yes\"/>\n</Orvane>",
       "<Port> at line 3: isRealPort \"yes\" is not true, false or a number"},
      {"parse error", "<Orvane>\n" + good + "\n<Port ComName=\"COM77\" PortNumber=1/>\n</Orvane>",
       "Error parsing element attribute at line 3"},
      {"another root", "<Ports>" + good + "</Ports>", "Неизвестный файл конфигурации"},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    test::TTempDir data;
    test::TTempDir ports;
    std::ofstream(data.Str() + "/config.cfg") << k.Text;
    TProcess service({"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str()});
    EXPECT_EQ(service.Wait(), 4);
    EXPECT_NE(service.ErrText.find(k.Message), std::string::npos) << service.ErrText;
    EXPECT_EQ(service.OutText.find("Ready"), std::string::npos) << service.OutText;
    EXPECT_FALSE(LinkExists(ports.Str() + "/COM76"));
  }
}

TEST(THeadless, WithoutAConfigFileTheServiceSaysSoOnceAndRunsWithNoPorts) {
  test::TTempDir data;
  test::TTempDir ports;
  TProcess service({"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str()});
  ASSERT_TRUE(service.WaitOut("Ready\n"));
  ::kill(service.Pid(), SIGTERM);
  EXPECT_EQ(service.Wait(), 0);
  EXPECT_EQ(service.ErrText, data.Str() + "/config.cfg not found: the service runs with no ports\n");
}

// An application on a port whose settings stay the same notices nothing of
// reloads that add, change and remove other ports; a file that cannot be
// loaded whole changes nothing.
TEST(TReload, AnApplicationOnAnUnchangedPortKeepsTalkingAcrossReloads) {
  test::TTempDir data;
  test::TTempDir ports;
  // One converter each: an echo serves one connection at a time.
  test::TEchoServer echo;
  test::TEchoServer others;
  const std::string held = PassThroughPort("COM80", echo.Port());
  const std::string other = PassThroughPort("COM81", others.Port());
  WriteConfig(data.Str(), {held, other});
  TProcess service({"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str()});
  ASSERT_TRUE(service.WaitOut("Ready\n"));
  test::TPtyClient app(ports.Str() + "/COM80");
  ASSERT_TRUE(app.Valid());
  ASSERT_TRUE(RoundTrip(app, "before"));

  struct TStep {
    const char* Name;
    std::vector<std::string> Elements;
    std::string Told;
    std::vector<std::string> Present;
    std::vector<std::string> Gone;
  };
  const std::string changed = "<Port ComName=\"COM81\" IpAddress=\"127.0.0.1\" PortNumber=\"" +
                              std::to_string(others.Port()) +
                              "\" Protocol=\"Сквозной режим\" Header=\"new\"/>";
  const TStep steps[] = {
      {"add",
       {held, other, PassThroughPort("COM82", others.Port())},
       "2 ports kept, 0 stopped, 1 started",
       {"COM81", "COM82"},
       {}},
      {"change",
       {held, changed, PassThroughPort("COM82", others.Port())},
       "2 ports kept, 1 stopped, 1 started",
       {"COM81", "COM82"},
       {}},
      {"remove", {held, changed}, "2 ports kept, 1 stopped, 0 started", {"COM81"}, {"COM82"}},
  };
  size_t reloads = 0;
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.Name);
    WriteConfig(data.Str(), step.Elements);
    ::kill(service.Pid(), SIGHUP);
    ASSERT_TRUE(service.WaitOut("Reload ", ++reloads));
    EXPECT_NE(service.OutText.find(step.Told), std::string::npos) << service.OutText;
    for (const auto& name : step.Present) EXPECT_TRUE(LinkExists(ports.Str() + "/" + name)) << name;
    for (const auto& name : step.Gone) EXPECT_FALSE(LinkExists(ports.Str() + "/" + name)) << name;
    EXPECT_TRUE(RoundTrip(app, std::string("during ") + step.Name));
  }
  EXPECT_EQ(service.CountOut("(COM81) Create COM port - OK"), 2u);

  // Broken: the ports stay as they are.
  std::ofstream(data.Str() + "/config.cfg") << "<Orvane>\n" << held << "\n<Port ComName=\"COM83\"";
  ::kill(service.Pid(), SIGHUP);
  ASSERT_TRUE(service.WaitErr("cannot be loaded whole, nothing changed"));
  EXPECT_NE(service.ErrText.find("Ошибка при загрузке файла конфигурации"), std::string::npos)
      << service.ErrText;
  EXPECT_TRUE(LinkExists(ports.Str() + "/COM81"));
  EXPECT_TRUE(RoundTrip(app, "after a broken file"));

  ::kill(service.Pid(), SIGTERM);
  EXPECT_EQ(service.Wait(), 0);
  // The held port was made once and its converter connection never went.
  EXPECT_EQ(service.CountOut("(COM80) Create COM port - OK"), 1u);
  EXPECT_EQ(echo.Connections(), 1u);
}

}  // namespace
}  // namespace orvane
