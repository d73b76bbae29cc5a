#include "platform/pty_port.h"

#include "platform/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serial_test_helpers.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

using test::PumpUntil;
using test::TChild;
using test::TTestFd;

// A port in a temporary directory, with every event recorded as the main
// thread sees it.
class TVSPortAxTest : public ::testing::Test {
 protected:
  struct TLine {
    int32_t StopBits, Parity, WordLength;
  };

  std::unique_ptr<TVSPortAx> MakePort() {
    auto port = std::make_unique<TVSPortAx>(FDispatcher, FDir.Str());
    port->OnRxChar = [this](TVSPortAx& ASender, int32_t ACount) {
      NoteThread();
      std::string buffer(static_cast<size_t>(ACount), '\0');
      int32_t count = ACount;
      ASender.Read(buffer.data(), count);
      FReceived.append(buffer.data(), static_cast<size_t>(count));
    };
    port->OnOpenClose = [this](TVSPortAx&, bool AOpened) {
      NoteThread();
      FOpenClose.push_back(AOpened);
    };
    port->OnBaudRate = [this](TVSPortAx&, int32_t ABaud) {
      NoteThread();
      FBauds.push_back(ABaud);
    };
    port->OnLineControl = [this](TVSPortAx&, int32_t AStopBits, int32_t AParity, int32_t AWordLength) {
      NoteThread();
      FLines.push_back({AStopBits, AParity, AWordLength});
    };
    return port;
  }

  void NoteThread() {
    if (std::this_thread::get_id() != FMainThread) FOffMainThread = true;
  }

  std::string LinkOf(const std::string& AName) const { return FDir.Str() + "/" + AName; }

  bool Pump(const std::function<bool()>& ACondition) { return PumpUntil(FDispatcher, ACondition); }

  void TearDown() override { EXPECT_FALSE(FOffMainThread) << "an event ran off the main thread"; }

  test::TTempDir FDir;
  TMainDispatcher FDispatcher;
  const std::thread::id FMainThread = std::this_thread::get_id();
  bool FOffMainThread = false;
  std::string FReceived;
  std::vector<bool> FOpenClose;
  std::vector<int32_t> FBauds;
  std::vector<TLine> FLines;
};

TEST_F(TVSPortAxTest, SocatExchangesBytesAndOpenCloseFollowsIt) {
  auto port = MakePort();
  ASSERT_TRUE(port->CreatePort("COM5")) << port->LastError();
  EXPECT_FALSE(port->IsOpened());
  EXPECT_EQ(port->Baudrate(), 9600);
  EXPECT_EQ(port->StopBits(), 0);

  TChild socat({"socat", "-", LinkOf("COM5") + ",raw,echo=0"});
  ASSERT_TRUE(socat.Started());
  ASSERT_TRUE(Pump([&] { return port->IsOpened() && FOpenClose.size() == 1; }));
  EXPECT_TRUE(FOpenClose[0]);

  const std::string up("ping\0\xff\r\n", 8);
  ASSERT_TRUE(test::WriteAllFd(socat.In(), up));
  ASSERT_TRUE(Pump([&] { return FReceived.size() >= up.size(); }));
  EXPECT_EQ(FReceived, up);

  const std::string down("pong\0\x80\n", 7);
  EXPECT_EQ(port->Write(down.data(), static_cast<int32_t>(down.size())), static_cast<int32_t>(down.size()));
  EXPECT_EQ(test::ReadFor(socat.Out(), down.size()), down);

  socat.CloseIn();  // socat ends at the end of its input and lets go of the port
  int status = 0;
  ASSERT_TRUE(socat.Wait(status));
  ASSERT_TRUE(Pump([&] { return FOpenClose.size() == 2; }));
  EXPECT_FALSE(FOpenClose[1]);
  EXPECT_FALSE(port->IsOpened());
}

