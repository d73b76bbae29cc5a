#include "platform/serial_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fd_watcher.h"
#include "platform/serial_port_list.h"
#include "platform/serial_speed.h"
#include "platform/serial_termios.h"
#include "serial_test_helpers.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

using test::PumpUntil;
using test::TTestFd;

size_t OpenFdCount() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

// A pty pair standing in for a serial device: the port opens the slave, the
// test plays the far end on the master (whose termios calls act on the slave).
class TComPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FMaster = std::make_unique<TTestFd>(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(FMaster->Get(), 0);
    ASSERT_EQ(::grantpt(FMaster->Get()), 0);
    ASSERT_EQ(::unlockpt(FMaster->Get()), 0);
    char name[128];
    ASSERT_EQ(::ptsname_r(FMaster->Get(), name, sizeof name), 0);
    FDevice = name;
    ASSERT_EQ(::tcgetattr(FMaster->Get(), &FOriginal), 0);
  }

  termios DeviceTermios() const {
    termios tio{};
    EXPECT_EQ(::tcgetattr(FMaster->Get(), &tio), 0);
    return tio;
  }

  uint32_t DeviceSpeed() const {
    uint32_t baud = 0;
    EXPECT_TRUE(GetLineSpeed(FMaster->Get(), baud));
    return baud;
  }

  TMainDispatcher FDispatcher;
  std::unique_ptr<TTestFd> FMaster;
  std::string FDevice;
  termios FOriginal{};
};

TEST_F(TComPortTest, OpenAppliesTheSettingsAndCloseRestoresTheDevice) {
  // Every speed the port settings can name; 14400, 56000, 128000 and 256000 have no Bxxx
  // constant and go through termios2.
  for (const uint32_t baud : BAUD_RATES) {
    TComPort port(FDispatcher);
    port.SetPort(FDevice);
    ASSERT_TRUE(port.SetBaudRate(baud));
    ASSERT_TRUE(port.SetStopBits(TComStopBits::Two));
    ASSERT_TRUE(port.Open()) << baud << ": " << port.LastError();
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(DeviceSpeed(), baud);
    const termios tio = DeviceTermios();
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL | INPCK));
    EXPECT_FALSE(tio.c_oflag & OPOST);

    // Setters act on the open port at once.
    ASSERT_TRUE(port.SetBaudRate(19200));
    ASSERT_TRUE(port.SetStopBits(TComStopBits::One));
    EXPECT_EQ(DeviceSpeed(), 19200u);
    EXPECT_FALSE(DeviceTermios().c_cflag & CSTOPB);

    port.Close();
    EXPECT_FALSE(port.Connected());
    const termios restored = DeviceTermios();
    EXPECT_EQ(restored.c_cflag, FOriginal.c_cflag);
    EXPECT_EQ(restored.c_lflag, FOriginal.c_lflag);
    EXPECT_EQ(restored.c_iflag, FOriginal.c_iflag);
  }
}

TEST_F(TComPortTest, SettingsOutOfRangeAreRefusedAndTheOldOnesStay) {
  TComPort port(FDispatcher);
  port.SetPort(FDevice);
  ASSERT_TRUE(port.Open()) << port.LastError();
  EXPECT_FALSE(port.SetDataBits(9));
  EXPECT_FALSE(port.SetBaudRate(0));
  EXPECT_FALSE(port.SetParity(static_cast<TComParity>(7)));
  EXPECT_EQ(port.DataBits(), 8);
  EXPECT_EQ(port.BaudRate(), 9600u);
  EXPECT_EQ(DeviceSpeed(), 9600u);
}

// The pty forces 8 data bits and no parity, so the flags for those are checked
// on the termios that would be applied.
TEST(MakeComTermios, SetsDataBitsParityAndStopBits) {
  struct TCase {
    uint8_t DataBits;
    TComParity Parity;
    TComStopBits StopBits;
    tcflag_t Expected;  // of CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
  };
  const TCase cases[] = {
      {5, TComParity::None, TComStopBits::One, CS5},
      {6, TComParity::Odd, TComStopBits::OneAndHalf, CS6 | PARENB | PARODD | CSTOPB},
      {7, TComParity::Even, TComStopBits::Two, CS7 | PARENB | CSTOPB},
      {8, TComParity::Mark, TComStopBits::One, CS8 | PARENB | PARODD | CMSPAR},
      {8, TComParity::Space, TComStopBits::One, CS8 | PARENB | CMSPAR},
  };
  const tcflag_t mask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  termios dirty{};
  dirty.c_cflag = mask | CRTSCTS | HUPCL;
  dirty.c_iflag = INPCK | IXON | IXOFF | ISTRIP | IGNPAR | PARMRK | ICRNL;
  dirty.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
  for (const auto& c : cases) {
    const termios tio = MakeComTermios(dirty, c.DataBits, c.Parity, c.StopBits);
    EXPECT_EQ(tio.c_cflag & mask, c.Expected) << int(c.DataBits) << " " << int(c.Parity);
    EXPECT_EQ(tio.c_cflag & ~mask, tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag, 0u);
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(DataBitsOf(tio), c.DataBits);
    EXPECT_EQ(ParityOf(tio), c.Parity);
  }
}

