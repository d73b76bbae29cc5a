#include "app/gui/fm_log_port.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "portkit/port_kit.h"

namespace orvane {
namespace {

// A real virtual port whose lines go to the view; the file lines are recorded.
// Its converter takes the connection, so that once "Connect - OK" is shown the
// port adds no lines of its own to the ones a test feeds.
class TLogViewFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    H.OnBuilt = [this](TPortManager&, TPortLogLines& ALines) { View = std::make_unique<TfmLogPort>(ALines); };
    H.OnShown = [this](const TPortManager&, const std::string& ALine) { View->ShowLogLine(ALine); };
    // No application opens the port before the test does.
    Port = H.Add(test::VirtualParams("COM50", PROTOCOL_DIRECT, Converter.Port()));
    View->resize(500, 300);
    View->show();
    ASSERT_TRUE(H.Pump([this] {
      Pass();
      return View->mmLog->toPlainText().contains(QStringLiteral(" Connect - OK"));
    })) << View->mmLog->toPlainText().toStdString();
  }
  void TearDown() override {
    // The view outlives the bridge.
    H.DestroyList();
    View.reset();
  }

  TPortLogLines& Lines() { return View->Lines(); }
  void Feed(int AFrom, int ATo) {
    for (int I = AFrom; I < ATo; ++I) {
      Lines().AddLogLine("line " + std::to_string(I), false);
    }
  }
  // One pass of the event loop: the view appends what arrived since the last.
  static void Pass() { QCoreApplication::processEvents(); }
  int BlockCount() const { return View->mmLog->document()->blockCount(); }
  QString Block(int AIndex) const { return View->mmLog->document()->findBlockByNumber(AIndex).text(); }
  size_t FileCount(const std::string& ALine) { return H.CountFile(ALine); }

  test::TEchoServer Converter;
  test::TPortsHarness H;
  TPortManager* Port = nullptr;
  std::unique_ptr<TfmLogPort> View;
};

TEST_F(TLogViewFixture, BoxKeepsTheLastLinesOnly) {
  View->mmLog->clear();
  // The port's own lines (its connection attempts) may come in between the fed ones, so
  // the test counts on the newest lines and on the oldest being gone, not on block 0.
  Feed(0, TfmLogPort::MAX_LINES + 1);
  Pass();
  EXPECT_EQ(BlockCount(), TfmLogPort::MAX_LINES);
  EXPECT_TRUE(Block(TfmLogPort::MAX_LINES - 2).endsWith(QStringLiteral("(COM50) line 499")));
  EXPECT_TRUE(Block(TfmLogPort::MAX_LINES - 1).endsWith(QStringLiteral("(COM50) line 500")));
  EXPECT_FALSE(View->mmLog->toPlainText().contains(QStringLiteral("(COM50) line 0\n")));
  EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^\[\d\d:\d\d:\d\d\] \(COM50\) line 500$)"))
                  .match(Block(TfmLogPort::MAX_LINES - 1))
                  .hasMatch());
}

TEST_F(TLogViewFixture, StopKeepsLinesOutOfTheViewNotTheFile) {
  View->actStop->trigger();
  EXPECT_TRUE(View->StopLog());
  EXPECT_TRUE(View->actStop->isChecked());
  Lines().AddLogLine("while stopped", false);
  View->actStop->trigger();
  Lines().AddLogLine("after", false);
  Pass();
  EXPECT_FALSE(View->mmLog->toPlainText().contains(QStringLiteral("while stopped")));
  EXPECT_TRUE(View->mmLog->toPlainText().contains(QStringLiteral("(COM50) after")));
  EXPECT_EQ(FileCount("(COM50) while stopped"), 1u);
  EXPECT_EQ(FileCount("(COM50) after"), 1u);
}

TEST_F(TLogViewFixture, ClearEmptiesTheViewOnly) {
  Feed(0, 10);
  Pass();
  // Lines that arrived before the click but are not in the box yet go too.
  Feed(10, 12);
  View->actClear->trigger();
  Pass();
  EXPECT_TRUE(View->mmLog->toPlainText().isEmpty());
  EXPECT_EQ(FileCount("(COM50) line 9"), 1u);
  EXPECT_EQ(FileCount("(COM50) line 11"), 1u);
  Feed(12, 13);
  Pass();
  EXPECT_EQ(BlockCount(), 1);
  EXPECT_TRUE(Block(0).endsWith(QStringLiteral("(COM50) line 12")));
}

// With following released the first visible line stays the same line while
// old lines are trimmed; with it on the view sits at the end.
TEST_F(TLogViewFixture, ScrollingFollowsTheFlag) {
  View->mmLog->clear();
  QScrollBar* Bar = View->mmLog->verticalScrollBar();
  Feed(0, TfmLogPort::MAX_LINES);
  Pass();
  EXPECT_TRUE(View->FollowLast());
  EXPECT_EQ(Bar->value(), Bar->maximum());

  View->actFollowLast->trigger();
  EXPECT_FALSE(View->FollowLast());
  Bar->setValue(200);
  const QString Shown = Block(Bar->value());
  Feed(TfmLogPort::MAX_LINES, TfmLogPort::MAX_LINES + 50);
  Pass();
  EXPECT_EQ(Block(Bar->value()), Shown);
  EXPECT_EQ(Bar->value(), 150);

  View->actFollowLast->trigger();
  EXPECT_TRUE(View->FollowLast());
  Feed(TfmLogPort::MAX_LINES + 50, TfmLogPort::MAX_LINES + 60);
  Pass();
  EXPECT_EQ(Bar->value(), Bar->maximum());
}