TEST_F(TVSPortAxTest, SpeedAndStopBitsSetByAProgramArriveAsEvents) {
  auto port = MakePort();
  ASSERT_TRUE(port->CreatePort("COM6")) << port->LastError();

  ASSERT_TRUE(test::RunProgram({"stty", "-F", LinkOf("COM6"), "19200", "cstopb"}));
  ASSERT_TRUE(Pump([&] { return !FBauds.empty() && !FLines.empty() && FOpenClose.size() == 2; }));
  // stty lets go at once; its open and close are still seen, in order.
  EXPECT_EQ(FOpenClose, (std::vector<bool>{true, false}));
  EXPECT_EQ(FBauds.back(), 19200);
  EXPECT_EQ(FLines.back().StopBits, 2);
  EXPECT_EQ(FLines.back().Parity, 0);
  EXPECT_EQ(FLines.back().WordLength, 8);
  EXPECT_EQ(port->Baudrate(), 19200);
  EXPECT_EQ(port->StopBits(), 2);
  EXPECT_EQ(port->Parity(), 0);
  EXPECT_EQ(port->DataBits(), 8);

  // A change of speed alone says nothing about the line control, and back again.
  const size_t lines = FLines.size();
  ASSERT_TRUE(test::RunProgram({"stty", "-F", LinkOf("COM6"), "115200"}));
  ASSERT_TRUE(Pump([&] { return FBauds.back() == 115200; }));
  ASSERT_TRUE(test::RunProgram({"stty", "-F", LinkOf("COM6"), "-cstopb"}));
  ASSERT_TRUE(Pump([&] { return FLines.size() == lines + 1; }));
  EXPECT_EQ(FLines.back().StopBits, 0);
  EXPECT_EQ(FBauds.back(), 115200);
}

// Our own serial port as the application: a speed without a Bxxx constant
// travels through termios2 on both sides.
TEST_F(TVSPortAxTest, ASerialPortOpeningTheLinkIsSeenWithItsSettings) {
  auto port = MakePort();
  ASSERT_TRUE(port->CreatePort("COM15")) << port->LastError();
  TComPort app(FDispatcher);
  app.SetPort(LinkOf("COM15"));
  app.SetBaudRate(56000);
  app.SetStopBits(TComStopBits::Two);
  std::string appReceived;
  app.OnRxChar = [&](TComPort& ASender, int32_t ACount) {
    std::string buffer(static_cast<size_t>(ACount), '\0');
    buffer.resize(static_cast<size_t>(ASender.Read(buffer.data(), ACount)));
    appReceived += buffer;
  };
  ASSERT_TRUE(app.Open()) << app.LastError();
  ASSERT_TRUE(Pump([&] { return !FOpenClose.empty() && !FBauds.empty() && !FLines.empty(); }));
  EXPECT_TRUE(FOpenClose[0]);
  EXPECT_EQ(FBauds.back(), 56000);
  EXPECT_EQ(FLines.back().StopBits, 2);
  EXPECT_EQ(port->Baudrate(), 56000);

  EXPECT_EQ(app.WriteAnsiStr("to port"), 7);
  ASSERT_TRUE(Pump([&] { return FReceived == "to port"; }));
  EXPECT_EQ(port->Write("to app", 6), 6);
  ASSERT_TRUE(Pump([&] { return appReceived == "to app"; }));

  app.Close();
  ASSERT_TRUE(Pump([&] { return FOpenClose.size() == 2; }));
  EXPECT_FALSE(FOpenClose[1]);
}

