#include "platform/output_sink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "support/fd_helpers.h"
#include "support/wait_for.h"

namespace orvane {
namespace {

// A pipe as small as the kernel makes one, so a few lines fill it.
struct TSmallPipe {
  TSmallPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    Read.Reset(fds[0]);
    Write.Reset(fds[1]);
    ::fcntl(Write.Get(), F_SETPIPE_SZ, 4096);
    ::fcntl(Read.Get(), F_SETFL, O_NONBLOCK);
  }
  // What the pipe holds now.
  std::string Take() {
    std::string text;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(Read.Get(), buffer, sizeof buffer);
      if (n <= 0) return text;
      text.append(buffer, static_cast<size_t>(n));
    }
  }
  test::TTestFd Read;
  test::TTestFd Write;
};

std::string Numbered(int ANumber) {
  return "line " + std::to_string(ANumber) + " " + std::string(60, 'x');
}

// What came out: the numbers of the lines that made it, in order, and the
// counts of the drop lines, each where it stood.
struct TReceived {
  std::vector<int> Numbers;
  std::vector<uint64_t> Counts;
  bool Whole = true;  // every line was one that went in
};

TReceived Parse(const std::string& AText) {
  TReceived got;
  const std::string countPrefix = "Test: dropped [";
  size_t start = 0;
  while (start < AText.size()) {
    const size_t end = AText.find('\n', start);
    if (end == std::string::npos) {
      got.Whole = false;  // a torso at the end
      break;
    }
    const std::string line = AText.substr(start, end - start);
    start = end + 1;
    if (line.starts_with(countPrefix)) {
      got.Counts.push_back(std::stoull(line.substr(countPrefix.size())));
      got.Numbers.push_back(-1);
      continue;
    }
    const int number = line.starts_with("line ") ? std::stoi(line.substr(5)) : -2;
    if (line != Numbered(number)) got.Whole = false;
    got.Numbers.push_back(number);
  }
  return got;
}

TEST(TOutputSink, ADescriptorThatTakesNothingCostsLinesCountedOnceOutputFlowsAgain) {
  TSmallPipe pipe;
  ASSERT_TRUE(pipe.Write.Valid());
  TOutputSink sink(pipe.Write.Get(), "Test", 1024);
  // Never waits, whatever the reader does: 2000 lines into a 4 KiB pipe and a 1 KiB buffer.
  for (int i = 0; i < 2000; ++i) sink.Add(Numbered(i));
  EXPECT_GT(sink.Dropped(), 1000u);
  // The caller's description is left blocking: a shell sharing it is not disturbed.
  EXPECT_EQ(::fcntl(pipe.Write.Get(), F_GETFL) & O_NONBLOCK, 0);

  // The reader reads again: what waited comes, then the count, then what is added after.
  // The writer may tell runs of drops while the lines still go in, so all of it is read
  // first: every line has come or been told dropped.
  std::string text;
  ASSERT_TRUE(test::WaitFor([&] {
    text += pipe.Take();
    if (!text.ends_with('\n')) return false;
    const TReceived got = Parse(text);
    uint64_t accounted = 0;
    for (const uint64_t count : got.Counts) accounted += count;
    for (const int number : got.Numbers) accounted += number >= 0 ? 1 : 0;
    return !got.Counts.empty() && accounted == 2000;
  }));
  for (int i = 2000; i < 2005; ++i) sink.Add(Numbered(i));
  ASSERT_TRUE(test::WaitFor([&] {
    text += pipe.Take();
    return text.ends_with(Numbered(2004) + "\n");
  }));

  // Whole lines in order; each gap is told by count lines standing in it, and
  // the counts add up to every line dropped.
  const TReceived got = Parse(text);
  EXPECT_TRUE(got.Whole) << text;
  ASSERT_FALSE(got.Counts.empty());
  int next = 0;
  uint64_t told = 0;
  uint64_t toldInGap = 0;
  size_t count = 0;
  for (const int number : got.Numbers) {
    if (number == -1) {
      toldInGap += got.Counts[count++];
      continue;
    }
    ASSERT_GE(number, next);
    EXPECT_EQ(static_cast<uint64_t>(number - next), toldInGap) << number;
    told += toldInGap;
    toldInGap = 0;
    next = number + 1;
  }
  EXPECT_EQ(next, 2005);
  EXPECT_EQ(told, sink.Dropped());
}

// A reader that went away: no SIGPIPE (it would end this test), later lines
// are counted, and the end does not wait.
TEST(TOutputSink, AReaderThatWentAwayEndsTheOutputButNotTheProgram) {
  TSmallPipe pipe;
  std::optional<TOutputSink> sink;
  sink.emplace(pipe.Write.Get(), "Test", 1024);
  sink->Add("seen");
  std::string text;
  ASSERT_TRUE(test::WaitFor([&] {
    text += pipe.Take();
    return text == "seen\n";
  }));
  pipe.Read.Reset();
  for (int i = 0; i < 100; ++i) sink->Add(Numbered(i));
  ASSERT_TRUE(test::WaitFor([&] { return sink->Dropped() == 100; }));
  sink.reset();
}

// Bytes still waiting for a full pipe at the end are given up, not waited for.
TEST(TOutputSink, TheEndNeverWaitsForAFullDescriptor) {
  TSmallPipe pipe;
  {
    TOutputSink sink(pipe.Write.Get(), "Test", 1024);
    for (int i = 0; i < 200; ++i) sink.Add(Numbered(i));
  }
  // The pipe holds what it took, in order.
  const TReceived got = Parse(pipe.Take());
  EXPECT_FALSE(got.Numbers.empty());
  int last = -1;
  for (const int number : got.Numbers) {
    if (number == -1) continue;
    EXPECT_GT(number, last);
    last = number;
  }
}

}  // namespace
}  // namespace orvane
