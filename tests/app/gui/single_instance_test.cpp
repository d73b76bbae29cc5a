#include "app/gui/single_instance.h"
#include "app/headless.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/headless_process.h"
#include "portkit/port_kit.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

using test::TTempDir;

constexpr int DEADLINE_MS = 10000;

TEST(SingleInstanceTest, SecondInstanceEndsAndTheFirstIsAskedToRestore) {
  TTempDir runtime;
  TSingleInstance first(runtime.Str(), "unique_test");
  ASSERT_TRUE(first.CheckSingleInstance());
  QSignalSpy restore(&first, &TSingleInstance::RestoreRequested);

  TSingleInstance second(runtime.Str(), "unique_test");
  EXPECT_FALSE(second.CheckSingleInstance());
  EXPECT_TRUE(restore.wait(DEADLINE_MS));
  EXPECT_EQ(restore.count(), 1);

  // Another name is another program: it runs beside.
  TSingleInstance other(runtime.Str(), "unique_other");
  EXPECT_TRUE(other.CheckSingleInstance());
  QCoreApplication::processEvents();
  EXPECT_EQ(restore.count(), 1);
}

TEST(SingleInstanceTest, NextStartRunsOnceTheFirstIsGoneEvenWithItsSocketLeftBehind) {
  TTempDir runtime;
  auto first = std::make_unique<TSingleInstance>(runtime.Str(), "unique_test");
  ASSERT_TRUE(first->CheckSingleInstance());
  const QString socket = first->ServerName();
  first.reset();
  // A crashed instance leaves its socket file; the lock goes with the process.
  { std::ofstream stale(socket.toStdString()); }
  ASSERT_TRUE(std::filesystem::exists(socket.toStdString()));

  TSingleInstance next(runtime.Str(), "unique_test");
  ASSERT_TRUE(next.CheckSingleInstance());
  QSignalSpy restore(&next, &TSingleInstance::RestoreRequested);
  TSingleInstance later(runtime.Str(), "unique_test");
  EXPECT_FALSE(later.CheckSingleInstance());
  EXPECT_TRUE(restore.wait(DEADLINE_MS));
}

TEST(SingleInstanceTest, FolderWithoutRoomForTheLockStillStarts) {
  TSingleInstance lone("/nonexistent-orvane-folder", "unique_test");
  EXPECT_TRUE(lone.CheckSingleInstance());
}

