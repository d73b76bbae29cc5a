#include "log/port_log_lines.h"

#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "channels/lum_mqtt_server.h"
#include "portkit/port_kit.h"
#include "ports/lum_virtual_port.h"
#include "support/fd_helpers.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

using test::TPortsHarness;

TEST(TPortLogLines, FileGetsEveryLineTheViewOnlyShownOnes) {
  TPortsHarness h;
  // An MQTT port whose broker is not there: its channel lines carry the
  // converter address of the record all the same.
  TPortManager* port = h.Add(test::MqttParams("COM40", test::UnusedLoopbackPort(), "t"));
  TPortLogLines& lines = h.LinesOf(port);
  ASSERT_TRUE(h.WaitShown("(COM40) 127.0.0.1:4001 Connecting to mqtt..."));

  lines.AddLogLine("plain", false);
  lines.AddLogLine("detail", true);
  lines.AddChannelLine("from the channel", false);
  EXPECT_EQ(h.CountFile("(COM40) plain"), 1u);
  EXPECT_EQ(h.CountShown("(COM40) plain"), 1u);
  EXPECT_EQ(h.CountFile("(COM40) detail"), 1u);
  EXPECT_EQ(h.CountShown("(COM40) detail"), 0u);
  EXPECT_EQ(h.CountShown("(COM40) 127.0.0.1:4001 from the channel"), 1u);

  // "Остановить": into the file, not into the view; afterwards only new lines show.
  lines.SetStopLog(true);
  lines.AddLogLine("paused", false);
  lines.SetStopLog(false);
  lines.AddLogLine("resumed", false);
  EXPECT_EQ(h.CountFile("(COM40) paused"), 1u);
  EXPECT_EQ(h.CountShown("(COM40) paused"), 0u);
  EXPECT_EQ(h.CountShown("(COM40) resumed"), 1u);

  // While the application ends, lines are dropped entirely.
  h.Ending = true;
  lines.AddLogLine("too late", false);
  EXPECT_EQ(h.CountFile("(COM40) too late"), 0u);
  h.Ending = false;

  EXPECT_EQ(TPortLogLines::ShownLine("12:34:56", "(COM40) plain"), "[12:34:56] (COM40) plain");
  EXPECT_TRUE(std::regex_match(TPortLogLines::ShownLine("(COM40) x"),
                               std::regex(R"(\[\d\d:\d\d:\d\d\] \(COM40\) x)")));
}

// An output that batches lines itself (standard output) is given each line by
// the thread that logs it, in order, with nobody serving the main thread.
TEST(TPortLogLines, AnOutputOfAnyThreadGetsLinesFromTheThreadThatLogsThem) {
  TMainDispatcher dispatcher;
  std::mutex lock;
  std::vector<std::string> file;
  std::vector<std::string> shown;
  std::vector<std::thread::id> showers;
  TLogLinesOutput output;
  output.WriteFile = [&](const std::string& ALine) {
    const std::lock_guard<std::mutex> guard(lock);
    file.push_back(ALine);
  };
  output.ShowLine = [&](const std::string& ALine) {
    const std::lock_guard<std::mutex> guard(lock);
    showers.push_back(std::this_thread::get_id());
    shown.push_back(ALine);
  };
  output.ShowOnAnyThread = true;
  TPortLogLines lines(dispatcher, "COM41", "127.0.0.1:1 ", output);
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i) {
      lines.AddLogLine("line " + std::to_string(i), false);
      lines.AddChannelLine("detail", true);
    }
  });
  const std::thread::id writer = worker.get_id();
  worker.join();
  std::vector<std::string> expected;
  for (int i = 0; i < 100; ++i) expected.push_back("(COM41) line " + std::to_string(i));
  const std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(showers, std::vector<std::thread::id>(expected.size(), writer));
  EXPECT_EQ(file.size(), 200u);
}

// The position of each shown line of one writer, in the order the view got them.
std::vector<int> ShownOrderOf(const std::vector<std::string>& AShown, const std::string& APrefix) {
  std::vector<int> order;
  for (const std::string& line : AShown)
    if (line.rfind(APrefix, 0) == 0) order.push_back(std::stoi(line.substr(APrefix.size())));
  return order;
}

// A port whose converter is not there, virtual or physical (its device is not
// there either): the lines are queued the same way for both.
class TQueuedLines : public ::testing::TestWithParam<bool> {
 protected:
  TPortLogLines& AddPort(const std::string& AComName) {
    TLumPortParams p = test::VirtualParams(AComName, PROTOCOL_DIRECT, test::UnusedLoopbackPort());
    if (GetParam()) {
      p.ComName = Devices.Str() + "/" + AComName + "(r)";
      p.isRealPort = true;
      Name = "(" + p.ComName + ") ";
    } else {
      Name = "(" + AComName + ") ";
    }
    return h.LinesOf(h.Add(p));
  }

  test::TTempDir Devices;
  TPortsHarness h;
  std::string Name;  // "(ComName) ", as shown lines begin
};

INSTANTIATE_TEST_SUITE_P(Ports, TQueuedLines, ::testing::Values(false, true),
                         [](const auto& AInfo) { return AInfo.param ? "Physical" : "Virtual"; });

