#include "log/port_log_lines.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "channels/lum_mqtt_server.h"
#include "portkit/port_kit.h"
#include "support/fd_helpers.h"

namespace orvane {
namespace {

using test::TPortsHarness;

TEST(TPortLogLines, FileGetsEveryLineTheViewOnlyShownOnes) {
  TPortsHarness h;
  // An MQTT port whose broker is not there: its channel lines carry the
  // converter address of the record all the same.
  TPortManager* port = h.Add(test::MqttParams("COM40", test::UnusedLoopbackPort(), "t"));
  auto& lines = static_cast<TPortLogLines&>(*port->Log());
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

TEST(TPortLogLines, LinesOfSeveralThreadsAreEachShownOnceAfterTheirWriterWaits) {
  TPortsHarness h;
  TPortManager* port = h.Add(test::VirtualParams("COM42", PROTOCOL_DIRECT, test::UnusedLoopbackPort()));
  auto& lines = static_cast<TPortLogLines&>(*port->Log());
  constexpr int THREADS = 4;
  constexpr int LINES_EACH = 50;
  std::atomic<int> shownWhenReturned{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < THREADS; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < LINES_EACH; ++i) {
        const std::string text = "t" + std::to_string(t) + " #" + std::to_string(i);
        lines.AddLogLine(text, false);
        // The hand-off returns only once the line is shown.
        if (h.CountShown("(COM42) " + text) == 1) ++shownWhenReturned;
      }
    });
  }
  ASSERT_TRUE(h.Pump([&] { return shownWhenReturned == THREADS * LINES_EACH; }));
  for (auto& writer : writers) writer.join();
  for (int t = 0; t < THREADS; ++t)
    for (int i = 0; i < LINES_EACH; ++i)
      EXPECT_EQ(h.CountShown("(COM42) t" + std::to_string(t) + " #" + std::to_string(i)), 1u);
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
