// The service as an administrator runs it: ports other users open, output the
// journal reads, the state the service manager is told.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "headless_process.h"
#include "portkit/port_kit.h"
#include "support/notify_socket.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::PassThroughPort;
using test::ReadFile;
using test::TProcess;
using test::WriteConfig;

constexpr const char* NOBODY = "65534";
constexpr const char* DIALOUT = "20";  // Debian's dialout group

// What an application of user nobody (with AGroups, as setpriv takes them;
// its read waits for a byte, as the port is raw with VMIN 0)
// gets back from the port at ALink after writing "ping": the echo, or why not.
std::string PingAsNobody(const std::string& ALink, const std::string& AGroups) {
  std::vector<std::string> args = {"setpriv", "--reuid", NOBODY, "--regid", NOBODY};
  if (AGroups.empty()) {
    args.push_back("--clear-groups");
  } else {
    args.insert(args.end(), {"--groups", AGroups});
  }
  args.insert(args.end(),
              {"--", "timeout", "10", "sh", "-c",
               "exec 3<>\"$0\" && stty min 1 time 0 <&3 && printf ping >&3 && head -c 4 <&3", ALink});
  test::TChildProcess app(args, {.In = false, .Out = true, .Err = true});
  int status = 0;
  EXPECT_TRUE(app.Wait(status, std::chrono::seconds(20)));
  std::string out;
  std::string err;
  test::ReadAvailable(app.Out(), out);
  test::ReadAvailable(app.Err(), err);
  return out.empty() ? err : out;
}

TEST(TService, OtherUsersOpenThePortsThroughTheirGroup) {
  if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs root and setpriv to act as another user";
  const struct {
    std::vector<std::string> Switches;
    std::string Groups;  // of the application's user, nobody
    bool Opens;
    mode_t Mode;
  } cases[] = {
      // As root with neither switch: the serial devices' convention.
      {{}, DIALOUT, true, 0660},
      {{}, "", false, 0660},
      {{"--port-group", "nogroup", "--port-mode", "0640"}, NOBODY, false, 0640},
      {{"--port-group", "nogroup"}, NOBODY, true, 0660},
      {{"--port-mode", "0600"}, DIALOUT, false, 0600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.Switches) + " groups " + c.Groups);
    test::TTempDir data;
    test::TTempDir ports;
    std::filesystem::permissions(ports.Path(), std::filesystem::perms(0755));
    test::TEchoServer echo;
    WriteConfig(data.Str(), {PassThroughPort("COM90", echo.Port())});
    std::vector<std::string> args = {"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str()};
    args.insert(args.end(), c.Switches.begin(), c.Switches.end());
    TProcess service(args);
    ASSERT_TRUE(service.WaitOut("Ready\n")) << service.ErrText;
    ASSERT_TRUE(test::WaitFor([&] { return echo.Connections() == 1; }));

    const std::string link = ports.Str() + "/COM90";
    struct stat slave {};
    ASSERT_EQ(::stat(link.c_str(), &slave), 0);
    EXPECT_EQ(slave.st_mode & 07777, c.Mode);
    const std::string answer = PingAsNobody(link, c.Groups);
    if (c.Opens) {
      EXPECT_EQ(answer, "ping");
    } else {
      EXPECT_NE(answer.find("Permission denied"), std::string::npos) << answer;
    }
    ::kill(service.Pid(), SIGTERM);
    EXPECT_EQ(service.Wait(), 0);
  }
}

TEST(TService, AGroupThatDoesNotExistIsRefusedBeforeAnythingStarts) {
  test::TTempDir data;
  TProcess service({"--headless", "--data-dir", data.Str(), "--port-group", "no-such-group-here"});
  EXPECT_EQ(service.Wait(), 2);
  EXPECT_NE(service.ErrText.find("--port-group no-such-group-here: no such group"), std::string::npos)
      << service.ErrText;
  EXPECT_FALSE(std::filesystem::exists(data.Path() / "log.txt"));
}

// Standard output as the journal has it: JOURNAL_STREAM names its device and inode.
const std::vector<std::string> AS_JOURNAL = {
    "sh", "-c",
    "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) && export JOURNAL_STREAM && exec \"$0\" \"$@\""};