TEST_F(TComPortTest, OpenIsExclusiveAndAFailedOpenLeavesNothingBehind) {
  const size_t fdsBefore = OpenFdCount();
  TComPort first(FDispatcher);
  first.SetPort(FDevice);
  ASSERT_TRUE(first.Open()) << first.LastError();

  TComPort second(FDispatcher);
  second.SetPort(FDevice);
  EXPECT_FALSE(second.Open());
  EXPECT_FALSE(second.Connected());
  EXPECT_FALSE(second.LastError().empty());

  test::TTempDir dir;
  const std::string file = dir.Str() + "/plain";
  std::ofstream(file) << "x";
  for (const std::string& bad : {dir.Str() + "/missing", file, std::string("no-such-tty-here")}) {
    TComPort other(FDispatcher);
    other.SetPort(bad);
    EXPECT_FALSE(other.Open()) << bad;
    EXPECT_FALSE(other.Connected()) << bad;
  }
  first.Close();
  ASSERT_TRUE(second.Open()) << "free again after the first closed: " << second.LastError();
  second.Close();
  EXPECT_EQ(OpenFdCount(), fdsBefore) << "a descriptor was left open";
}

TEST_F(TComPortTest, ReceivedBytesAreNotifiedOnTheMainThreadAndWritesReachThePeer) {
  TComPort port(FDispatcher);
  port.SetPort(FDevice);
  std::string received;
  bool offMain = false;
  port.OnRxChar = [&](TComPort& ASender, int32_t ACount) {
    offMain |= !FDispatcher.IsMainThread();
    EXPECT_GT(ACount, 0);
    std::string buffer(static_cast<size_t>(ACount), '\0');
    buffer.resize(static_cast<size_t>(ASender.Read(buffer.data(), ACount)));
    received += buffer;
  };
  ASSERT_TRUE(port.Open()) << port.LastError();

  const std::string in("abc\0\xff\r\n", 7);
  ASSERT_TRUE(test::WriteAllFd(FMaster->Get(), in));
  ASSERT_TRUE(PumpUntil(FDispatcher, [&] { return received.size() >= in.size(); }));
  EXPECT_EQ(received, in);
  EXPECT_FALSE(offMain);

  const std::string out("xyz\0\x80\n", 6);
  EXPECT_EQ(port.WriteAnsiStr(out), static_cast<int32_t>(out.size()));
  EXPECT_EQ(test::ReadFor(FMaster->Get(), out.size()), out);
}

TEST_F(TComPortTest, ANotificationQueuedBeforeCloseIsDropped) {
  bool heard = false;
  {
    TComPort port(FDispatcher);
    port.SetPort(FDevice);
    port.OnRxChar = [&](TComPort&, int32_t) { heard = true; };
    ASSERT_TRUE(port.Open()) << port.LastError();
    ASSERT_TRUE(test::WriteAllFd(FMaster->Get(), "x"));
    ASSERT_TRUE(test::WaitFor([&] {
      pollfd pfd{FDispatcher.WakeFd(), POLLIN, 0};
      return ::poll(&pfd, 1, 0) > 0;
    }));
  }
  EXPECT_EQ(FDispatcher.ProcessPending(), 1u);
  EXPECT_FALSE(heard);
}