// The program as a process with its own runtime folder, data and ports.
class SingleInstanceProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = ::getenv("XDG_RUNTIME_DIR")) FOldRuntime = old;
    ::setenv("XDG_RUNTIME_DIR", Runtime.Str().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  void TearDown() override {
    if (FOldRuntime) {
      ::setenv("XDG_RUNTIME_DIR", FOldRuntime->c_str(), 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
  }
  std::vector<std::string> Args(std::vector<std::string> AExtra = {}) const {
    std::vector<std::string> args = {"--data-dir", Data.Str(), "--port-dir", Ports.Str()};
    args.insert(args.end(), AExtra.begin(), AExtra.end());
    return args;
  }
  std::string Log() const { return test::ReadFile(Data.Str() + "/log.txt"); }
  std::string Config() const { return test::ReadFile(Data.Str() + "/config.cfg"); }
  // The first instance is up: its port created and connected to the converter,
  // which the log says.
  bool PortUp() const {
    return Converter.Connections() == 1 && !LinkTarget().empty() &&
           Log().find("(COM21) 127.0.0.1:" + std::to_string(Converter.Port()) + " Connect - OK") !=
               std::string::npos;
  }
  std::string LinkTarget() const {
    std::error_code ec;
    return std::filesystem::read_symlink(Ports.Path() / "COM21", ec).string();
  }

  TTempDir Runtime;
  TTempDir Data;
  TTempDir Ports;
  test::TEchoServer Converter;

 private:
  std::optional<std::string> FOldRuntime;
};

TEST_F(SingleInstanceProcessTest, SecondStartEndsAtOnceAndLeavesLogAndPortsAloneUnlessToldI) {
  test::WriteConfig(Data.Str(), {test::PassThroughPort("COM21", Converter.Port())});
  const std::string socket = Runtime.Str() + "/Orvane_Application_must_be_unique.socket";
  test::TProcess first(Args());
  // Up: listening, its port created and connected to the converter.
  ASSERT_TRUE(test::WaitFor([&] { return std::filesystem::exists(socket); }));
  ASSERT_TRUE(test::WaitFor([&] { return Converter.Connections() == 1 && !LinkTarget().empty(); }));
  ASSERT_TRUE(test::WaitFor([&] {
    return Log().find("(COM21) 127.0.0.1:" + std::to_string(Converter.Port()) + " Connect - OK") !=
           std::string::npos;
  }));
  const std::string log = Log();
  const std::string config = test::ReadFile(Data.Str() + "/config.cfg");
  const std::string target = LinkTarget();

  test::TProcess second(Args());
  EXPECT_EQ(second.Wait(), 0) << second.ErrText;
  EXPECT_EQ(Log(), log);
  EXPECT_EQ(test::ReadFile(Data.Str() + "/config.cfg"), config);
  EXPECT_EQ(LinkTarget(), target);
  EXPECT_EQ(Converter.Connections(), 1u);

  // "-i" runs another instance with the same ports. Its log writer finds the
  // file held: nothing of it reaches the log, whose lines carry the writing
  // thread's number (the main thread's is the process id).
  test::TProcess another(Args({"-i"}));
  EXPECT_TRUE(test::WaitFor([&] { return Converter.Connections() == 2; }));
  EXPECT_FALSE(another.Ended());
  first.CollectErr();
  ASSERT_FALSE(first.Ended()) << first.ErrText;
  const std::string after = Log();
  EXPECT_EQ(after.rfind(log, 0), 0u);
  EXPECT_EQ(after.find("[" + std::to_string(another.Pid()) + "]"), std::string::npos) << after;
  EXPECT_EQ(after.find("Start program", after.find("Start program") + 1), std::string::npos) << after;

  // A stop signal ends a window without its close question (an application
  // still holds the port) and in order: exit code 0, the stop banner last, the
  // link left for the next start.
  test::TPtyClient application(Ports.Str() + "/COM21");
  ASSERT_TRUE(application.Valid());
  for (test::TProcess* window : {&another, &first}) {
    ::kill(window->Pid(), SIGTERM);
    EXPECT_EQ(window->Wait(), 0) << window->ErrText;
  }
  const std::string stopped = Log();
  const std::string banner = "****** Stop program ******\r\n";
  ASSERT_GE(stopped.size(), banner.size());
  EXPECT_EQ(stopped.substr(stopped.size() - banner.size()), banner) << stopped;
  EXPECT_FALSE(LinkTarget().empty());
}

// A configuration with a bad value stops the start in its message box; with
// nobody to answer it, a stop signal ends the box and the program in order,
// before any window is shown or port is made.
TEST_F(SingleInstanceProcessTest, AStopSignalEndsTheConfigurationsMessageBox) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    test::WriteConfig(
        Data.Str(),
        {"<Port ComName=\"COM21\" IpAddress=\"127.0.0.1\" PortNumber=\"1\" isRealPort=\"yes\"/>"});
    test::TProcess window(Args());
    ASSERT_TRUE(window.WaitErr("Ошибка при загрузке файла конфигурации")) << window.ErrText;
    EXPECT_FALSE(window.Ended());
    ::kill(window.Pid(), signal);
    EXPECT_EQ(window.Wait(), 0) << window.ErrText;
    const std::string log = Log();
    const std::string banner = "****** Stop program ******\r\n";
    ASSERT_GE(log.size(), banner.size());
    EXPECT_EQ(log.substr(log.size() - banner.size()), banner) << log;
  }
}

// A first instance told "-i" holds neither guard: a start without the switch runs too
// (with the same ports; the log stays the first's), and guards the data from then on.
TEST_F(SingleInstanceProcessTest, AStartWithoutIBehindOneToldIRunsAndGuardsFromThenOn) {
  test::WriteConfig(Data.Str(), {test::PassThroughPort("COM21", Converter.Port())});
  test::TProcess first(Args({"/I"}));
  ASSERT_TRUE(test::WaitFor([&] { return PortUp(); }));
  const std::string log = Log();

  test::TProcess second(Args());
  ASSERT_TRUE(second.WaitErr("Файл журнала не открывается")) << second.ErrText;
  // The converter serves one client at a time: from here on the two instances take it
  // from each other, so the count of connections only grows.
  EXPECT_TRUE(test::WaitFor([&] { return Converter.Connections() >= 2; }));
  EXPECT_FALSE(second.Ended());
  EXPECT_EQ(Log().rfind(log, 0), 0u);

  test::TProcess third(Args());
  EXPECT_EQ(third.Wait(), 0) << third.ErrText;
  // A third that ran would have found the log taken, as the second did.
  EXPECT_EQ(third.ErrText.find("Файл журнала"), std::string::npos) << third.ErrText;
  for (test::TProcess* window : {&second, &first}) {
    ::kill(window->Pid(), SIGTERM);
    EXPECT_EQ(window->Wait(), 0) << window->ErrText;
  }
}

