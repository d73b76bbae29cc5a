#include "app/headless.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "headless_process.h"
#include "platform/wake_event.h"
#include "portkit/port_kit.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::PassThroughPort;
using test::ReadFile;
using test::TProcess;
using test::WriteConfig;

bool LoadNothing(const std::string&, const TPortTaker&, IUserMessages&, std::vector<std::string>&) {
  return true;
}

// A service on AData with its ports in APorts.
THeadlessOptions OptionsFor(const test::TTempDir& AData, const test::TTempDir& APorts) {
  THeadlessOptions options;
  options.DataDir = AData.Str();
  options.PortDir = APorts.Str();
  options.ExeFile = ORVANE_EXECUTABLE;
  return options;
}

// What the service printed, line by line.
struct TOutput {
  THeadlessOutput Sinks() {
    return {[this](const std::string& ALine) { Add(Out, ALine); },
            [this](const std::string& ALine) { Add(Err, ALine); }};
  }
  void Add(std::vector<std::string>& ATo, const std::string& ALine) {
    std::lock_guard<std::mutex> guard(Lock);
    ATo.push_back(ALine);
  }
  bool Has(const std::vector<std::string>& AIn, const std::string& APart) {
    std::lock_guard<std::mutex> guard(Lock);
    for (const auto& line : AIn)
      if (line.find(APart) != std::string::npos) return true;
    return false;
  }
  std::mutex Lock;
  std::vector<std::string> Out;
  std::vector<std::string> Err;
};

// The service on a thread of its own (its main thread), stopped through an event.
struct TService {
  TService(const THeadlessOptions& AOptions, TPortLoader ALoader)
      : Thread([this, AOptions, ALoader] {
          Code = RunHeadless(AOptions, ALoader, Stop.Fd(), Output.Sinks());
        }) {}
  ~TService() { End(); }
  int End() {
    Stop.Signal();
    if (Thread.joinable()) Thread.join();
    return Code;
  }
  TWakeEvent Stop;
  TOutput Output;
  int Code = -1;
  std::thread Thread;
};

TEST(THeadless, RunsThePortsOfTheListAndStopsInTheWindowsOrder) {
  test::TTempDir data;
  test::TTempDir ports;
  test::TEchoServer echo;
  THeadlessOptions options = OptionsFor(data, ports);
  options.Format.Traffic = true;
  WriteConfig(data.Str(), {PassThroughPort("COM70", echo.Port())});
  TService service(options, LoadConfigKeeping);
  ASSERT_TRUE(test::WaitFor([&] { return service.Output.Has(service.Output.Out, "Ready"); }));
  // The port exists once "Ready" is out.
  test::TPtyClient app(ports.Str() + "/COM70");
  ASSERT_TRUE(app.Valid());
  ASSERT_TRUE(test::WaitFor([&] { return echo.Connections() == 1; }));
  ASSERT_TRUE(app.Write("ping"));
  EXPECT_EQ(app.Read(4), "ping");
  ASSERT_TRUE(
      test::WaitFor([&] { return service.Output.Has(service.Output.Out, "(COM70) OUT: [4] 70 69 6E 67"); }));
  // Shown lines as the view shows them; detail lines only in the file.
  {
    std::lock_guard<std::mutex> guard(service.Output.Lock);
    ASSERT_FALSE(service.Output.Out.empty());
    EXPECT_EQ(service.Output.Out[0].substr(0, 1), "[");
    EXPECT_NE(service.Output.Out[0].find("] (COM70) Create COM port - OK, ComName=COM70"), std::string::npos);
  }
  EXPECT_FALSE(service.Output.Has(service.Output.Out, "EVENT: RxChar"));

  // A second service on the same data is refused; with /I it runs.
  TOutput second;
  EXPECT_EQ(RunHeadless(options, LoadNothing, -1, second.Sinks()), 3);
  EXPECT_TRUE(second.Has(second.Err, "Программа уже запущена с каталогом данных " + data.Str()));
  EXPECT_TRUE(second.Out.empty());
  THeadlessOptions skip = options;
  skip.SkipInstanceGuard = true;
  TService third(skip, LoadNothing);
  ASSERT_TRUE(test::WaitFor([&] { return third.Output.Has(third.Output.Out, "Ready"); }));
  EXPECT_EQ(third.End(), 0);

  EXPECT_EQ(service.End(), 0);
  const std::string log = ReadFile(data.Str() + "/log.txt");
  EXPECT_NE(log.find("(COM70) EVENT: RxChar, Received = 4"), std::string::npos);
  const size_t stop = log.rfind("****** Stop program ******");
  ASSERT_NE(stop, std::string::npos);
  EXPECT_EQ(log.find("\r\n", stop), log.size() - 2);                 // the last line
  EXPECT_EQ(log.find("Start program"), log.rfind("Start program"));  // the refused one wrote nothing
  // The link stays for the next start.
  struct stat info {};
  EXPECT_EQ(::lstat((ports.Str() + "/COM70").c_str(), &info), 0);
}