// The far end (the test, on the master) reads nothing while the port writes.
TEST_F(TComPortTest, WritesNeverWaitForTheDeviceAndASlowPeerGetsEveryByteInOrder) {
  TComPort port(FDispatcher);
  port.SetPort(FDevice);
  std::vector<std::pair<uint64_t, int>> drops;
  port.OnWriteDropped = [&](TComPort&, uint64_t ACount, int AError) { drops.emplace_back(ACount, AError); };
  ASSERT_TRUE(port.Open()) << port.LastError();

  // A write that waited for the device (once up to 100 ms per byte) would stall this loop.
  const std::string burst = test::Pattern(200 * 1000, 7);
  const auto start = std::chrono::steady_clock::now();
  for (size_t at = 0; at < burst.size(); at += 1000)
    ASSERT_EQ(port.Write(burst.data() + at, 1000), 1000) << at;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
      << "a write waited for the device";
  EXPECT_GT(port.QueuedBytes(), 150000u);

  EXPECT_TRUE(test::SameBytes(test::ReadSlowly(FMaster->Get(), burst.size()), burst));
  EXPECT_EQ(port.QueuedBytes(), 0u);
  EXPECT_EQ(port.DroppedBytes(), 0u);
  FDispatcher.ProcessPending();
  EXPECT_TRUE(drops.empty());
}

TEST_F(TComPortTest, LostBytesAreToldWithTheirCountAndCause) {
  TComPort port(FDispatcher);
  port.SetPort(FDevice);
  std::vector<std::pair<uint64_t, int>> drops;
  port.OnWriteDropped = [&](TComPort&, uint64_t ACount, int AError) { drops.emplace_back(ACount, AError); };
  ASSERT_TRUE(port.Open()) << port.LastError();

  // A device that takes nothing: beyond the queue's bound the rest is dropped,
  // and the caller learns how much.
  const std::string block(TFdWatcher::OUTPUT_LIMIT, 'q');
  const int32_t size = static_cast<int32_t>(block.size());
  ASSERT_EQ(port.Write(block.data(), size), size);
  const int32_t taken = port.Write(block.data(), size);
  ASSERT_LT(taken, size);
  const uint64_t overflow = static_cast<uint64_t>(size - taken);
  EXPECT_NE(port.LastError().find("write queue full"), std::string::npos) << port.LastError();
  EXPECT_NE(port.LastError().find(std::to_string(overflow) + " bytes dropped"), std::string::npos)
      << port.LastError();
  // Told once, when the device has taken enough for the queue to have room again.
  const size_t accepted = block.size() + static_cast<size_t>(taken);
  EXPECT_EQ(test::ReadFor(FMaster->Get(), accepted).size(), accepted);
  ASSERT_TRUE(PumpUntil(FDispatcher, [&] { return !drops.empty(); }));
  EXPECT_EQ(drops, (std::vector<std::pair<uint64_t, int>>{{overflow, ENOBUFS}}));

  // The device goes away (the far end closes) with bytes queued: they are
  // told lost with the write's errno, and nothing more is written.
  ASSERT_EQ(port.Write(block.data(), 100000), 100000);
  const size_t queued = port.QueuedBytes();
  ASSERT_GT(queued, 0u);
  FMaster.reset();
  ASSERT_TRUE(PumpUntil(FDispatcher, [&] { return drops.size() == 2; }));
  EXPECT_EQ(drops[1], (std::pair<uint64_t, int>{queued, EIO}));
  EXPECT_EQ(port.Write("abc", 3), 0);
  EXPECT_NE(port.LastError().find("(errno " + std::to_string(EIO) + ")"), std::string::npos)
      << port.LastError();
  EXPECT_EQ(port.DroppedBytes(), overflow + queued + 3);
  FDispatcher.ProcessPending();
  EXPECT_EQ(drops.size(), 2u);
  // Opened again, the port writes again (to a new far end).
  port.Close();
  SetUp();
  port.SetPort(FDevice);
  ASSERT_TRUE(port.Open()) << port.LastError();
  EXPECT_EQ(port.Write("back", 4), 4);
  EXPECT_EQ(test::ReadFor(FMaster->Get(), 4), "back");
}