TEST_P(TQueuedLines, LinesOfSeveralThreadsAreEachShownOnceInTheOrderOfTheirWriter) {
  TPortLogLines& lines = AddPort("COM42");
  constexpr int THREADS = 4;
  // More than the queue holds, so writers also meet the bound.
  constexpr int LINES_EACH = static_cast<int>(TPortLogLines::MAX_PENDING_LINES);
  std::atomic<int> done{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < THREADS; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < LINES_EACH; ++i)
        lines.AddLogLine("t" + std::to_string(t) + " #" + std::to_string(i), false);
      ++done;
    });
  }
  // A line of the main thread in the middle of them is shown at once, behind the queued ones.
  lines.AddLogLine("main", false);
  EXPECT_EQ(h.CountShown(Name + "main"), 1u);
  // Only the writers' lines count: the port's own lines are shown as well.
  ASSERT_TRUE(h.Pump(
      [&] { return done == THREADS && h.CountShownContaining(Name + "t") >= size_t(THREADS * LINES_EACH); }));
  for (auto& writer : writers) writer.join();
  std::vector<int> expected(LINES_EACH);
  for (int i = 0; i < LINES_EACH; ++i) expected[size_t(i)] = i;
  const std::vector<std::string> shown = h.ShownLines();
  for (int t = 0; t < THREADS; ++t)
    EXPECT_EQ(ShownOrderOf(shown, Name + "t" + std::to_string(t) + " #"), expected) << "writer " << t;
}

TEST_P(TQueuedLines, AWriterWaitsForTheViewOnceTheQueueIsFull) {
  TPortLogLines& lines = AddPort("COM43");
  constexpr int LIMIT = static_cast<int>(TPortLogLines::MAX_PENDING_LINES);
  // The port's own start lines may share the queue with the writer's.
  constexpr int SLACK = 16;
  std::atomic<int> returned{0};
  std::thread writer([&] {
    for (int i = 0; i < 2 * LIMIT; ++i) {
      lines.AddLogLine("#" + std::to_string(i), false);
      ++returned;
    }
  });
  // The main thread does not serve the queue: the writer gets no further than it holds.
  ASSERT_TRUE(test::WaitFor([&] { return returned >= LIMIT - SLACK; }));
  EXPECT_LT(returned.load(), LIMIT);
  EXPECT_EQ(h.CountShownContaining(Name + "#"), 0u);
  ASSERT_TRUE(h.Pump([&] { return h.CountShownContaining(Name + "#") == size_t(2 * LIMIT); }));
  writer.join();
  std::vector<int> expected(2 * LIMIT);
  for (int i = 0; i < 2 * LIMIT; ++i) expected[size_t(i)] = i;
  EXPECT_EQ(ShownOrderOf(h.ShownLines(), Name + "#"), expected);
}

TEST(TPortLogLines, DriverEventsOfAVirtualPortAreLoggedAndForwarded) {
  TPortsHarness h;
  TPortManager* manager = h.Add(test::MqttParams("COM41", test::UnusedLoopbackPort(), "t"));
  TLumVirtualPort& port = *manager->GetVirtPort();
  auto* channel = dynamic_cast<TLumMqttServer*>(port.TcpServer());
  ASSERT_NE(channel, nullptr);
  const size_t shownBefore = h.ShownLines().size();

  // Events only logged, each as a detail line.
  port.OnDTR(port, true);
  port.OnRTS(port, false);
  port.OnRING(port);
  port.OnTimeouts(port, 1, 2, 3, 4, 5);
  port.OnHandflow(port, 6, 7, 8, 9);
  port.OnSpecialChars(port, 10, 11, 12, 13, 17, 19);
  port.OnEvent(port, 4);
  port.OnBreak(port, false);
  for (const char* line :
       {"EVENT: DTR = True", "EVENT: RTS = False", "EVENT: RING",
        "EVENT: ReadIntervalTimeout = 1, ReadTotalTimeoutMultiplier = 2, ReadTotalTimeoutConstant = 3, "
        "WriteTotalTimeoutMultiplier = 4, WriteTotalTimeoutConstant = 5",
        "EVENT: ControlHandShake = 6, FlowReplace = 7, XOnLimit = 8, XOffLimit = 9",
        "EVENT: EofChar = 10, ErrorChar = 11, BreakChar = 12, EventChar = 13, XOnChar = 17, XOffChar = 19",
        "EVENT: EvtMask = 4", "EVENT: bBreak = False"})
    EXPECT_EQ(h.CountFile(std::string("(COM41) ") + line), 1u) << line;

  // Received characters that are not there: the detail line only.
  port.OnRxChar(port, 5);
  EXPECT_EQ(h.CountFile("(COM41) EVENT: RxChar, Received = 0"), 1u);
  EXPECT_EQ(h.ShownLines().size(), shownBefore);

  // Line settings go to the channel: parity through ParityToParity, data bits as a count.
  port.OnLineControl(port, 2, 2, 7);
  EXPECT_EQ(h.CountFile("(COM41) EVENT: StopBits = 2, Parity = 2, WordLength = 7"), 1u);
  EXPECT_EQ(channel->ParityBits(), tpp_Even);
  EXPECT_EQ(channel->StopBits(), tps_Two);
  EXPECT_EQ(channel->BitData(), tpdb_Seven);
  port.OnBaudRate(port, 19200);
  EXPECT_EQ(h.CountShown("(COM41) Baudrate = 19200"), 1u);
  EXPECT_EQ(channel->BaudRate(), ttp_19200);
}

}  // namespace
}  // namespace orvane
