#include "ports/lum_virtual_port.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "channels/ip485_frame.h"
#include "channels/lum_tcp_server.h"
#include "portkit/port_kit.h"
#include "ports/lum_virtual_port.h"
#include "support/fake_converter.h"
#include "support/mosquitto_fixture.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::ReadWhilePumping;
using test::TEchoServer;
using test::TPortsHarness;
using test::TPtyClient;
using test::VirtualParams;

std::string Params(const std::string& AName, const std::string& AProtocol, uint16_t APort,
                   uint16_t ATimeout = 0) {
  return "ComName=" + AName + ", IpAddress=127.0.0.1, PortNumber=" + std::to_string(APort) +
         ", LineNumber=1, Protocol=" + AProtocol + ", ReadPacketTimeout=" + std::to_string(ATimeout) +
         ", ReadIntervalTimeout=0";
}

std::string Prefixed(const std::string& AName, uint16_t APort, const std::string& AText) {
  return "(" + AName + ") 127.0.0.1:" + std::to_string(APort) + " " + AText;
}

TEST(TLumVirtualPort, PassThroughBothWaysWithTheLogViewsLines) {
  TEchoServer echo;
  TPortsHarness h;
  TPortManager* port = h.Add(VirtualParams("COM5", PROTOCOL_DIRECT, echo.Port()));
  const uint16_t p = echo.Port();

  EXPECT_EQ(h.CountShown("(COM5) Create COM port - OK, " + Params("COM5", PROTOCOL_DIRECT, p)), 1u);
  // Debug lines reach the file only.
  EXPECT_EQ(h.CountFile("(COM5) SetState - OK, Baudrate=9600, Parity=0, StopBits=0"), 1u);
  EXPECT_EQ(h.CountShownContaining("SetState"), 0u);
  ASSERT_TRUE(h.WaitShown(Prefixed("COM5", p, "Connect - OK")));
  ASSERT_TRUE(h.Pump([&] { return h.StateChanges == 1; }));
  EXPECT_TRUE(port->IsActive());
  EXPECT_EQ(h.StatesSeen, (std::vector<std::vector<bool>>{{true}}));

  TPtyClient app(h.LinkPath("COM5"));
  ASSERT_TRUE(app.Valid());
  ASSERT_TRUE(h.WaitShown("(COM5) Open COM port"));
  EXPECT_TRUE(port->IsOpened());
  ASSERT_TRUE(app.Write("hello"));
  EXPECT_EQ(ReadWhilePumping(h, app, 5), "hello");
  ASSERT_TRUE(h.WaitShown("(COM5) OUT: [5] 68 65 6C 6C 6F"));
  EXPECT_EQ(h.CountShown("(COM5) IN: [5] 68 65 6C 6C 6F"), 1u);
  EXPECT_EQ(h.CountShown(Prefixed("COM5", p, "OUT: [5] 68 65 6C 6C 6F")), 1u);
  EXPECT_EQ(h.CountShown(Prefixed("COM5", p, "IN: [5] 68 65 6C 6C 6F")), 1u);
  EXPECT_EQ(h.CountFile("(COM5) EVENT: RxChar, Received = 5"), 1u);
  EXPECT_EQ(echo.Received(), "hello");

  app.Close();
  ASSERT_TRUE(h.WaitShown("(COM5) Close COM port"));
  EXPECT_FALSE(port->IsOpened());
  EXPECT_EQ(h.StateChanges, 1);
}

// The main thread (a busy window) is not on a port's data path: an
// application's requests reach the converter and the answers come back while
// it serves nothing, and the file has the port's lines in the order of events.
TEST(TLumVirtualPort, BytesCrossBothWaysWhileTheMainThreadServesNothing) {
  TEchoServer echo;
  TPortsHarness h;
  const uint16_t p = echo.Port();
  h.Add(VirtualParams("COM7", PROTOCOL_DIRECT, p));
  ASSERT_TRUE(h.WaitShown(Prefixed("COM7", p, "Connect - OK")));
  // The worker hands its state report to the main thread once per change, and waits for it.
  ASSERT_TRUE(h.Pump([&] { return h.StateChanges == 1; }));
  TPtyClient app(h.LinkPath("COM7"));
  ASSERT_TRUE(app.Valid());
  ASSERT_TRUE(app.SetLine(B19200, false));
  // From here on nothing is pumped.
  for (int i = 0; i < 20; ++i) {
    const std::string request = "ping " + std::to_string(i);
    ASSERT_TRUE(app.Write(request));
    ASSERT_EQ(app.Read(request.size()), request);
  }
  ASSERT_TRUE(test::WaitFor([&] { return h.CountFileContaining("(COM7) OUT: [6] 70 69 6E 67 20 39") == 1; }));
  const std::vector<std::string> lines = h.FileLines();
  const auto first = [&](const std::string& APart) {
    return std::find_if(lines.begin(), lines.end(),
                        [&](const std::string& ALine) { return ALine.find(APart) != std::string::npos; }) -
           lines.begin();
  };
  const auto created = first("(COM7) Create COM port - OK");
  const auto opened = first("(COM7) Open COM port");
  const auto baud = first("(COM7) Baudrate = 19200");
  const auto rx = first("(COM7) EVENT: RxChar, Received = 6");
  const auto in = first("(COM7) IN: [6] 70 69 6E 67 20 30");
  const auto sent = first(Prefixed("COM7", p, "OUT: [6] 70 69 6E 67 20 30"));
  EXPECT_LT(created, opened);
  EXPECT_LT(opened, baud);
  EXPECT_LT(baud, rx);
  EXPECT_LT(rx, in);
  EXPECT_LT(in, sent);
  EXPECT_LT(sent, static_cast<std::ptrdiff_t>(lines.size()));
}