TEST(THeadless, AMissingDataDirectoryIsRefusedPlainly) {
  test::TTempDir data;
  THeadlessOptions options;
  options.DataDir = data.Str() + "/missing";
  options.PortDir = data.Str();
  TOutput output;
  EXPECT_EQ(RunHeadless(options, LoadNothing, -1, output.Sinks()), 2);
  EXPECT_TRUE(output.Has(output.Err, "Каталог данных не найден: " + options.DataDir));
  EXPECT_TRUE(output.Out.empty());
}

TEST(THeadless, MessagesOfTheLoaderGoToStandardError) {
  test::TTempDir data;
  THeadlessOptions options;
  options.DataDir = data.Str();
  options.PortDir = data.Str();
  // A file that stops the load starts no port, not even those before the bad element.
  std::ofstream(data.Str() + "/config.cfg")
      << "<Orvane Description=\"Orvane config file\">" << PassThroughPort("COM72", test::UnusedLoopbackPort())
      << "<Port ComName=\"COM73\" IpAddress=\"127.0.0.1\" PortNumber=\"1\" isRealPort=\"yes\"/></Orvane>";
  TOutput output;
  EXPECT_EQ(RunHeadless(options, LoadConfigKeeping, -1, output.Sinks()), EXIT_BROKEN_CONFIG);
  ASSERT_EQ(output.Err.size(), 1u);
  EXPECT_NE(output.Err[0].find("config.cfg"), std::string::npos) << output.Err[0];
  EXPECT_NE(output.Err[0].find("isRealPort \"yes\""), std::string::npos) << output.Err[0];
  EXPECT_FALSE(output.Has(output.Out, "Ready"));
  EXPECT_FALSE(output.Has(output.Out, "COM72"));
}

// A second port of a running name would take over the first's link: it is
// refused with one message naming its element, and the first one serves.
TEST(THeadless, ASecondPortOfARunningNameIsRefused) {
  test::TTempDir data;
  test::TTempDir ports;
  test::TEchoServer echo;
  const THeadlessOptions options = OptionsFor(data, ports);
  WriteConfig(data.Str(), {PassThroughPort("COM71", echo.Port()), PassThroughPort("COM71", 1)});
  const std::string before = ReadFile(data.Str() + "/config.cfg");
  TService service(options, LoadConfigKeeping);
  ASSERT_TRUE(test::WaitFor([&] { return service.Output.Has(service.Output.Out, "Ready"); }));
  {
    std::lock_guard<std::mutex> guard(service.Output.Lock);
    ASSERT_EQ(service.Output.Err.size(), 1u);
    EXPECT_NE(service.Output.Err[0].find("<Port> at line 4: ComName \"COM71\" is taken by another port"),
              std::string::npos)
        << service.Output.Err[0];
  }
  test::TPtyClient app(ports.Str() + "/COM71");
  ASSERT_TRUE(app.Valid());
  ASSERT_TRUE(app.Write("one"));
  EXPECT_EQ(app.Read(3), "one");
  EXPECT_EQ(service.End(), 0);
  EXPECT_EQ(ReadFile(data.Str() + "/config.cfg"), before);
}