// The window and the service take the same lock in the data directory: one
// of them runs, the other start is refused before it writes the log or opens
// a port, unless told "-i".
constexpr const char* DATA_DIR_HELD = "Программа уже запущена с каталогом данных ";

TEST_F(SingleInstanceProcessTest, AWindowOnTheDataOfARunningServiceIsRefusedUnlessToldI) {
  test::WriteConfig(Data.Str(), {test::PassThroughPort("COM21", Converter.Port())});
  test::TProcess service(Args({"--headless"}));
  ASSERT_TRUE(service.WaitOut("Ready\n"));
  ASSERT_TRUE(test::WaitFor([&] { return PortUp(); }));
  const std::string log = Log();
  const std::string config = Config();
  const std::string target = LinkTarget();

  // Its message box waits for a user who is not there; the same text goes to
  // standard error, and by then the window has done all it will do.
  test::TProcess window(Args());
  ASSERT_TRUE(window.WaitErr(DATA_DIR_HELD + Data.Str())) << window.ErrText;
  EXPECT_FALSE(window.Ended());
  EXPECT_EQ(Log(), log);
  EXPECT_EQ(Config(), config);
  EXPECT_EQ(LinkTarget(), target);
  EXPECT_EQ(Converter.Connections(), 1u);
  // The refused window has let go of the single-instance guard: a start behind
  // it says why it cannot run instead of ending silently.
  test::TProcess again(Args());
  ASSERT_TRUE(again.WaitErr(DATA_DIR_HELD + Data.Str())) << again.ErrText;
  // Nobody here answers their boxes: a stop signal closes them, and the refusal's code stands.
  for (test::TProcess* refused : {&window, &again}) {
    ::kill(refused->Pid(), SIGTERM);
    EXPECT_EQ(refused->Wait(), EXIT_DATA_DIR_HELD);
  }

  test::TProcess another(Args({"-i"}));
  EXPECT_TRUE(test::WaitFor([&] { return Converter.Connections() == 2; }))
      << Converter.Connections() << " " << (another.CollectErr(), another.ErrText) << Log();
  EXPECT_FALSE(another.Ended());
  service.CollectErr();
  EXPECT_FALSE(service.Ended()) << service.ErrText;
}

TEST_F(SingleInstanceProcessTest, AServiceOnTheDataOfARunningWindowIsRefusedUnlessToldI) {
  test::WriteConfig(Data.Str(), {test::PassThroughPort("COM21", Converter.Port())});
  test::TProcess window(Args());
  ASSERT_TRUE(test::WaitFor([&] { return PortUp(); }));
  const std::string log = Log();
  const std::string config = Config();

  test::TProcess service(Args({"--headless"}));
  EXPECT_EQ(service.Wait(), 3);
  EXPECT_NE(service.ErrText.find(DATA_DIR_HELD + Data.Str() + " (ключ /I запускает ещё один экземпляр)"),
            std::string::npos)
      << service.ErrText;
  EXPECT_EQ(service.OutText, "");
  EXPECT_EQ(Log(), log);
  EXPECT_EQ(Config(), config);
  EXPECT_EQ(Converter.Connections(), 1u);

  test::TProcess another(Args({"--headless", "-i"}));
  EXPECT_TRUE(another.WaitOut("Ready\n")) << another.ErrText;
  EXPECT_TRUE(test::WaitFor([&] { return Converter.Connections() == 2; }));
  window.CollectErr();
  EXPECT_FALSE(window.Ended()) << window.ErrText;
}

// A window without its log says so on standard error (and in a box nobody
// here answers, which the stop signal closes); its ports run all the same.
TEST_F(SingleInstanceProcessTest, AWindowWhoseLogCannotBeOpenedSaysSoAndRunsItsPorts) {
  test::WriteConfig(Data.Str(), {test::PassThroughPort("COM21", Converter.Port())});
  std::filesystem::create_directory(Data.Path() / "log.txt");
  test::TProcess window(Args());
  ASSERT_TRUE(window.WaitErr("Файл журнала не открывается, журнал не ведётся: open " + Data.Str() +
                             "/log.txt: Is a directory\n"))
      << window.ErrText;
  ASSERT_TRUE(test::WaitFor([&] { return Converter.Connections() == 1; }));
  ::kill(window.Pid(), SIGTERM);
  EXPECT_EQ(window.Wait(), 0) << window.ErrText;
  EXPECT_EQ(window.ErrText.find("Файл журнала"), window.ErrText.rfind("Файл журнала"));
}

}  // namespace
}  // namespace orvane