TEST(TLumVirtualPort, BytesLeaveAfterTheSilenceOfReadPacketTimeout) {
  for (const uint16_t timeout : {uint16_t{0}, uint16_t{50}}) {
    SCOPED_TRACE(timeout);
    TEchoServer echo;
    TPortsHarness h;
    h.Add(VirtualParams("COM6", PROTOCOL_DIRECT, echo.Port(), timeout));
    const uint16_t p = echo.Port();
    ASSERT_TRUE(h.WaitShown(Prefixed("COM6", p, "Connect - OK")));
    TPtyClient app(h.LinkPath("COM6"));
    ASSERT_TRUE(h.WaitShown("(COM6) Open COM port"));

    if (timeout == 0) {
      // Each chunk leaves on the next pass: its echo comes back before the next is written.
      for (const std::string chunk : {"aa", "bb", "cc"}) {
        ASSERT_TRUE(app.Write(chunk));
        EXPECT_EQ(ReadWhilePumping(h, app, 2), chunk);
      }
      EXPECT_EQ(h.CountShownContaining(Prefixed("COM6", p, "OUT: [2] ")), 3u);
      continue;
    }
    // Three chunks with the clock held: they arrive within the timeout of each
    // other however slowly the test runs, and leave together once it has passed.
    h.Clock.Hold();
    size_t in = 0;
    for (const std::string chunk : {"aa", "bb", "cc"}) {
      ASSERT_TRUE(app.Write(chunk));
      ASSERT_TRUE(h.Pump([&] { return h.CountShownContaining("(COM6) IN: [2]") > in; }));
      ++in;
    }
    const uint32_t lastChunk = h.Clock.Now();
    h.Clock.Release();
    EXPECT_EQ(ReadWhilePumping(h, app, 6), "aabbcc");
    const std::string out = Prefixed("COM6", p, "OUT: [6] 61 61 62 62 63 63");
    ASSERT_TRUE(h.WaitShown(out));
    EXPECT_EQ(h.CountShownContaining(Prefixed("COM6", p, "OUT: ")), 1u);
    ASSERT_TRUE(h.FileLineTime(out).has_value());
    EXPECT_GE(static_cast<uint32_t>(*h.FileLineTime(out) - lastChunk), 50u);
  }
}

TEST(TLumVirtualPort, ReadingGoesOnDuringThePauseBetweenSendsAndWhatCameLeavesInOneSend) {
  test::TFakeConverter converter(test::TFakeConverter::TMode::PassThrough);
  TPortsHarness h;
  TPortManager* port = h.Add(VirtualParams("COM7", PROTOCOL_DIRECT, converter.Port()));
  const uint16_t p = converter.Port();
  ASSERT_TRUE(h.WaitShown(Prefixed("COM7", p, "Connect - OK")));
  TPtyClient app(h.LinkPath("COM7"));
  ASSERT_TRUE(h.WaitShown("(COM7) Open COM port"));

  // Held, the clock never lets the pause after the first send end, however slowly the test runs.
  h.Clock.Hold();
  ASSERT_TRUE(app.Write("a"));
  ASSERT_TRUE(h.Pump([&] { return converter.Received() == "a"; }));
  for (const std::string chunk : {"b", "c"}) {
    ASSERT_TRUE(app.Write(chunk));
    ASSERT_TRUE(h.WaitShown("(COM7) IN: [1] " + BytesToHex(chunk)));
  }
  // The worker is not stuck in the pause: it reads what the converter sends meanwhile.
  ASSERT_TRUE(converter.Send("xyz"));
  EXPECT_EQ(ReadWhilePumping(h, app, 3), "xyz");
  // Passes after the bytes came, and still nothing sent.
  const uint64_t passes = port->PassCount();
  ASSERT_TRUE(h.Pump([&] { return port->PassCount() >= passes + 2; }));
  EXPECT_EQ(converter.Received(), "a");
  EXPECT_EQ(h.CountShownContaining(Prefixed("COM7", p, "OUT: ")), 1u);

  // The pause over, both chunks leave in one send.
  h.Jump(TLumTcpServer::SEND_GAP_MS + 1);
  ASSERT_TRUE(h.WaitShown(Prefixed("COM7", p, "OUT: [2] 62 63")));
  ASSERT_TRUE(converter.WaitForBytes(3));
  EXPECT_EQ(converter.Received(), "abc");
  EXPECT_EQ(h.CountShownContaining(Prefixed("COM7", p, "OUT: ")), 2u);
}