TEST_F(TVSPortAxTest, BytesWrittenWhileNoProgramHoldsThePortAreNotDeliveredLater) {
  auto port = MakePort();
  ASSERT_TRUE(port->CreatePort("COM7")) << port->LastError();
  EXPECT_EQ(port->Write("stale", 5), 0);

  TTestFd app(::open(LinkOf("COM7").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  ASSERT_GE(app.Get(), 0);
  ASSERT_TRUE(Pump([&] { return FOpenClose.size() == 1; }));
  EXPECT_EQ(test::ReadFor(app.Get(), 1, std::chrono::milliseconds(200)), "");

  // Bytes the application never read are gone once it closed.
  EXPECT_EQ(port->Write("late", 4), 4);
  app.Reset();
  ASSERT_TRUE(Pump([&] { return FOpenClose.size() == 2; }));
  TTestFd next(::open(LinkOf("COM7").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  ASSERT_GE(next.Get(), 0);
  EXPECT_EQ(test::ReadFor(next.Get(), 1, std::chrono::milliseconds(200)), "");
  EXPECT_EQ(port->Write("fresh", 5), 5);
  EXPECT_EQ(test::ReadFor(next.Get(), 5), "fresh");
}

TEST_F(TVSPortAxTest, BytesOfAProgramThatClosedAtOnceStillArrive) {
  auto port = MakePort();
  ASSERT_TRUE(port->CreatePort("COM8")) << port->LastError();
  {
    TTestFd app(::open(LinkOf("COM8").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(app.Get(), 0);
    ASSERT_TRUE(test::WriteAllFd(app.Get(), "bye"));
  }
  ASSERT_TRUE(Pump([&] { return FReceived == "bye"; }));
  EXPECT_FALSE(port->IsOpened());
}

TEST_F(TVSPortAxTest, AHandlerThatDoesNotReadHearsAgainOnlyWhenMoreBytesCome) {
  auto port = MakePort();
  std::vector<int32_t> counts;
  port->OnRxChar = [&](TVSPortAx&, int32_t ACount) { counts.push_back(ACount); };
  ASSERT_TRUE(port->CreatePort("COM9")) << port->LastError();
  TTestFd app(::open(LinkOf("COM9").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  ASSERT_GE(app.Get(), 0);

  ASSERT_TRUE(test::WriteAllFd(app.Get(), "12345"));
  ASSERT_TRUE(Pump([&] { return !counts.empty(); }));
  ASSERT_TRUE(test::WriteAllFd(app.Get(), "678"));
  ASSERT_TRUE(Pump([&] { return !counts.empty() && counts.back() == 8; }));
  EXPECT_EQ(counts, (std::vector<int32_t>{5, 8}));

  // A handler that reads part of the bytes hears about the rest.
  port->OnRxChar = [&](TVSPortAx& ASender, int32_t ACount) {
    counts.push_back(ACount);
    char byte;
    int32_t one = 1;
    ASender.Read(&byte, one);
  };
  ASSERT_TRUE(test::WriteAllFd(app.Get(), "9"));
  ASSERT_TRUE(Pump([&] { return counts.back() == 1; }));
  EXPECT_EQ(counts, (std::vector<int32_t>{5, 8, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST_F(TVSPortAxTest, AHandlerThatThrowsDoesNotSilenceThePort) {
  FDispatcher.SetErrorHandler([](std::exception_ptr) {});
  auto port = MakePort();
  int calls = 0;
  port->OnRxChar = [&](TVSPortAx&, int32_t) {
    ++calls;
    throw std::runtime_error("handler fault");
  };
  ASSERT_TRUE(port->CreatePort("COM14")) << port->LastError();
  TTestFd app(::open(LinkOf("COM14").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  ASSERT_GE(app.Get(), 0);
  ASSERT_TRUE(test::WriteAllFd(app.Get(), "a"));
  ASSERT_TRUE(Pump([&] { return calls == 1; }));
  ASSERT_TRUE(test::WriteAllFd(app.Get(), "b"));
  EXPECT_TRUE(Pump([&] { return calls == 2; }));
}

TEST_F(TVSPortAxTest, ASecondRunAttachesToTheLinkOfTheFirst) {
  {
    auto first = MakePort();
    ASSERT_TRUE(first->CreatePort("COM10")) << first->LastError();
    first->SetDeleteOnExit(false);
  }
  struct stat info {};
  ASSERT_EQ(::lstat(LinkOf("COM10").c_str(), &info), 0) << "the link outlives the first run";

  auto second = MakePort();
  EXPECT_FALSE(second->CreatePort("COM10"));
  ASSERT_TRUE(second->Attach("COM10")) << second->LastError();
  EXPECT_EQ(second->LinkPath(), LinkOf("COM10"));

  TChild socat({"socat", "-", LinkOf("COM10") + ",raw,echo=0"});
  ASSERT_TRUE(Pump([&] { return second->IsOpened(); }));
  EXPECT_EQ(second->Write("hi", 2), 2);
  EXPECT_EQ(test::ReadFor(socat.Out(), 2), "hi");
  ASSERT_TRUE(test::WriteAllFd(socat.In(), "yo"));
  ASSERT_TRUE(Pump([&] { return FReceived == "yo"; }));

  EXPECT_TRUE(second->Delete());
  EXPECT_NE(::lstat(LinkOf("COM10").c_str(), &info), 0);
  EXPECT_FALSE(second->Delete());
}

TEST_F(TVSPortAxTest, NamesThatAreNotPortLinksAreRefused) {
  { std::ofstream(LinkOf("FILE")) << "precious"; }
  std::filesystem::create_directory(LinkOf("DIR"));
  std::filesystem::create_symlink("/dev/null", LinkOf("NULL"));
  std::filesystem::create_symlink(LinkOf("FILE"), LinkOf("TOFILE"));

  struct TCase {
    std::string Name;
    bool CreateOk;
  };
  const TCase cases[] = {
      {"FILE", false}, {"DIR", false}, {"NULL", false}, {"TOFILE", false},  {"", false},
      {"..", false},   {".", false},   {"a/b", false},  {"../COM1", false},
  };
  for (const auto& c : cases) {
    auto port = MakePort();
    EXPECT_EQ(port->CreatePort(c.Name), c.CreateOk) << c.Name;
    EXPECT_FALSE(port->Attach(c.Name)) << c.Name;
    EXPECT_FALSE(port->LastError().empty()) << c.Name;
  }
  EXPECT_FALSE(MakePort()->Attach("MISSING"));
  // Nothing refused was touched.
  std::string text;
  std::ifstream(LinkOf("FILE")) >> text;
  EXPECT_EQ(text, "precious");
  EXPECT_TRUE(std::filesystem::is_directory(LinkOf("DIR")));
  EXPECT_EQ(std::filesystem::read_symlink(LinkOf("NULL")), "/dev/null");
  EXPECT_FALSE(std::filesystem::exists(FDir.Path().parent_path() / "COM1"));
}

TEST_F(TVSPortAxTest, DeleteRemovesOnlyItsOwnLink) {
  // The default DeleteOnExit removes the port with the object.
  MakePort()->CreatePort("GONE");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(LinkOf("GONE"))));

  auto first = MakePort();
  ASSERT_TRUE(first->CreatePort("COM11"));
  EXPECT_FALSE(first->CreatePort("COM12")) << "one object holds one port";
  auto second = MakePort();
  ASSERT_TRUE(second->Attach("COM11"));
  const auto target = std::filesystem::read_symlink(LinkOf("COM11"));
  EXPECT_TRUE(first->Delete());
  EXPECT_EQ(std::filesystem::read_symlink(LinkOf("COM11")), target) << "the name belongs to the second now";
  EXPECT_TRUE(second->Delete());
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(LinkOf("COM11"))));
}

TEST_F(TVSPortAxTest, EventsQueuedBeforeDestructionAreDropped) {
  bool heard = false;
  {
    TVSPortAx port(FDispatcher, FDir.Str());
    port.OnRxChar = [&](TVSPortAx&, int32_t) { heard = true; };
    port.OnOpenClose = [&](TVSPortAx&, bool) { heard = true; };
    ASSERT_TRUE(port.CreatePort("COM13"));
    TTestFd app(::open(LinkOf("COM13").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_TRUE(test::WriteAllFd(app.Get(), "x"));
    // Wait until the watcher has queued something, without running it.
    ASSERT_TRUE(test::WaitFor([&] {
      pollfd pfd{FDispatcher.WakeFd(), POLLIN, 0};
      return ::poll(&pfd, 1, 0) > 0;
    }));
  }
  EXPECT_GT(FDispatcher.ProcessPending(), 0u);
  EXPECT_FALSE(heard);
}

}  // namespace
}  // namespace orvane