// The far end closes (an adapter pulled out): the port hears of it at once,
// once, off the main thread (where the owner's worker is woken), and stays
// open, refusing writes, until its owner closes it. Closing is no loss, and a
// port opened again on a working device starts clean.
TEST_F(TComPortTest, ADeviceThatHangsUpIsToldLostOnceAndAReopenedPortStartsClean) {
  TComPort port(FDispatcher);
  port.SetPort(FDevice);
  std::mutex lock;
  std::vector<std::string> losses;
  bool lostOnMain = false;
  std::string received;
  port.OnLost = [&](TComPort& ASender, const std::string& AWhy) {
    EXPECT_EQ(&ASender, &port);
    std::lock_guard<std::mutex> guard(lock);
    lostOnMain |= FDispatcher.IsMainThread();
    losses.push_back(AWhy);
  };
  port.OnRxChar = [&](TComPort& ASender, int32_t ACount) {
    std::string buffer(static_cast<size_t>(ACount), '\0');
    buffer.resize(static_cast<size_t>(ASender.Read(buffer.data(), ACount)));
    received += buffer;
  };
  const auto lossCount = [&] {
    std::lock_guard<std::mutex> guard(lock);
    return losses.size();
  };
  ASSERT_TRUE(port.Open()) << port.LastError();
  EXPECT_FALSE(port.Lost());
  EXPECT_EQ(port.LostReason(), "");

  const std::string device = FDevice;
  FMaster.reset();
  ASSERT_TRUE(PumpUntil(FDispatcher, [&] { return port.Lost(); }));
  EXPECT_EQ(port.LostReason(), device + " hung up");
  EXPECT_TRUE(port.Connected());
  EXPECT_LT(port.Write("late", 4), 4);
  FDispatcher.ProcessPending();
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(losses, std::vector<std::string>{device + " hung up"});
    EXPECT_FALSE(lostOnMain);
  }
  port.Close();
  EXPECT_FALSE(port.Lost());
  EXPECT_EQ(port.LostReason(), "");

  // The adapter back (a new device behind the name): both ways work, nothing is lost.
  SetUp();
  port.SetPort(FDevice);
  ASSERT_TRUE(port.Open()) << port.LastError();
  EXPECT_FALSE(port.Lost());
  EXPECT_EQ(port.Write("back", 4), 4);
  EXPECT_EQ(test::ReadFor(FMaster->Get(), 4), "back");
  ASSERT_TRUE(test::WriteAllFd(FMaster->Get(), "in"));
  ASSERT_TRUE(PumpUntil(FDispatcher, [&] { return received == "in"; }));
  port.Close();
  FMaster.reset();  // a hang-up after Close reaches nobody
  FDispatcher.ProcessPending();
  EXPECT_EQ(lossCount(), 1u);
  EXPECT_FALSE(port.Lost());
}

TEST(StripRealPortSuffix, RemovesEveryMarkInAnyCase) {
  const std::pair<std::string, std::string> cases[] = {
      {"COM3(r)", "COM3"},
      {"COM3(R)", "COM3"},
      {"(r)COM3(R)(r)", "COM3"},
      {"ttyUSB0", "ttyUSB0"},
      {"COM3(x)", "COM3(x)"},
      {"COM3(r", "COM3(r"},
      {"((r))", "()"},
      {"", ""},
      {"/dev/ttyS0(r)", "/dev/ttyS0"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(StripRealPortSuffix(in), out) << in;
}

TEST(ListSerialPorts, HardwareNodesThenVirtualPortLinks) {
  test::TTempDir sys, dev, ports;
  namespace fs = std::filesystem;
  const auto tty = [&](const std::string& AName, bool ADevice, const char* AType) {
    fs::create_directories(sys.Path() / AName);
    if (ADevice) fs::create_directories(sys.Path() / AName / "device");
    if (AType) std::ofstream(sys.Path() / AName / "type") << AType << "\n";
    std::ofstream(dev.Path() / AName) << "";
  };
  tty("ttyUSB0", true, nullptr);
  tty("ttyS0", true, "4");
  tty("ttyS1", true, "0");  // an empty UART slot
  tty("tty1", false, nullptr);
  fs::create_directories(sys.Path() / "ttyACM0" / "device");  // no node in /dev
  fs::create_symlink("/dev/pts/7", ports.Path() / "COM5");
  fs::create_symlink("/dev/pts/8", ports.Path() / ".COM5.x7Qa2B");  // a link being re-pointed
  fs::create_symlink("/etc/hostname", ports.Path() / "OTHER");
  fs::create_symlink("/dev/pts/ptmx", ports.Path() / "ptmx");
  std::ofstream(ports.Path() / "FILE") << "";

  const std::vector<std::string> expected = {
      (dev.Path() / "ttyS0").string(), (dev.Path() / "ttyUSB0").string(), (ports.Path() / "COM5").string()};
  EXPECT_EQ(ListSerialPorts(ports.Str(), sys.Str(), dev.Str()), expected);
  EXPECT_EQ(ListSerialPorts(ports.Str() + "/missing", sys.Str() + "/missing", dev.Str()),
            std::vector<std::string>{});
}

}  // namespace
}  // namespace orvane
