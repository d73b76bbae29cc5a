#include "platform/pty_port.h"

#include "platform/fd_watcher.h"
#include "platform/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serial_test_helpers.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::PumpUntil;
using test::SameBytes;
using test::TChild;
using test::TTestFd;

// A port in a temporary directory, with every event recorded as the main
// thread sees it.
class TVSPortAxTest : public ::testing::Test {
 protected:
  struct TLine {
    int32_t StopBits, Parity, WordLength;
  };

  std::unique_ptr<TVSPortAx> MakePort(TPortAccess AAccess = {}) {
    auto port = std::make_unique<TVSPortAx>(FDispatcher, FDir.Str(), AAccess);
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
    port->OnWriteDropped = [this](TVSPortAx&, uint64_t ACount, int AError) {
      NoteThread();
      FDrops.emplace_back(ACount, AError);
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
  std::vector<std::pair<uint64_t, int>> FDrops;
};

TEST_F(TVSPortAxTest, SocatExchangesBytesAndOpenCloseFollowsIt) {
  auto port = MakePort();
  ASSERT_TRUE(port->CreatePort("COM5")) << port->LastError();
  EXPECT_FALSE(port->IsOpened());
  EXPECT_EQ(port->Baudrate(), 9600);
  EXPECT_EQ(port->StopBits(), 0);
  struct stat slave {};
  ASSERT_EQ(::stat(LinkOf("COM5").c_str(), &slave), 0);
  EXPECT_EQ(slave.st_mode & 07777, 0600u) << "the pty is its owner's alone";

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

// The driver clears parity-enable and the word length of what the application sets; odd,
// mark and space survive in the bits it keeps, even does not.
TEST_F(TVSPortAxTest, OddMarkAndSpaceParitySetByAnApplicationAreSeen) {
  auto port = MakePort();
  ASSERT_TRUE(port->CreatePort("COM16")) << port->LastError();
  TTestFd app(::open(LinkOf("COM16").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(app.Valid());
  struct TCase {
    const char* Name;
    tcflag_t Bits;  // as a serial program sets them
    int32_t Parity, StopBits;
  };
  // Each row differs from the one before in what the port can see, so each raises an event.
  const TCase cases[] = {
      {"8O1", CS8 | PARENB | PARODD, 1, 0},
      {"7S1", CS7 | PARENB | CMSPAR, 4, 0},
      {"8M2", CS8 | PARENB | CMSPAR | PARODD | CSTOPB, 3, 2},
      {"7E2", CS7 | PARENB | CSTOPB, 0, 2},
      {"7O1", CS7 | PARENB | PARODD, 1, 0},
      {"8N1", CS8, 0, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    termios tio{};
    ASSERT_EQ(::tcgetattr(app.Get(), &tio), 0);
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    tio.c_cflag |= c.Bits;
    ASSERT_EQ(::tcsetattr(app.Get(), TCSANOW, &tio), 0);
    const size_t seen = FLines.size();
    ASSERT_TRUE(Pump([&] { return FLines.size() > seen; }));
    EXPECT_EQ(FLines.back().Parity, c.Parity);
    EXPECT_EQ(FLines.back().StopBits, c.StopBits);
    EXPECT_EQ(FLines.back().WordLength, 8);
    EXPECT_EQ(port->Parity(), c.Parity);
  }
}

// A held port asks for its settings on a slow timer, but a change made just
// before bytes still reaches the handlers ahead of those bytes, every time.
TEST_F(TVSPortAxTest, SettingsMadeJustBeforeBytesAreToldAheadOfThem) {
  auto port = MakePort();
  ASSERT_TRUE(port->CreatePort("COM17")) << port->LastError();
  TTestFd app(::open(LinkOf("COM17").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(app.Valid());
  termios tio{};
  ASSERT_EQ(::tcgetattr(app.Get(), &tio), 0);
  ::cfmakeraw(&tio);
  ASSERT_EQ(::tcsetattr(app.Get(), TCSANOW, &tio), 0);
  ASSERT_TRUE(Pump([&] { return FOpenClose.size() == 1; }));

  std::vector<std::string> order;
  const auto onRx = port->OnRxChar;
  port->OnRxChar = [&](TVSPortAx& ASender, int32_t ACount) {
    order.push_back("bytes");
    onRx(ASender, ACount);
  };
  port->OnBaudRate = [&](TVSPortAx&, int32_t ABaud) { order.push_back(std::to_string(ABaud)); };
  const speed_t speeds[] = {B19200, B38400, B57600};
  const char* const names[] = {"19200", "38400", "57600"};
  for (size_t i = 0; i < std::size(speeds); ++i) {
    ASSERT_EQ(::cfsetospeed(&tio, speeds[i]), 0);
    ASSERT_EQ(::cfsetispeed(&tio, speeds[i]), 0);
    ASSERT_EQ(::tcsetattr(app.Get(), TCSANOW, &tio), 0);
    ASSERT_EQ(::write(app.Get(), "x", 1), 1);
    const size_t received = FReceived.size();
    ASSERT_TRUE(Pump([&] { return FReceived.size() > received; }));
    EXPECT_EQ(order, (std::vector<std::string>{names[i], "bytes"}));
    order.clear();
  }
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

  // Bytes the application never read are gone once it closed, those still
  // queued beyond what the pty holds included, and nobody hears of them as a loss.
  EXPECT_EQ(port->Write("late", 4), 4);
  const std::string queued = test::Pattern(100000);
  EXPECT_EQ(port->Write(queued.data(), static_cast<int32_t>(queued.size())), 100000);
  EXPECT_GT(port->QueuedBytes(), 0u);
  app.Reset();
  ASSERT_TRUE(Pump([&] { return FOpenClose.size() == 2; }));
  EXPECT_EQ(port->QueuedBytes(), 0u);
  TTestFd next(::open(LinkOf("COM7").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  ASSERT_GE(next.Get(), 0);
  EXPECT_EQ(test::ReadFor(next.Get(), 1, std::chrono::milliseconds(200)), "");
  EXPECT_TRUE(FDrops.empty());
  EXPECT_EQ(port->DroppedBytes(), 0u);
  EXPECT_EQ(port->Write("fresh", 5), 5);
  EXPECT_EQ(test::ReadFor(next.Get(), 5), "fresh");
}

TEST_F(TVSPortAxTest, ASlowApplicationGetsEveryByteOfABurstAndWritesNeverWait) {
  auto port = MakePort();
  ASSERT_TRUE(port->CreatePort("COM16")) << port->LastError();
  TTestFd app(::open(LinkOf("COM16").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  ASSERT_GE(app.Get(), 0);
  ASSERT_TRUE(Pump([&] { return port->IsOpened(); }));

  // 200 writes while the application reads nothing: the pty itself holds
  // about 12 KB, so a write that waited for room would stall this loop.
  const std::string burst = test::Pattern(200 * 1000);
  const auto start = std::chrono::steady_clock::now();
  for (size_t at = 0; at < burst.size(); at += 1000)
    ASSERT_EQ(port->Write(burst.data() + at, 1000), 1000) << at;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
      << "a write waited for the reader";
  EXPECT_GT(port->QueuedBytes(), 150000u);

  EXPECT_TRUE(SameBytes(test::ReadSlowly(app.Get(), burst.size()), burst));
  EXPECT_EQ(port->QueuedBytes(), 0u);
  EXPECT_EQ(port->DroppedBytes(), 0u);
  FDispatcher.ProcessPending();
  EXPECT_TRUE(FDrops.empty());
}

TEST_F(TVSPortAxTest, AFullQueueDropsTheRestAndTellsTheCountOnce) {
  auto port = MakePort();
  ASSERT_TRUE(port->CreatePort("COM17")) << port->LastError();
  TTestFd app(::open(LinkOf("COM17").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  ASSERT_GE(app.Get(), 0);
  ASSERT_TRUE(Pump([&] { return port->IsOpened(); }));

  // Twice the queue's bound while the application reads nothing: the accepted
  // part of every write is what it must get, in order.
  constexpr size_t CHUNK = 65536;
  const std::string stream = test::Pattern(2 * TFdWatcher::OUTPUT_LIMIT);
  std::string accepted;
  for (size_t at = 0; at < stream.size(); at += CHUNK) {
    const int32_t taken = port->Write(stream.data() + at, CHUNK);
    ASSERT_GE(taken, 0);
    accepted.append(stream, at, static_cast<size_t>(taken));
  }
  ASSERT_GE(accepted.size(), TFdWatcher::OUTPUT_LIMIT);
  ASSERT_LT(accepted.size(), stream.size());
  const uint64_t dropped = stream.size() - accepted.size();
  EXPECT_EQ(port->DroppedBytes(), dropped);
  // The episode lasts while the queue stays full: nothing is told yet.
  FDispatcher.ProcessPending();
  EXPECT_TRUE(FDrops.empty());

  EXPECT_TRUE(SameBytes(test::ReadSlowly(app.Get(), accepted.size(), 4096), accepted));
  ASSERT_TRUE(Pump([&] { return !FDrops.empty(); }));
  EXPECT_EQ(FDrops, (std::vector<std::pair<uint64_t, int>>{{dropped, ENOBUFS}}));

  // The port goes on as before.
  EXPECT_EQ(port->Write("again", 5), 5);
  EXPECT_EQ(test::ReadFor(app.Get(), 5), "again");
  FDispatcher.ProcessPending();
  EXPECT_EQ(FDrops.size(), 1u);
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
    std::string CreateError;  // a part of LastError after CreatePort
    std::string AttachError;  // and after Attach
  };
  const std::string DOT = "beginning with a dot", SLASH = "with '/'", BREAK = "line break";
  const TCase cases[] = {
      {"FILE", "exists", "not a virtual port link"},
      {"DIR", "exists", "not a virtual port link"},
      {"NULL", "exists", "not a virtual port link"},
      {"TOFILE", "exists", "not a virtual port link"},
      {"MISSING", "", "does not exist"},
      {"", "empty port name", "empty port name"},
      {"..", DOT, DOT},
      {".", DOT, DOT},
      {".COM1", DOT, DOT},
      {"a/b", SLASH, SLASH},
      {"../COM1", SLASH, SLASH},
      {"COM\n1", BREAK, BREAK},
      {"COM1\r", BREAK, BREAK},
      {"COM1\r\n", BREAK, BREAK},
      {std::string("COM\x01", 4), BREAK, BREAK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    if (!c.CreateError.empty()) {
      auto port = MakePort();
      EXPECT_FALSE(port->CreatePort(c.Name));
      EXPECT_NE(port->LastError().find(c.CreateError), std::string::npos) << port->LastError();
      // A refused name never brings a line break into a message that may be logged.
      EXPECT_EQ(port->LastError().find_first_of("\r\n"), std::string::npos);
    }
    auto port = MakePort();
    EXPECT_FALSE(port->Attach(c.Name));
    EXPECT_NE(port->LastError().find(c.AttachError), std::string::npos) << port->LastError();
  }
  // Nothing refused was touched, nothing was made.
  std::string text;
  std::ifstream(LinkOf("FILE")) >> text;
  EXPECT_EQ(text, "precious");
  EXPECT_TRUE(std::filesystem::is_directory(LinkOf("DIR")));
  EXPECT_EQ(std::filesystem::read_symlink(LinkOf("NULL")), "/dev/null");
  EXPECT_FALSE(std::filesystem::exists(FDir.Path().parent_path() / "COM1"));
  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(FDir.Path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 4u);
}

// The port directory may be shared with other users: no name they can take
// beforehand keeps a port from being attached.
TEST_F(TVSPortAxTest, AttachIsNotBlockedByAnotherFileAtATemporaryName) {
  {
    auto first = MakePort();
    ASSERT_TRUE(first->CreatePort("COM18")) << first->LastError();
    first->SetDeleteOnExit(false);
  }
  // What an earlier version used as its temporary name, made impossible to
  // remove or replace, as another user's entry in a sticky directory is.
  std::filesystem::create_directories(LinkOf(".COM18.new") + "/keep");
  auto second = MakePort();
  ASSERT_TRUE(second->Attach("COM18")) << second->LastError();
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(FDir.Path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".COM18.new", "COM18"})) << "a temporary link was left";
  TTestFd app(::open(LinkOf("COM18").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  ASSERT_GE(app.Get(), 0);
  ASSERT_TRUE(Pump([&] { return second->IsOpened(); }));
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

TEST_F(TVSPortAxTest, TheSlaveAndItsLinkGetTheModeAndGroupAsked) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a pty to another group needs root";
  const struct {
    TPortAccess Access;
    mode_t Mode;
    gid_t Group;
  } cases[] = {
      // A terminal's group is tty and it may write there: the port's own group replaces it.
      {{}, 0600, ::getegid()},
      {{0660, 20}, 0660, 20},
      {{0640, 65534}, 0640, 65534},
      {{0, {}}, 0, ::getegid()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.Mode) + " " + std::to_string(c.Group));
    for (const bool attach : {false, true}) {
      auto port = MakePort(c.Access);
      ASSERT_TRUE(attach ? port->Attach("COM30") : port->CreatePort("COM30")) << port->LastError();
      port->SetDeleteOnExit(false);
      struct stat slave {};
      struct stat link {};
      ASSERT_EQ(::stat(LinkOf("COM30").c_str(), &slave), 0);
      ASSERT_EQ(::lstat(LinkOf("COM30").c_str(), &link), 0);
      EXPECT_EQ(slave.st_mode & 07777, c.Mode);
      EXPECT_EQ(slave.st_gid, c.Group);
      EXPECT_EQ(link.st_gid, c.Group) << (attach ? "attached" : "created");
    }
    std::filesystem::remove(LinkOf("COM30"));
  }
}

// In a directory shared with other users (sticky /tmp/ports) root could rename
// over anyone's entry: a link another user planted under a port's name would
// lead that user's program to our port, or be taken from them.
TEST_F(TVSPortAxTest, ALinkAnotherUserPlantedIsNeverRepointed) {
  if (::geteuid() != 0) GTEST_SKIP() << "a link of another user needs root to make";
  {
    auto earlier = MakePort();
    ASSERT_TRUE(earlier->CreatePort("COM31")) << earlier->LastError();
    earlier->SetDeleteOnExit(false);
  }
  std::filesystem::create_symlink("/dev/pts/999", LinkOf("COM32"));
  for (const char* name : {"COM31", "COM32"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(::lchown(LinkOf(name).c_str(), 65534, 65534), 0);
    const auto target = std::filesystem::read_symlink(LinkOf(name));
    auto port = MakePort();
    EXPECT_FALSE(port->CreatePort(name));
    EXPECT_FALSE(port->Attach(name));
    EXPECT_NE(port->LastError().find("belongs to another user (uid 65534), not replaced"), std::string::npos)
        << port->LastError();
    EXPECT_EQ(std::filesystem::read_symlink(LinkOf(name)), target);
  }
}

// inotify instances: every one a port took would be one of the user's 128.
size_t InotifyInstances() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error).string() == "anon_inode:inotify") ++count;
  }
  return count;
}

TEST_F(TVSPortAxTest, PortsOfAProgramShareOneInotifyInstanceAndHearOnlyTheirOwnOpens) {
  const size_t before = InotifyInstances();
  auto watch = std::make_shared<TPtyOpenWatch>();
  constexpr int PORTS = 40;
  std::vector<std::unique_ptr<TVSPortAx>> ports;
  std::vector<std::vector<bool>> heard(PORTS);
  for (int i = 0; i < PORTS; ++i) {
    ports.push_back(std::make_unique<TVSPortAx>(FDispatcher, FDir.Str(), TPortAccess{}, watch));
    ports.back()->OnOpenClose = [&heard, i](TVSPortAx&, bool AOpened) {
      heard[size_t(i)].push_back(AOpened);
    };
    ASSERT_TRUE(ports.back()->CreatePort("P" + std::to_string(i))) << ports.back()->LastError();
  }
  EXPECT_EQ(InotifyInstances(), before + 1);

  // A port that goes leaves the others hearing.
  ports[0].reset();
  for (const int i : {7, 39}) {
    TTestFd app(::open(LinkOf("P" + std::to_string(i)).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(app.Get(), 0);
    ASSERT_TRUE(Pump([&] { return heard[size_t(i)] == std::vector<bool>{true}; }));
  }
  ASSERT_TRUE(Pump([&] { return heard[7].size() == 2 && heard[39].size() == 2; }));
  EXPECT_EQ(heard[7], (std::vector<bool>{true, false}));
  for (int i = 1; i < PORTS; ++i) {
    if (i == 7 || i == 39) continue;
    EXPECT_TRUE(heard[size_t(i)].empty()) << i;
  }
}

// Events on the port's own thread: they come in the order of what the
// application did, after what a creation holds them for, while the main
// thread serves nothing at all.
TEST(TVSPortAxOnWatcher, EventsRunInOrderOffTheMainThreadAndWaitForTheHold) {
  TMainDispatcher dispatcher;
  test::TTempDir dir;
  TVSPortAx port(dispatcher, dir.Str());
  port.RunEventsOnWatcher();
  std::mutex lock;
  std::vector<std::string> events;
  std::string received;
  bool offMain = true;
  std::atomic<bool> held{true};
  bool heardWhileHeld = false;
  const auto note = [&](const std::string& AEvent) {
    const std::lock_guard<std::mutex> guard(lock);
    events.push_back(AEvent);
    offMain = offMain && !dispatcher.IsMainThread();
    heardWhileHeld = heardWhileHeld || held;
  };
  port.OnOpenClose = [&](TVSPortAx&, bool AOpened) { note(AOpened ? "open" : "close"); };
  port.OnBaudRate = [&](TVSPortAx&, int32_t ABaud) { note(std::to_string(ABaud)); };
  port.OnRxChar = [&](TVSPortAx& ASender, int32_t ACount) {
    std::string buffer(static_cast<size_t>(ACount), '\0');
    int32_t count = ACount;
    ASender.Read(buffer.data(), count);
    note("bytes");
    const std::lock_guard<std::mutex> guard(lock);
    received.append(buffer.data(), static_cast<size_t>(count));
  };
  TTestFd app;
  {
    const std::unique_lock<std::mutex> hold = port.HoldEvents();
    ASSERT_TRUE(port.CreatePort("COM21")) << port.LastError();
    // The application is quicker than the creation's own lines.
    app = TTestFd(::open((dir.Str() + "/COM21").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(app.Valid());
    termios tio{};
    ASSERT_EQ(::tcgetattr(app.Get(), &tio), 0);
    ::cfmakeraw(&tio);
    ASSERT_EQ(::cfsetospeed(&tio, B19200), 0);
    ASSERT_EQ(::cfsetispeed(&tio, B19200), 0);
    ASSERT_EQ(::tcsetattr(app.Get(), TCSANOW, &tio), 0);
    ASSERT_EQ(::write(app.Get(), "abc", 3), 3);
    held = false;
  }
  ASSERT_TRUE(test::WaitFor([&] {
    const std::lock_guard<std::mutex> guard(lock);
    return received == "abc";
  }));
  app = TTestFd();
  ASSERT_TRUE(test::WaitFor([&] {
    const std::lock_guard<std::mutex> guard(lock);
    return events.back() == "close";
  }));
  port.MuteEvents();
  const std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(events, (std::vector<std::string>{"open", "19200", "bytes", "close"}));
  EXPECT_TRUE(offMain);
  EXPECT_FALSE(heardWhileHeld);
  EXPECT_EQ(dispatcher.ProcessPending(), 0u);
}

// Muting on the main thread while an event waits for the main thread (a line
// handed to the window) serves it instead of waiting forever; nothing runs after.
TEST(TVSPortAxOnWatcher, MutingServesAnEventThatWaitsForTheMainThread) {
  TMainDispatcher dispatcher;
  test::TTempDir dir;
  TVSPortAx port(dispatcher, dir.Str());
  port.RunEventsOnWatcher();
  std::atomic<int> entered{0};
  std::atomic<int> finished{0};
  port.OnRxChar = [&](TVSPortAx& ASender, int32_t ACount) {
    ++entered;
    std::string buffer(static_cast<size_t>(ACount), '\0');
    ASender.Read(buffer.data(), ACount);
    dispatcher.Send([] {});
    ++finished;
  };
  ASSERT_TRUE(port.CreatePort("COM22")) << port.LastError();
  TTestFd app(::open((dir.Str() + "/COM22").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(app.Valid());
  ASSERT_EQ(::write(app.Get(), "x", 1), 1);
  ASSERT_TRUE(test::WaitFor([&] { return entered == 1; }));
  port.MuteEvents();
  EXPECT_EQ(finished, 1);
  ASSERT_EQ(::write(app.Get(), "y", 1), 1);
  // Stopping the watcher ends every chance of a later event.
  ASSERT_TRUE(port.Delete());
  EXPECT_EQ(entered, 1);
}

}  // namespace
}  // namespace orvane