// ---- the program as a process ----

TEST(THeadless, TheProgramSaysReadyStopsOnSignalsAndRefusesASecondStart) {
  test::TTempDir data;
  test::TTempDir ports;
  test::TEchoServer echo;
  WriteConfig(data.Str(), {PassThroughPort("COM74", echo.Port())});
  const std::vector<std::string> args = {"--headless", "--data-dir", data.Str(),
                                         "--port-dir", ports.Str(),  "--traffic"};
  TProcess first(args);
  ASSERT_GT(first.Pid(), 0);
  ASSERT_TRUE(first.WaitOut("Ready\n"));
  {
    test::TPtyClient app(ports.Str() + "/COM74");
    ASSERT_TRUE(app.Valid());
    ASSERT_TRUE(test::WaitFor([&] { return echo.Connections() == 1; }));
    ASSERT_TRUE(app.Write("over the wire"));
    EXPECT_EQ(app.Read(13), "over the wire");
    ASSERT_TRUE(first.WaitOut("] (COM74) OUT: [13] "));
  }

  TProcess second(args);
  EXPECT_EQ(second.Wait(), 3);
  EXPECT_NE(second.ErrText.find("Программа уже запущена"), std::string::npos) << second.ErrText;

  std::vector<std::string> skip = args;
  skip.push_back("-i");
  TProcess third(skip);
  ASSERT_TRUE(third.WaitOut("Ready\n"));
  ::kill(third.Pid(), SIGINT);
  EXPECT_EQ(third.Wait(), 0);

  ::kill(first.Pid(), SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
  std::string log = ReadFile(data.Str() + "/log.txt");
  EXPECT_NE(log.find("****** Start program, Version=" ORVANE_EXPECTED_VERSION), std::string::npos) << log;
  EXPECT_NE(log.find("(COM74) EVENT: RxChar, Received = 13"), std::string::npos) << log;
  EXPECT_EQ(log.rfind("****** Stop program ******\r\n"), log.size() - 28) << log;

  // The next start finds the link left behind and attaches to it.
  TProcess next(args);
  ASSERT_TRUE(next.WaitOut("] (COM74) Attach to COM port - OK, ComName=COM74"));
  EXPECT_NE(next.OutText.find("] (COM74) Error on create COM port, ComName=COM74"), std::string::npos);
  ::kill(next.Pid(), SIGTERM);
  EXPECT_EQ(next.Wait(), 0);
}

// Standard output nobody reads, then nobody at all: the port goes on, shown
// lines are dropped and counted, and a stop ends the program in its order.
TEST(THeadless, StandardOutputThatIsNotReadNeverHoldsThePortsOrTheStop) {
  test::TTempDir data;
  test::TTempDir ports;
  test::TEchoServer echo;
  WriteConfig(data.Str(), {PassThroughPort("COM75", echo.Port())});
  // The traffic lines are the flood that fills the pipe.
  TProcess service({"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str(), "--traffic"});
  ASSERT_TRUE(service.WaitOut("Ready\n"));
  test::TPtyClient app(ports.Str() + "/COM75");
  ASSERT_TRUE(app.Valid());
  ASSERT_TRUE(test::WaitFor([&] { return echo.Connections() == 1; }));
  // Each round trip shows two lines of some 330 bytes: 600 of them are three
  // times what the pipe and the program's buffer hold together.
  const std::string chunk(100, 'a');
  for (int i = 0; i < 600; ++i) {
    ASSERT_TRUE(app.Write(chunk));
    ASSERT_EQ(app.Read(chunk.size()), chunk) << "round trip " << i;
  }
  // Read again, the output tells how many lines it dropped, and goes on.
  ASSERT_TRUE(service.WaitOut("Standard output: dropped ["));
  ASSERT_TRUE(app.Write("ping"));
  ASSERT_EQ(app.Read(4), "ping");
  ASSERT_TRUE(service.WaitOut("] (COM75) OUT: [4] 70 69 6E 67\n"));
  const size_t count = service.OutText.find("Standard output: dropped [");
  EXPECT_LT(count, service.OutText.find("] (COM75) OUT: [4] 70 69 6E 67\n"));
  EXPECT_GT(std::stoul(service.OutText.substr(count + 26)), 0u);

  // The reader goes away: no SIGPIPE, the port goes on and the stop is served.
  service.CloseOut();
  ASSERT_TRUE(app.Write("pong"));
  ASSERT_EQ(app.Read(4), "pong");
  ::kill(service.Pid(), SIGTERM);
  EXPECT_EQ(service.Wait(), 0);
  const std::string log = ReadFile(data.Str() + "/log.txt");
  EXPECT_EQ(log.rfind("****** Stop program ******\r\n"), log.size() - 28);
}

// Configuration texts with a line break in them reach log lines escaped: no
// line of the file or of standard output can be forged through them.
TEST(THeadless, LineBreaksInConfigurationTextsCannotForgeLogLines) {
  test::TTempDir data;
  test::TTempDir ports;
  const std::string forged = "&#13;&#10;FORGED LINE";
  WriteConfig(data.Str(), {"<Port ComName=\"COM76\" IpAddress=\"127.0.0.1" + forged + "\" PortNumber=\"" +
                               std::to_string(test::UnusedLoopbackPort()) +
                               "\" Protocol=\"Сквозной режим\" Header=\"h" + forged + "\"/>",
                           "<Port ComName=\"COM77\" IpAddress=\"127.0.0.1" + forged +
                               "\" PortNumber=\"1\" Protocol=\"MQTT\"" + " MqttHost=\"127.0.0.1" + forged +
                               "\" MqttTopic=\"/t" + forged + "\" Header=\"h" + forged + "\"/>"});
  TProcess service({"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str()});
  ASSERT_TRUE(service.WaitOut("Ready\n"));
  ASSERT_TRUE(service.WaitOut("(COM76) 127.0.0.1\\r\\nFORGED LINE:"));
  ASSERT_TRUE(service.WaitOut("(COM77) 127.0.0.1\\r\\nFORGED LINE:"));
  ::kill(service.Pid(), SIGTERM);
  ASSERT_EQ(service.Wait(), 0);
  const std::string log = ReadFile(data.Str() + "/log.txt");
  EXPECT_NE(log.find("IpAddress=127.0.0.1\\r\\nFORGED LINE"), std::string::npos) << log;
  for (const std::string* text : {&log, static_cast<const std::string*>(&service.OutText)}) {
    EXPECT_EQ(text->find("\nFORGED"), std::string::npos) << *text;
    EXPECT_EQ(text->find("\rFORGED"), std::string::npos) << *text;
  }
}

// A log file that cannot be had is said once on standard error; the ports run.
TEST(THeadless, ALogFileThatCannotBeOpenedIsSaidOnceOnStandardError) {
  test::TTempDir data;
  test::TTempDir ports;
  test::TEchoServer echo;
  ASSERT_EQ(::mkdir((data.Str() + "/log.txt").c_str(), 0700), 0);
  WriteConfig(data.Str(), {PassThroughPort("COM78", echo.Port())});
  TProcess service({"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str()});
  ASSERT_TRUE(service.WaitOut("Ready\n"));
  test::TPtyClient app(ports.Str() + "/COM78");
  ASSERT_TRUE(app.Valid());
  ASSERT_TRUE(app.Write("x"));
  EXPECT_EQ(app.Read(1), "x");
  ::kill(service.Pid(), SIGTERM);
  ASSERT_EQ(service.Wait(), 0);
  EXPECT_EQ(service.ErrText, "Файл журнала не открывается, журнал не ведётся: open " + data.Str() +
                                 "/log.txt: Is a directory\n");
}

}  // namespace
}  // namespace orvane
