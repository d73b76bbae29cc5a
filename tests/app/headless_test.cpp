#include "app/headless.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/wake_event.h"
#include "portkit/port_kit.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

extern char** environ;

namespace orvane {
namespace {

std::string ReadFile(const std::string& APath) {
  std::ifstream file(APath, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string PassThroughPort(const std::string& AName, uint16_t APort) {
  return "<Port ComName=\"" + AName + "\" IpAddress=\"127.0.0.1\" PortNumber=\"" + std::to_string(APort) +
         "\" Protocol=\"Сквозной режим\"/>";
}

void WriteConfig(const std::string& ADataDir, const std::vector<std::string>& APorts) {
  std::ofstream file(ADataDir + "/config.cfg");
  file << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Orvane Description=\"Orvane config file\">\n";
  for (const auto& port : APorts) file << "  " << port << "\n";
  file << "</Orvane>\n";
}

bool LoadNothing(const std::string&, const TPortConsumer&, IUserMessages&) {
  return true;
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
  THeadlessOptions options;
  options.DataDir = data.Str();
  options.PortDir = ports.Str();
  options.ExeFile = ORVANE_EXECUTABLE;
  WriteConfig(data.Str(), {PassThroughPort("COM70", echo.Port())});
  TService service(options, LoadConfig);
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
  // Ports before the element that stops the load still run.
  std::ofstream(data.Str() + "/config.cfg")
      << "<Orvane Description=\"Orvane config file\">" << PassThroughPort("COM72", test::UnusedLoopbackPort())
      << "<Port ComName=\"COM73\" IpAddress=\"127.0.0.1\" PortNumber=\"1\" isRealPort=\"yes\"/></Orvane>";
  TService service(options, LoadConfig);
  ASSERT_TRUE(test::WaitFor([&] { return service.Output.Has(service.Output.Out, "Ready"); }));
  {
    std::lock_guard<std::mutex> guard(service.Output.Lock);
    ASSERT_EQ(service.Output.Err.size(), 1u);
    EXPECT_NE(service.Output.Err[0].find("config.cfg"), std::string::npos) << service.Output.Err[0];
  }
  EXPECT_TRUE(service.Output.Has(service.Output.Out, "(COM72) Create COM port - OK"));
  EXPECT_FALSE(service.Output.Has(service.Output.Out, "COM73"));
  EXPECT_EQ(service.End(), 0);
}

// ---- the program as a process ----

struct TProcess {
  TProcess(const std::vector<std::string>& AArgs) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    std::vector<std::string> args = AArgs;
    args.insert(args.begin(), ORVANE_EXECUTABLE);
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&Pid, ORVANE_EXECUTABLE, &actions, nullptr, argv.data(), environ) != 0) Pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    Out.Reset(out[0]);
    Err.Reset(err[0]);
  }
  ~TProcess() {
    if (Pid > 0) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
    }
  }
  // Reads standard output until it holds ATtext or the stream ends.
  bool WaitOut(const std::string& AText) {
    return test::WaitFor([&] {
      Collect(Out.Get(), OutText);
      return OutText.find(AText) != std::string::npos;
    });
  }
  // Waits for the exit; the code, or -1 for a signal or the deadline.
  int Wait() {
    int status = 0;
    const bool ended = test::WaitFor([&] { return ::waitpid(Pid, &status, WNOHANG) == Pid; });
    Pid = -1;
    Collect(Err.Get(), ErrText);
    Collect(Out.Get(), OutText);
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  static void Collect(int AFd, std::string& AText) {
    char buffer[4096];
    pollfd pfd{AFd, POLLIN, 0};
    while (::poll(&pfd, 1, 0) > 0) {
      const ssize_t n = ::read(AFd, buffer, sizeof buffer);
      if (n <= 0) break;
      AText.append(buffer, static_cast<size_t>(n));
    }
  }
  pid_t Pid = -1;
  test::TTestFd Out;
  test::TTestFd Err;
  std::string OutText;
  std::string ErrText;
};

TEST(THeadless, TheProgramSaysReadyStopsOnSignalsAndRefusesASecondStart) {
  test::TTempDir data;
  test::TTempDir ports;
  test::TEchoServer echo;
  WriteConfig(data.Str(), {PassThroughPort("COM74", echo.Port())});
  const std::vector<std::string> args = {"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str()};
  TProcess first(args);
  ASSERT_GT(first.Pid, 0);
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
  ::kill(third.Pid, SIGINT);
  EXPECT_EQ(third.Wait(), 0);

  ::kill(first.Pid, SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
  std::string log = ReadFile(data.Str() + "/log.txt");
  EXPECT_NE(log.find("****** Start program, Version=" ORVANE_EXPECTED_VERSION), std::string::npos) << log;
  EXPECT_NE(log.find("(COM74) EVENT: RxChar, Received = 13"), std::string::npos) << log;
  EXPECT_EQ(log.rfind("****** Stop program ******\r\n"), log.size() - 28) << log;

  // The next start finds the link left behind and attaches to it.
  TProcess next(args);
  ASSERT_TRUE(next.WaitOut("] (COM74) Attach to COM port - OK, ComName=COM74"));
  EXPECT_NE(next.OutText.find("] (COM74) Error on create COM port, ComName=COM74"), std::string::npos);
  ::kill(next.Pid, SIGTERM);
  EXPECT_EQ(next.Wait(), 0);
}

}  // namespace
}  // namespace orvane
