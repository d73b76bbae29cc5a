#include "app/gui/fm_log_port.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
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
class TLogViewFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    H.OnBuilt = [this](TPortManager&, TPortLogLines& ALines) { View = std::make_unique<TfmLogPort>(ALines); };
    H.OnShown = [this](const TPortManager&, const std::string& ALine) { View->ShowLogLine(ALine); };
    // No application opens the port before the test does.
    Port = H.Add(test::VirtualParams("COM50", PROTOCOL_DIRECT, test::UnusedLoopbackPort()));
    View->resize(500, 300);
    View->show();
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
  int BlockCount() const { return View->mmLog->document()->blockCount(); }
  QString Block(int AIndex) const { return View->mmLog->document()->findBlockByNumber(AIndex).text(); }
  size_t FileCount(const std::string& ALine) { return H.CountFile(ALine); }

  test::TPortsHarness H;
  TPortManager* Port = nullptr;
  std::unique_ptr<TfmLogPort> View;
};

TEST_F(TLogViewFixture, BoxKeepsTheLastLinesOnly) {
  View->mmLog->clear();
  // The port's own lines (its connection attempts) may come in between the fed ones, so
  // the test counts on the newest lines and on the oldest being gone, not on block 0.
  Feed(0, TfmLogPort::MAX_LINES + 1);
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
  EXPECT_FALSE(View->mmLog->toPlainText().contains(QStringLiteral("while stopped")));
  EXPECT_TRUE(View->mmLog->toPlainText().contains(QStringLiteral("(COM50) after")));
  EXPECT_EQ(FileCount("(COM50) while stopped"), 1u);
  EXPECT_EQ(FileCount("(COM50) after"), 1u);
}

TEST_F(TLogViewFixture, ClearEmptiesTheViewOnly) {
  Feed(0, 10);
  View->actClear->trigger();
  EXPECT_TRUE(View->mmLog->toPlainText().isEmpty());
  EXPECT_EQ(FileCount("(COM50) line 9"), 1u);
  Feed(10, 11);
  EXPECT_EQ(BlockCount(), 1);
}

// With following released the first visible line stays the same line while
// old lines are trimmed; with it on the view sits at the end.
TEST_F(TLogViewFixture, ScrollingFollowsTheFlag) {
  View->mmLog->clear();
  QScrollBar* Bar = View->mmLog->verticalScrollBar();
  Feed(0, TfmLogPort::MAX_LINES);
  EXPECT_TRUE(View->FollowLast());
  EXPECT_EQ(Bar->value(), Bar->maximum());

  View->actFollowLast->trigger();
  EXPECT_FALSE(View->FollowLast());
  Bar->setValue(200);
  const QString Shown = Block(Bar->value());
  Feed(TfmLogPort::MAX_LINES, TfmLogPort::MAX_LINES + 50);
  EXPECT_EQ(Block(Bar->value()), Shown);
  EXPECT_EQ(Bar->value(), 150);

  View->actFollowLast->trigger();
  EXPECT_TRUE(View->FollowLast());
  Feed(TfmLogPort::MAX_LINES + 50, TfmLogPort::MAX_LINES + 60);
  EXPECT_EQ(Bar->value(), Bar->maximum());
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
  EXPECT_TRUE(H.Pump([&] { return OPENED.match(Text()).hasMatch(); })) << Text().toStdString();
}

}  // namespace
}  // namespace orvane