// A long line (a traffic line holds every byte in hex) shows its start in the
// box, never half a character; the file gets it whole.
TEST(TfmLogPortShownPart, LongLinesAreCutAtACharactersStart) {
  constexpr size_t MAX = TfmLogPort::MAX_SHOWN_BYTES;
  const std::string cyrillic = "Ж";  // two bytes
  struct TCase {
    std::string Line;
    std::string Shown;
  };
  const std::vector<TCase> cases = {
      {"", ""},
      {std::string(MAX, 'A'), std::string(MAX, 'A')},
      {std::string(MAX + 1, 'A'), std::string(MAX, 'A') + " ..."},
      // The cut would fall inside the last character: it goes whole.
      {std::string(MAX - 1, 'A') + cyrillic + "B", std::string(MAX - 1, 'A') + " ..."},
      {std::string(MAX - 2, 'A') + cyrillic + "B", std::string(MAX - 2, 'A') + cyrillic + " ..."},
  };
  for (const TCase& c : cases) EXPECT_EQ(TfmLogPort::ShownPart(c.Line), c.Shown) << c.Line.size();
}

TEST_F(TLogViewFixture, ALongLineShowsItsStartAndGoesWholeToTheFile) {
  const std::string hex = "IN: [4000] " + std::string(12000, '5');
  Lines().AddLogLine(hex, false);
  Pass();
  const QString last = Block(BlockCount() - 1);
  EXPECT_TRUE(last.endsWith(QStringLiteral(" ..."))) << last.size();
  EXPECT_LT(static_cast<size_t>(last.size()), TfmLogPort::MAX_SHOWN_BYTES + 40);
  EXPECT_EQ(FileCount("(COM50) " + hex), 1u);
}

// A worker's channel line reaches the view once, with the converter address in
// front; an application opening the port shows in the view too.
TEST_F(TLogViewFixture, WorkerLinesAndPortEventsAreShownOnce) {
  auto Text = [this] { return View->mmLog->toPlainText(); };
  std::atomic<bool> Returned{false};
  std::thread Worker([&] {
    Lines().AddChannelLine("from a worker", false);
    Returned = true;
  });
  EXPECT_TRUE(H.Pump([&] { return Returned.load(); }));
  Worker.join();
  Pass();
  EXPECT_EQ(Text().count(QStringLiteral("from a worker")), 1);
  EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(\[\d\d:\d\d:\d\d\] \(COM50\) \S+:\d+ from a worker)"))
                  .match(Text())
                  .hasMatch())
      << Text().toStdString();

  test::TPtyClient App(H.LinkPath("COM50"));
  ASSERT_TRUE(App.Valid());
  // Behind the time of day and the port name, as its own line.
  const QRegularExpression OPENED(
      QStringLiteral(R"((^|\n)\[\d\d:\d\d:\d\d\] \(COM50\) Open COM port($|\n))"));
  EXPECT_TRUE(H.Pump([&] {
    Pass();
    return OPENED.match(Text()).hasMatch();
  })) << Text().toStdString();
}

// A long flood: the box keeps no undo step and no more than MAX_LINES blocks,
// whatever was shown and cleared before.
TEST_F(TLogViewFixture, FloodLeavesNoUndoHistoryAndAtMostMaxLines) {
  constexpr int LINES = 100000;
  constexpr int PER_PASS = 997;
  QTextDocument* Document = View->mmLog->document();
  for (int From = 0; From < LINES; From += PER_PASS) {
    Feed(From, std::min(LINES, From + PER_PASS));
    Pass();
    if (From == 50 * PER_PASS) View->actClear->trigger();
    ASSERT_LE(Document->blockCount(), TfmLogPort::MAX_LINES);
  }
  EXPECT_EQ(Document->availableUndoSteps(), 0);
  EXPECT_EQ(Document->availableRedoSteps(), 0);
  EXPECT_FALSE(Document->isUndoAvailable());
  EXPECT_EQ(BlockCount(), TfmLogPort::MAX_LINES);
  EXPECT_TRUE(Block(0).endsWith(QStringLiteral("(COM50) line 99500")));
  EXPECT_TRUE(Block(TfmLogPort::MAX_LINES - 1).endsWith(QStringLiteral("(COM50) line 99999")));
}

// Lines raised between two passes of the event loop make one edit of the box;
// a view that is not shown does not touch its box at all, and shows the last
// MAX_LINES of what it missed once it is shown again.
TEST_F(TLogViewFixture, LinesArriveInOneEditPerPassAndWaitWhileHidden) {
  View->mmLog->clear();
  int Edits = 0;
  QObject::connect(View->mmLog->document(), &QTextDocument::contentsChanged, [&] { ++Edits; });
  Feed(0, 40);
  EXPECT_EQ(Edits, 0);
  Pass();
  EXPECT_EQ(Edits, 1);
  EXPECT_EQ(BlockCount(), 40);

  View->hide();
  Feed(40, 40 + TfmLogPort::MAX_LINES + 100);
  Pass();
  EXPECT_EQ(Edits, 1);
  EXPECT_EQ(BlockCount(), 40);

  View->show();
  Pass();
  EXPECT_EQ(Edits, 2);
  EXPECT_EQ(BlockCount(), TfmLogPort::MAX_LINES);
  EXPECT_TRUE(Block(0).endsWith(QStringLiteral("(COM50) line 140")));
  EXPECT_TRUE(Block(TfmLogPort::MAX_LINES - 1).endsWith(QStringLiteral("(COM50) line 639")));
}

}  // namespace
}  // namespace orvane
