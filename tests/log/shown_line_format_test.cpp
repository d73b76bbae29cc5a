#include "log/shown_line_format.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace orvane {
namespace {

TEST(PriorityOf, LinesOfPortsAndChannels) {
  const struct {
    const char* Line;
    TLinePriority Priority;
  } cases[] = {
      {"(COM5) IN: [3] 01 02 03", TLinePriority::Traffic},
      {"(COM5) OUT: [2] 0D 0A", TLinePriority::Traffic},
      {"(COM5) 10.0.0.7:4001 OUT: [2] 41 42", TLinePriority::Traffic},
      {"(COM5) 10.0.0.7:4001 IN: [1] FF", TLinePriority::Traffic},
      {"(COM5) broker.local:1883 IN: [1] FF", TLinePriority::Traffic},
      // A name that looks like a channel prefix does not hide the text after it.
      {"(COM:5) IN: [1] 00", TLinePriority::Traffic},
      {"(COM5) 10.0.0.7:4001 OUT: dropped [512] bytes, send failed", TLinePriority::Warning},
      {"(COM5) OUT: dropped [9] bytes, the application does not read the port", TLinePriority::Warning},
      {"(COM5) Error on create COM port, ComName=COM5, IpAddress=10.0.0.7", TLinePriority::Warning},
      {"(COM5) 10.0.0.7:4001 IP485: no frame at the start of the receive buffer, held 00",
       TLinePriority::Warning},
      {"(COM5) Error on attach COM port, ComName=COM5", TLinePriority::Error},
      {"(COM5) COM port cannot be created: /tmp/ports/COM5 exists; attach: /tmp/ports/COM5 belongs to "
       "another user",
       TLinePriority::Error},
      {"(COM5) COM port cannot be opened: /dev/ttyUSB0: No such file or directory", TLinePriority::Error},
      {"(COM5) 10.0.0.7:4001 ERROR=Connection refused", TLinePriority::Error},
      {"(COM5) 10.0.0.7:4001 Connect fail : timed out", TLinePriority::Error},
      {"(COM5) 10.0.0.7:4001 Connect - Fail", TLinePriority::Error},
      {"(COM5) COM port lost, closed: /dev/ttyUSB0 hung up", TLinePriority::Error},
      {"(COM5) Неверный ответ. Возможно используется некорректный ключ безопасности", TLinePriority::Error},
      {"(COM5) 10.0.0.7:4001 Connect - OK", TLinePriority::State},
      {"(COM5) Create COM port - OK, ComName=COM5", TLinePriority::State},
      {"(COM5) Open COM port", TLinePriority::State},
      {"(COM5) Baudrate = 9600", TLinePriority::State},
      {"(COM5) 10.0.0.7:4001 Disconnected", TLinePriority::State},
      // Traffic words elsewhere in a line do not make it traffic.
      {"(COM5) SetState - OK, Baudrate=9600, IN: [", TLinePriority::State},
  };
  for (const auto& c : cases) EXPECT_EQ(PriorityOf(c.Line), c.Priority) << c.Line;
}

TEST(TShownLineFormat, TheJournalGetsPrioritiesInsteadOfTheTime) {
  const TShownLineFormat journal{.Journal = true, .Traffic = false};
  EXPECT_EQ(journal.PortLine("(COM5) 10.0.0.7:4001 Connect - OK"), "<6>(COM5) 10.0.0.7:4001 Connect - OK");
  EXPECT_EQ(journal.PortLine("(COM5) 10.0.0.7:4001 ERROR=Connection refused"),
            "<3>(COM5) 10.0.0.7:4001 ERROR=Connection refused");
  EXPECT_EQ(journal.PortLine("(COM5) OUT: dropped [9] bytes, x"), "<4>(COM5) OUT: dropped [9] bytes, x");
  EXPECT_EQ(journal.ServiceLine("Ready", TLinePriority::State), "<6>Ready");
  EXPECT_EQ(journal.ServiceLine("Критическая ошибка : x", TLinePriority::Error), "<3>Критическая ошибка : x");

  const TShownLineFormat terminal;
  const auto shown = terminal.PortLine("(COM5) Open COM port");
  ASSERT_TRUE(shown.has_value());
  EXPECT_TRUE(std::regex_match(*shown, std::regex(R"(\[\d\d:\d\d:\d\d\] \(COM5\) Open COM port)"))) << *shown;
  EXPECT_EQ(terminal.ServiceLine("Ready", TLinePriority::State), "Ready");
}

TEST(TShownLineFormat, TrafficIsShownOnlyWhenAskedFor) {
  const char* traffic = "(COM5) 10.0.0.7:4001 OUT: [2] 41 42";
  for (const bool journal : {false, true}) {
    EXPECT_FALSE((TShownLineFormat{.Journal = journal, .Traffic = false}.PortLine(traffic).has_value()));
    EXPECT_TRUE((TShownLineFormat{.Journal = journal, .Traffic = false}.PortLine("(COM5) Open COM port")));
  }
  EXPECT_EQ((TShownLineFormat{.Journal = true, .Traffic = true}.PortLine(traffic)),
            "<7>(COM5) 10.0.0.7:4001 OUT: [2] 41 42");
  const auto plain = TShownLineFormat{.Journal = false, .Traffic = true}.PortLine(traffic);
  ASSERT_TRUE(plain.has_value());
  EXPECT_NE(plain->find("] (COM5) 10.0.0.7:4001 OUT: [2] 41 42"), std::string::npos);
}

}  // namespace
}  // namespace orvane