TEST(TService, TheJournalGetsAPriorityOnEveryLineAndTrafficOnlyWhenAsked) {
  test::TTempDir data;
  test::TTempDir ports;
  test::TEchoServer echo;
  WriteConfig(data.Str(), {PassThroughPort("COM91", echo.Port())});
  const std::vector<std::string> args = {"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str()};
  for (const bool traffic : {false, true}) {
    SCOPED_TRACE(traffic ? "--traffic" : "without --traffic");
    std::vector<std::string> withSwitch = args;
    if (traffic) withSwitch.push_back("--traffic");
    TProcess service(AS_JOURNAL, withSwitch);
    ASSERT_TRUE(service.WaitOut("<6>Ready\n")) << service.OutText << service.ErrText;
    ASSERT_TRUE(test::WaitFor([&] { return echo.Connections() == (traffic ? 2u : 1u); }));
    {
      test::TPtyClient app(ports.Str() + "/COM91");
      ASSERT_TRUE(app.Valid());
      ASSERT_TRUE(app.Write("ping"));
      EXPECT_EQ(app.Read(4), "ping");
    }
    const std::string channel = "(COM91) 127.0.0.1:" + std::to_string(echo.Port()) + " ";
    ASSERT_TRUE(service.WaitOut("<6>(COM91) Close COM port\n"));
    // The port shows what it wrote after the application may have read it and gone.
    if (traffic) {
      ASSERT_TRUE(service.WaitOut("<7>(COM91) OUT: [4] 70 69 6E 67\n")) << service.OutText;
    }
    ::kill(service.Pid(), SIGTERM);
    EXPECT_EQ(service.Wait(), 0);

    EXPECT_NE(service.OutText.find("<6>" + channel + "Connect - OK\n"), std::string::npos) << service.OutText;
    EXPECT_NE(service.OutText.find(traffic ? "<4>(COM91) Error on create COM port, "
                                           : "<6>(COM91) Create COM port - OK, "),
              std::string::npos)
        << service.OutText;
    EXPECT_EQ(service.OutText.find("<7>" + channel + "OUT: [4] 70 69 6E 67\n") != std::string::npos, traffic)
        << service.OutText;
    EXPECT_EQ(service.OutText.find("<7>(COM91) OUT: [4] 70 69 6E 67\n") != std::string::npos, traffic);
    // The journal stamps lines itself: no time of day, and every line has its priority.
    size_t at = 0;
    for (size_t end; (end = service.OutText.find('\n', at)) != std::string::npos; at = end + 1)
      EXPECT_EQ(service.OutText[at], '<') << service.OutText.substr(at, end - at);
  }
  // The log file has the traffic either way.
  const std::string log = ReadFile(data.Str() + "/log.txt");
  const std::string sent = "(COM91) 127.0.0.1:" + std::to_string(echo.Port()) + " OUT: [4] 70 69 6E 67";
  const size_t first = log.find(sent);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find(sent, first + 1), std::string::npos) << log;
}

TEST(TService, TheServiceManagerHearsReadyTheStateAndTheStop) {
  test::TTempDir data;
  test::TTempDir ports;
  test::TEchoServer echo;
  const uint16_t nobodyHome = test::UnusedLoopbackPort();
  WriteConfig(data.Str(), {PassThroughPort("COM92", echo.Port()), PassThroughPort("COM93", nobodyHome)});
  const std::string socket = data.Str() + "/notify";
  test::TNotifySocket manager(socket);
  ASSERT_TRUE(manager.Valid());
  TProcess service({"env", "NOTIFY_SOCKET=" + socket},
                   {"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str()});
  // The first connection may come before "Ready" or after it.
  const std::string ready = manager.Receive();
  EXPECT_TRUE(ready == "READY=1\nSTATUS=2 ports, 2 not working" ||
              ready == "READY=1\nSTATUS=2 ports, 1 not working")
      << ready;
  EXPECT_TRUE(service.WaitOut("Ready\n"));
  if (ready.find("2 not working") != std::string::npos) {
    EXPECT_EQ(manager.Receive(), "STATUS=2 ports, 1 not working");
  }
  // A reload ("systemctl reload") is told from its start to its end.
  WriteConfig(data.Str(), {PassThroughPort("COM92", echo.Port())});
  ::kill(service.Pid(), SIGHUP);
  EXPECT_EQ(manager.Receive(), "RELOADING=1");
  EXPECT_EQ(manager.Receive(), "READY=1\nSTATUS=1 ports, 0 not working");
  ::kill(service.Pid(), SIGTERM);
  EXPECT_EQ(manager.Receive(), "STOPPING=1");
  EXPECT_EQ(service.Wait(), 0);
}

}  // namespace
}  // namespace orvane