TEST(TLumVirtualPort, ABulkEchoArrivesWholeAndInOrder) {
  TEchoServer echo;
  TPortsHarness h;
  h.Add(VirtualParams("COM8", PROTOCOL_DIRECT, echo.Port()));
  ASSERT_TRUE(h.WaitShown(Prefixed("COM8", echo.Port(), "Connect - OK")));
  TPtyClient app(h.LinkPath("COM8"));
  ASSERT_TRUE(h.WaitShown("(COM8) Open COM port"));

  // A streaming application: it writes and reads at once, at most IN_FLIGHT bytes ahead.
  constexpr size_t TOTAL = size_t{1} << 20;
  constexpr size_t IN_FLIGHT = 16384;
  std::string data(TOTAL, '\0');
  // The pattern repeats every 256 * 251 bytes, so a chunk lost, doubled or swapped shows.
  for (size_t i = 0; i < TOTAL; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  size_t sent = 0;
  std::string back;
  const bool done = h.Pump(
      [&] {
        const size_t room = IN_FLIGHT - std::min(IN_FLIGHT, sent - std::min(sent, back.size()));
        if (sent < TOTAL && room > 0) {
          const ssize_t n = ::write(app.Fd(), data.data() + sent, std::min(room, TOTAL - sent));
          if (n > 0) sent += static_cast<size_t>(n);
        }
        char buffer[8192];
        for (ssize_t n; (n = ::read(app.Fd(), buffer, sizeof buffer)) > 0;)
          back.append(buffer, static_cast<size_t>(n));
        return back.size() >= TOTAL;
      },
      std::chrono::seconds(120));
  ASSERT_TRUE(done) << back.size() << " of " << TOTAL << " bytes came back";
  EXPECT_EQ(back.size(), TOTAL);
  const size_t firstWrong =
      static_cast<size_t>(std::mismatch(data.begin(), data.end(), back.begin()).first - data.begin());
  EXPECT_EQ(firstWrong, TOTAL) << "the first byte that differs";
  EXPECT_TRUE(echo.Received() == data);
  EXPECT_EQ(h.CountShownContaining("dropped"), 0u);
}

TEST(TLumVirtualPort, Ip485FramesCarryTheSpeedAndStopBitsTheApplicationSets) {
  test::TFakeConverter converter(test::TFakeConverter::TMode::Frames);
  TPortsHarness h;
  h.Add(VirtualParams("COM7", PROTOCOL_IP485, converter.Port()));
  const uint16_t p = converter.Port();
  ASSERT_TRUE(h.WaitShown(Prefixed("COM7", p, "Connect - OK")));
  TPtyClient app(h.LinkPath("COM7"));
  ASSERT_TRUE(h.WaitShown("(COM7) Open COM port"));

  // A new port tells the channel 9600 baud, no parity, 8 data bits, one stop bit.
  ASSERT_TRUE(app.Write("A"));
  ASSERT_TRUE(h.Pump([&] { return converter.Frames().size() == 1; }));
  EXPECT_EQ(BytesToHex(converter.Frames()[0].substr(4, 4)), "00 06 00 06");

  ASSERT_TRUE(app.SetLine(B19200, true));
  ASSERT_TRUE(h.WaitShown("(COM7) Baudrate = 19200"));
  ASSERT_TRUE(h.WaitFile("(COM7) EVENT: StopBits = 2, Parity = 0, WordLength = 8"));
  ASSERT_TRUE(app.Write("B"));
  ASSERT_TRUE(h.Pump([&] { return converter.Frames().size() == 2; }));
  uint16_t word = Ip485ApplySpeed(0x0006, 19200);
  EncodeLineParams(word, tpp_None, 8, tps_Two, true);
  const std::string expected{static_cast<char>(word >> 8), static_cast<char>(word & 0xFF)};
  EXPECT_EQ(BytesToHex(converter.Frames()[1].substr(4, 4)), BytesToHex(expected + expected));
  EXPECT_EQ(converter.Frames()[1].substr(converter.Frames()[1].size() - 1), "B");

  // A frame from the converter reaches the application.
  ASSERT_TRUE(converter.Send(test::TFakeConverter::DataFrame(0, "xyz")));
  EXPECT_EQ(ReadWhilePumping(h, app, 3), "xyz");
  ASSERT_TRUE(h.WaitShown("(COM7) OUT: [3] 78 79 7A"));
}

// A frame the converter does not acknowledge: the connection is given up, a new one opened
// at once and the same bytes sent once more; they are shown once, and the device's answer
// to them reaches the application once.
TEST(TLumVirtualPort, AnUnacknowledgedFrameIsSentOnceMoreOnAFreshConnection) {
  test::TFakeConverter converter(test::TFakeConverter::TMode::Frames);
  converter.WithholdAckOf(0);
  TPortsHarness h;
  h.Clock.Hold();
  h.Add(VirtualParams("COM8", PROTOCOL_IP485, converter.Port()));
  const uint16_t p = converter.Port();
  const std::string connected = Prefixed("COM8", p, "Connect - OK");
  const std::string missed = Prefixed("COM8", p, "ERROR=No qwitance");
  ASSERT_TRUE(h.WaitShown(connected));
  TPtyClient app(h.LinkPath("COM8"));
  ASSERT_TRUE(h.WaitShown("(COM8) Open COM port"));

  ASSERT_TRUE(app.Write("A"));
  ASSERT_TRUE(h.Pump([&] { return converter.Frames().size() == 1; }));
  converter.SetEcho(true);  // the device answers what reaches it from now on
  // The wait may begin a little after the frame arrived: move on until it gives up.
  ASSERT_TRUE(h.Pump([&] {
    if (h.CountFile(missed) == 0) h.Jump(7000);
    return h.CountShown(missed) == 1;
  }));
  EXPECT_EQ(ReadWhilePumping(h, app, 1), "A");
  ASSERT_TRUE(h.WaitShown(Prefixed("COM8", p, "OUT: [1] 41")));
  EXPECT_EQ(converter.Connections(), 2u);
  ASSERT_EQ(converter.Frames().size(), 2u);
  EXPECT_EQ(converter.Frames()[1].substr(24), "A");
  EXPECT_EQ(h.CountShown(connected), 2u);
  EXPECT_EQ(h.CountShown(Prefixed("COM8", p, "Disconnected")), 1u);
  EXPECT_EQ(h.CountShownContaining("dropped"), 0u);
  EXPECT_EQ(app.Read(1, 50), "");  // nothing twice
}

TEST(TLumVirtualPort, ANextRunAttachesToTheLinkTheLastOneLeft) {
  TPortsHarness first;
  const uint16_t unused = test::UnusedLoopbackPort();
  first.Add(VirtualParams("COM8", PROTOCOL_DIRECT, unused));
  const std::string params = Params("COM8", PROTOCOL_DIRECT, unused);
  ASSERT_EQ(first.CountShown("(COM8) Create COM port - OK, " + params), 1u);
  first.DestroyList();
  struct stat info {};
  ASSERT_EQ(::lstat(first.LinkPath("COM8").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));

  TPortsHarness second;
  second.Env.PortDir = first.PortDir.Str();
  TPortManager* port = second.Add(VirtualParams("COM8", PROTOCOL_DIRECT, unused));
  ASSERT_EQ(port->GetVirtPort()->LinkPath(), first.LinkPath("COM8"));
  EXPECT_EQ(second.ShownLines(), (std::vector<std::string>{"(COM8) Error on create COM port, " + params,
                                                           "(COM8) Attach to COM port - OK, " + params}));
  // The channel gets the attached port's own settings.
  EXPECT_EQ(second.CountFile("(COM8) SetState - OK, Baudrate=9600, Parity=0, StopBits=0"), 1u);
  TPtyClient app(first.LinkPath("COM8"));
  ASSERT_TRUE(app.Valid());
  ASSERT_TRUE(second.Pump([&] { return port->IsOpened(); }));
}

TEST(TLumVirtualPort, CreationIsRetriedEveryTenSecondsFortyTimes) {
  TPortsHarness h;
  // Something that is no port of ours holds the name: create and attach both fail.
  std::ofstream(h.LinkPath("COM9")) << "not a port";
  // Held still, so the steps of the clock are exact (the channel is never opened).
  h.Clock.Hold();
  TPortManager* port = h.Add(VirtualParams("COM9", PROTOCOL_DIRECT, test::UnusedLoopbackPort()));
  const std::string prefix = "(COM9) Error on create COM port, ";
  const auto attempts = [&] { return h.CountShownContaining(prefix); };
  const auto attachFailures = [&] { return h.CountShownContaining("(COM9) Error on attach COM port, "); };
  EXPECT_EQ(attempts(), 1u);
  EXPECT_EQ(attachFailures(), 1u);
  // The worker's first pass retries at once.
  ASSERT_TRUE(h.Pump([&] { return attachFailures() == 2; }));
  EXPECT_EQ(attempts(), 2u);

  // Not before 10 s have passed.
  uint64_t passes = port->PassCount();
  h.Jump(9999);
  ASSERT_TRUE(h.Pump([&] { return port->PassCount() > passes; }));
  EXPECT_EQ(attempts(), 2u);
  h.Jump(1);
  ASSERT_TRUE(h.Pump([&] { return attempts() == 3; }));
  for (size_t attempt = 4; attempt <= 41; ++attempt) {
    h.Jump(10000);
    ASSERT_TRUE(h.Pump([&] { return attempts() == attempt; })) << attempt;
  }
  // The 40th retry was the last.
  passes = port->PassCount();
  h.Jump(10000);
  ASSERT_TRUE(h.Pump([&] { return port->PassCount() > passes; }));
  EXPECT_EQ(attempts(), 41u);
  // The reason, the same every time, was said once.
  EXPECT_EQ(h.CountShownContaining("(COM9) COM port cannot be created: "), 1u);
  h.Clock.Release();
  EXPECT_FALSE(port->IsActive());
  EXPECT_EQ(h.StateChanges, 0);
  EXPECT_EQ(h.CountShownContaining("Connecting"), 0u);  // the channel is never opened
}

// Each cause gives its own reason, said once however often the worker retries;
// a new cause is said again.
TEST(TLumVirtualPort, APortThatCannotBeCreatedSaysWhyOncePerReason) {
  struct TCase {
    const char* What;
    std::string Name;
    std::function<void(TPortsHarness&, const std::string& ALink)> Prepare;
    std::function<std::string(const std::string& ALink)> Reason;
  };
  const std::vector<TCase> cases = {
      {"a name with a slash", "COM/1", [](TPortsHarness&, const std::string&) {},
       [](const std::string&) { return "port name with '/': COM/1"; }},
      {"a name with a line break", "COM\r\n1", [](TPortsHarness&, const std::string&) {},
       [](const std::string&) {
         return "port name with a line break or another control character: COM\\r\\n1";
       }},
      {"a name too long", "COM" + std::string(300, '1'), [](TPortsHarness&, const std::string&) {},
       [](const std::string& ALink) {
         return "symlink " + ALink + ": File name too long; attach: " + ALink + " does not exist";
       }},
      {"a missing port directory", "COM12",
       [](TPortsHarness& AHarness, const std::string&) { AHarness.Env.PortDir += "/missing"; },
       [](const std::string& ALink) {
         return "symlink " + ALink + ": No such file or directory; attach: " + ALink + " does not exist";
       }},
      {"a name taken by a file", "COM13",
       [](TPortsHarness&, const std::string& ALink) { std::ofstream(ALink) << "not a port"; },
       [](const std::string& ALink) {
         return ALink + " exists; attach: " + ALink + " is not a virtual port link";
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    TPortsHarness h;
    h.Clock.Hold();
    c.Prepare(h, h.Env.PortDir + "/" + c.Name);
    const std::string link = h.Env.PortDir + "/" + c.Name;
    TPortManager* port = h.Add(VirtualParams(c.Name, PROTOCOL_DIRECT, test::UnusedLoopbackPort()));
    // The first attempt and the worker's first retry.
    ASSERT_TRUE(h.Pump([&] { return h.CountShownContaining("Error on attach COM port, ") == 2; }));
    // One more pass: the second attempt has ended.
    const uint64_t passes = port->PassCount();
    h.Jump(1);
    ASSERT_TRUE(h.Pump([&] { return port->PassCount() > passes; }));
    const std::vector<std::string> lines = h.ShownLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2].substr(lines[2].find(") ") + 2), "COM port cannot be created: " + c.Reason(link));
    EXPECT_EQ(h.CountShownContaining("COM port cannot be created: "), 1u);
  }

  // Another cause makes another reason: the port directory turns into a file.
  TPortsHarness h;
  h.Clock.Hold();
  const std::string dir = h.Env.PortDir + "/ports";
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  h.Env.PortDir = dir;
  std::ofstream(dir + "/COM14") << "not a port";
  h.Add(VirtualParams("COM14", PROTOCOL_DIRECT, test::UnusedLoopbackPort()));
  ASSERT_TRUE(h.Pump([&] { return h.CountShownContaining("Error on attach COM port, ") == 2; }));
  EXPECT_EQ(h.CountShownContaining("COM port cannot be created: "), 1u);
  ASSERT_EQ(::unlink((dir + "/COM14").c_str()), 0);
  ASSERT_EQ(::rmdir(dir.c_str()), 0);
  std::ofstream(dir) << "not a directory";
  h.Jump(TPortBridge::RECREATE_INTERVAL_MS);
  ASSERT_TRUE(h.WaitShown("(COM14) COM port cannot be created: symlink " + dir +
                          "/COM14: Not a directory; attach: " + dir + "/COM14 does not exist"));
  EXPECT_EQ(h.CountShownContaining("COM port cannot be created: "), 2u);
}

TEST(TLumVirtualPort, ReconnectsOnAGrowingScheduleAndNothingStaleReachesThePeer) {
  TEchoServer echo;
  const uint16_t p = echo.Port();
  echo.Stop();
  TPortsHarness h;
  // Held still, so the steps of the schedule are exact.
  h.Clock.Hold();
  TPortManager* port = h.Add(VirtualParams("COM10", PROTOCOL_DIRECT, p));
  const std::string refused = Prefixed("COM10", p, "ERROR=Error Connect 127.0.0.1 wsaERROR=111");
  const std::string connected = Prefixed("COM10", p, "Connect - OK");
  const auto attempts = [&] { return h.CountShown(refused); };
  ASSERT_TRUE(h.WaitShown(refused));
  TPtyClient app(h.LinkPath("COM10"));
  ASSERT_TRUE(h.WaitShown("(COM10) Open COM port"));

  // After a failed attempt: 1, 2, 4, 8, 16, 32 s, then every 60 s.
  size_t count = 1;
  for (const uint32_t spacing : {1000u, 2000u, 4000u, 8000u, 16000u, 32000u, 60000u, 60000u}) {
    SCOPED_TRACE(spacing);
    const uint64_t passes = port->PassCount();
    h.Jump(spacing - 1);
    ASSERT_TRUE(h.Pump([&] { return port->PassCount() > passes; }));
    EXPECT_EQ(attempts(), count);
    h.Jump(1);
    ASSERT_TRUE(h.Pump([&] { return attempts() == count + 1; }));
    ++count;
  }

  // Requests written while nobody is there to hear them are dropped, not sent on the return.
  ASSERT_TRUE(app.Write("stale1"));
  ASSERT_TRUE(h.WaitShown("(COM10) IN: [6] 73 74 61 6C 65 31"));
  ASSERT_TRUE(app.Write("stale2"));
  ASSERT_TRUE(h.WaitShown("(COM10) IN: [6] 73 74 61 6C 65 32"));
  // Two passes begun after the bytes came: the first has dealt with them.
  for (int pass = 0; pass < 2; ++pass) {
    const uint64_t passes = port->PassCount();
    port->Wake();
    ASSERT_TRUE(h.Pump([&] { return port->PassCount() > passes; }));
  }
  echo.Start();
  h.Jump(60000);
  ASSERT_TRUE(h.WaitShown(connected));
  ASSERT_TRUE(app.Write("fresh"));
  EXPECT_EQ(ReadWhilePumping(h, app, 5), "fresh");
  EXPECT_EQ(echo.Received(), "fresh");
  ASSERT_TRUE(h.WaitShown(Prefixed("COM10", p, "OUT: dropped [12] bytes, not connected")));

  // A connection that worked and dropped is reopened at once. (A second since the last
  // attempt first: a peer that accepts and drops at once is not tried more often than that.)
  h.Jump(TPortBridge::QUICK_REOPEN_GAP_MS);
  echo.DropClient();
  ASSERT_TRUE(h.WaitShown(connected, 2));
  ASSERT_TRUE(app.Write("XYZ"));
  EXPECT_EQ(ReadWhilePumping(h, app, 3), "XYZ");

  // The converter away for 2 s: the reopen at once fails, and the schedule, started
  // afresh by the connection that worked, finds it back 1 s after its return.
  h.Jump(TPortBridge::QUICK_REOPEN_GAP_MS);
  echo.Stop();
  ASSERT_TRUE(h.WaitShown(refused, count + 1));
  h.Jump(1000);
  ASSERT_TRUE(h.WaitShown(refused, count + 2));
  h.Jump(1000);
  echo.Start();
  const uint32_t back = h.Clock.Now();
  h.Jump(1000);
  ASSERT_TRUE(h.WaitShown(connected, 3));
  EXPECT_LE(h.Clock.Now() - back, 3000u);
  ASSERT_TRUE(app.Write("after"));
  EXPECT_EQ(ReadWhilePumping(h, app, 5), "after");
  EXPECT_EQ(echo.Received(), "freshXYZafter");
  EXPECT_EQ(app.Read(1, 50), "");  // nothing twice
}

// The hold-back for the application's silence ends once 64 KiB are held or the oldest byte
// has waited 1 s, for an application that never falls silent long enough.
TEST(TLumVirtualPort, TheHoldBackEndsAtItsSizeOrAgeBound) {
  TEchoServer echo;
  const uint16_t p = echo.Port();
  TPortsHarness h;
  TPortManager* port = h.Add(VirtualParams("COM11", PROTOCOL_DIRECT, p, 100));
  ASSERT_TRUE(h.Pump([&] { return port->IsActive(); }));
  TPtyClient app(h.LinkPath("COM11"));
  ASSERT_TRUE(h.WaitShown("(COM11) Open COM port"));
  // Held: the 100 ms of silence never pass by themselves.
  h.Clock.Hold();
  const std::string out = Prefixed("COM11", p, "OUT: [");
  const std::string chunk(64, 'c');
  for (int step = 1; step <= 20; ++step) {
    SCOPED_TRACE(step);
    ASSERT_TRUE(app.Write(chunk));
    ASSERT_TRUE(h.Pump([&] { return h.CountShownContaining("(COM11) IN: [") == size_t(step); }));
    EXPECT_EQ(h.CountShownContaining(out), 0u);
    // Writes 50 ms apart: the silence the hold-back waits for never comes.
    h.Jump(50);
  }
  ASSERT_TRUE(h.WaitShown(Prefixed("COM11", p, "OUT: [1280] " + BytesToHex(std::string(1280, 'c')))));

  // 64 KiB at once leave without waiting for the silence (the clock moves only past the
  // channel's pause after its last send).
  h.Jump(TLumTcpServer::SEND_GAP_MS + 1);
  std::string block(TPortBridge::HOLD_BACK_MAX_BYTES, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = char('a' + i % 26);
  const std::string want = std::string(1280, 'c') + block;
  size_t sent = 0;
  std::string back;
  // Written while the main thread reads the port, as the pty holds less than the block.
  ASSERT_TRUE(h.Pump([&] {
    const ssize_t n = ::write(app.Fd(), block.data() + sent, block.size() - sent);
    if (n > 0) sent += static_cast<size_t>(n);
    char buffer[8192];
    for (ssize_t got; (got = ::read(app.Fd(), buffer, sizeof buffer)) > 0;)
      back.append(buffer, static_cast<size_t>(got));
    return back.size() >= want.size();
  })) << sent
      << " written, " << back.size() << " back, " << echo.Received().size() << " at the converter";
  EXPECT_TRUE(back == want);
}

TEST(TLumVirtualPort, AnIdleWorkerSleepsUntilItsNextDeadline) {
  TPortsHarness h;
  TPortManager* port = h.Add(VirtualParams("COM12", PROTOCOL_DIRECT, test::UnusedLoopbackPort()));
  ASSERT_TRUE(h.Pump([&] { return h.CountShownContaining("ERROR=Error Connect") == 1; }));
  // Nothing to do for 60 s: a window of real time sees at most the pass that was under way.
  const uint64_t passes = port->PassCount();
  h.Pump([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_LE(port->PassCount(), passes + 1);
  // Bytes from the application wake it at once.
  const uint64_t before = port->PassCount();
  TPtyClient app(h.LinkPath("COM12"));
  ASSERT_TRUE(app.Write("x"));
  ASSERT_TRUE(h.Pump([&] { return port->PassCount() > before; }));
}

TEST(TLumVirtualPort, IdleConnectedPortsSleepOnTheirChannels) {
  test::TFakeConverter converter(test::TFakeConverter::TMode::PassThrough);
  test::TMosquitto broker;
  TPortsHarness h;
  TPortManager* tcp = h.Add(VirtualParams("COM14", PROTOCOL_DIRECT, converter.Port()));
  TPortManager* mqtt = h.Add(test::MqttParams("COM15", broker.Port(), "orvane/idle"));
  ASSERT_TRUE(h.Pump([&] { return tcp->IsActive() && mqtt->IsActive(); })) << broker.Log();
  ASSERT_TRUE(converter.WaitForConnections(1));
  ASSERT_TRUE(h.WaitFile("(COM15) 127.0.0.1:4001 Sending hello"));
  TPtyClient app(h.LinkPath("COM14"));
  ASSERT_TRUE(h.WaitShown("(COM14) Open COM port"));
  const uint64_t tcpBefore = tcp->PassCount();
  const uint64_t mqttBefore = mqtt->PassCount();
  // A second of real time with nothing to do: a worker that polls its channel
  // makes about a hundred passes, one that waits on it only the few that the
  // answer to the first ping causes.
  h.Pump([] { return false; }, std::chrono::seconds(1));
  EXPECT_LE(tcp->PassCount() - tcpBefore, 5u);
  EXPECT_LE(mqtt->PassCount() - mqttBefore, 5u);
  // Bytes the converter sends on its own wake the sleeping worker.
  ASSERT_TRUE(converter.Send("far"));
  EXPECT_EQ(ReadWhilePumping(h, app, 3), "far");
}

TEST(TLumVirtualPort, BytesForAPortNoApplicationHoldsAreCountedInOneLine) {
  test::TFakeConverter converter(test::TFakeConverter::TMode::PassThrough);
  const uint16_t p = converter.Port();
  TPortsHarness h;
  TPortManager* port = h.Add(VirtualParams("COM13", PROTOCOL_DIRECT, p));
  ASSERT_TRUE(h.Pump([&] { return port->IsActive(); }));
  ASSERT_TRUE(converter.WaitForConnections(1));
  for (const std::string chunk : {"one", "two"}) {
    ASSERT_TRUE(converter.Send(chunk));
    ASSERT_TRUE(h.WaitShown(Prefixed("COM13", p, "IN: [3] " + BytesToHex(chunk))));
  }
  // The pass that wrote them into the port has ended before an application
  // comes: a pass started after it has run.
  const uint64_t pass = port->PassCount();
  port->Wake();
  ASSERT_TRUE(h.Pump([&] { return port->PassCount() > pass; }));
  EXPECT_EQ(h.CountShownContaining("(COM13) OUT: "), 0u);
  EXPECT_EQ(h.CountShownContaining("dropped"), 0u);  // told when the episode ends

  TPtyClient app(h.LinkPath("COM13"));
  ASSERT_TRUE(h.WaitShown("(COM13) Open COM port"));
  ASSERT_TRUE(converter.Send("three"));
  EXPECT_EQ(ReadWhilePumping(h, app, 5), "three");
  ASSERT_TRUE(h.WaitShown("(COM13) OUT: dropped [6] bytes, no application holds the port"));
  EXPECT_EQ(h.CountShown("(COM13) OUT: [5] 74 68 72 65 65"), 1u);
  EXPECT_EQ(h.CountShownContaining("dropped"), 1u);
}

TEST(TLumVirtualPort, BytesAnApplicationDoesNotReadInTimeAreCountedInOneLine) {
  test::TFakeConverter converter(test::TFakeConverter::TMode::PassThrough);
  const uint16_t p = converter.Port();
  TPortsHarness h;
  TPortManager* port = h.Add(VirtualParams("COM16", PROTOCOL_DIRECT, p));
  ASSERT_TRUE(h.Pump([&] { return port->IsActive(); }));
  ASSERT_TRUE(converter.WaitForConnections(1));
  TPtyClient app(h.LinkPath("COM16"));
  ASSERT_TRUE(h.WaitShown("(COM16) Open COM port"));

  // More than the port's queue and the pty can hold, while the application reads nothing.
  std::string flood(1280 * 1024, '\0');
  for (size_t i = 0; i < flood.size(); ++i) flood[i] = static_cast<char>(i * 7 % 251);
  ASSERT_TRUE(converter.Send(flood));
  TVSPortAx& vport = *port->GetVirtPort();
  // Every chunk's lines are handed to this thread one by one, so this takes a while.
  ASSERT_TRUE(h.Pump([&] { return vport.DroppedBytes() > 0; }, std::chrono::seconds(120)));
  // Losses that go on for a minute are told while they last, not only when they end.
  const std::string minuteLine = "(COM16) OUT: dropped [";
  const size_t linesBefore = h.CountShownContaining(minuteLine);
  const std::string more(4096, 'm');
  size_t sentMore = 0;
  // On a loaded machine the bridge may meet the first refused write only after the
  // clock moved; each further minute of losses must bring the line then.
  ASSERT_TRUE(test::WaitFor(
      [&] {
        h.Jump(TPortBridge::DROP_REPORT_MS);
        if (!converter.Send(more)) return false;
        ++sentMore;
        return h.Pump([&] { return h.CountShownContaining(minuteLine) > linesBefore; },
                      std::chrono::seconds(5));
      },
      std::chrono::seconds(120)));
  const size_t linesDuring = h.CountShownContaining(minuteLine);
  // More lost after that line: the port's own line at the end tells only these.
  const uint64_t droppedBefore = vport.DroppedBytes();
  ASSERT_TRUE(converter.Send(more));
  ASSERT_TRUE(h.Pump([&] { return vport.DroppedBytes() > droppedBefore; }, std::chrono::seconds(120)));
  const size_t total = flood.size() + (sentMore + 1) * more.size();
  // Then it reads everything: the episode ends once the queue has drained.
  std::string got;
  ASSERT_TRUE(h.Pump(
      [&] {
        got += app.Read(65536, 1);
        return got.size() + vport.DroppedBytes() == total && h.CountShownContaining(minuteLine) > linesDuring;
      },
      std::chrono::seconds(120)))
      << got.size() << " read, " << vport.DroppedBytes() << " dropped";

  // What came through is a prefix of each run of accepted bytes, in order;
  // the lines count what the port took and what it dropped, nothing twice.
  const std::string reason =
      ", the application does not read the port: " + std::string(std::strerror(ENOBUFS));
  const auto shownOut = [&] {
    size_t count = 0;
    for (const std::string& line : h.ShownLines())
      if (line.rfind("(COM16) OUT: [", 0) == 0) count += std::stoul(line.substr(14));
    return count;
  };
  // The application may read the last bytes before the worker has logged their line.
  h.Pump([&] { return shownOut() >= got.size(); });
  const size_t out = shownOut();
  uint64_t dropped = 0;
  size_t dropLines = 0;
  for (const std::string& line : h.ShownLines()) {
    if (line.rfind("(COM16) OUT: dropped [", 0) == 0) {
      ++dropLines;
      dropped += std::stoull(line.substr(22));
      EXPECT_NE(line.find("] bytes" + reason), std::string::npos) << line;
    }
  }
  EXPECT_EQ(out, got.size());
  EXPECT_EQ(dropped, vport.DroppedBytes());
  EXPECT_LE(dropLines, 3u);  // once per episode, not per chunk
  EXPECT_EQ(got.compare(0, 4096, flood, 0, 4096), 0);
}

}  // namespace
}  // namespace orvane
