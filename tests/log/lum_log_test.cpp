#include "log/lum_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Splits on CR LF; a trailing piece without CR LF is returned as well so that a
// broken last line shows up.
std::vector<std::string> Lines(const std::string& AText) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < AText.size()) {
    const size_t end = AText.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(AText.substr(start));
      break;
    }
    lines.push_back(AText.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

struct TParsedLine {
  bool Valid = false;
  long ThreadId = 0;
  std::string Text;
};

// "hh:nn:ss.zzz [tid] text", read by hand: lines may be a mebibyte long.
TParsedLine Parse(const std::string& ALine) {
  TParsedLine parsed;
  auto digits = [&](size_t APos, size_t ACount) {
    if (APos + ACount > ALine.size()) return -1;
    int value = 0;
    for (size_t i = APos; i < APos + ACount; ++i) {
      if (ALine[i] < '0' || ALine[i] > '9') return -1;
      value = value * 10 + (ALine[i] - '0');
    }
    return value;
  };
  if (ALine.size() < 17 || ALine[2] != ':' || ALine[5] != ':' || ALine[8] != '.' || ALine[12] != ' ' ||
      ALine[13] != '[')
    return parsed;
  const int h = digits(0, 2), n = digits(3, 2), s = digits(6, 2), z = digits(9, 3);
  if (h < 0 || h > 23 || n < 0 || n > 59 || s < 0 || s > 60 || z < 0) return parsed;
  const size_t close = ALine.find("] ", 14);
  if (close == std::string::npos || close == 14) return parsed;
  long tid = 0;
  for (size_t i = 14; i < close; ++i) {
    if (ALine[i] < '0' || ALine[i] > '9') return parsed;
    tid = tid * 10 + (ALine[i] - '0');
  }
  parsed.Valid = true;
  parsed.ThreadId = tid;
  parsed.Text = ALine.substr(close + 2);
  return parsed;
}

std::vector<std::string> Texts(const fs::path& APath) {
  std::vector<std::string> texts;
  for (const auto& line : Lines(ReadFile(APath))) {
    const TParsedLine parsed = Parse(line);
    EXPECT_TRUE(parsed.Valid) << "bad line: " << line.substr(0, 80);
    texts.push_back(parsed.Text);
  }
  return texts;
}

TEST(TLumLog, BannersOfOneRunAndAppendOnRestart) {
  // A fixed zone and modification time make the banner's date exact.
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  test::TTempDir dir;
  const fs::path exe = dir.Path() / "orvane";
  std::ofstream(exe) << "x";
  const timespec times[2] = {{1704164645, 0}, {1704164645, 0}};  // 2024-01-02 03:04:05 UTC
  ASSERT_EQ(::utimensat(AT_FDCWD, exe.c_str(), times, 0), 0);

  {
    TLumLog log(dir.Str(), "1.2.3.4", exe.string());
    EXPECT_TRUE(log.IsOpen());
    EXPECT_EQ(log.FileName(), (dir.Path() / "log.txt").string());
    log.WriteLine("first run");
  }
  {
    TLumLog log(dir.Str(), "1.2.3.5", "");  // no executable to date: the date stays empty
    log.WriteLine("second run");
  }
  const std::vector<std::string> expected = {
      " ",          "****** Start program, Version=1.2.3.4, Date=02.01.2024 03:04:05 ******",
      "first run",  "****** Stop program ******",
      " ",          "****** Start program, Version=1.2.3.5, Date= ******",
      "second run", "****** Stop program ******",
  };
  EXPECT_EQ(Texts(dir.Path() / "log.txt"), expected);
  const std::string raw = ReadFile(dir.Path() / "log.txt");
  EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
  const TParsedLine first = Parse(Lines(raw).front());
  EXPECT_EQ(first.ThreadId, ::gettid());
}

// Fills log.txt to ASize bytes with one padding line (the per-line overhead
// is learnt from a probe line of this thread).
void FillTo(TLumLog& ALog, const fs::path& AFile, uint64_t ASize) {
  const uint64_t before = fs::file_size(AFile);
  ALog.WriteLine("probe");
  const uint64_t overhead = fs::file_size(AFile) - before - 5;
  const uint64_t now = fs::file_size(AFile);
  ASSERT_GT(ASize, now + overhead);
  ALog.WriteLine(std::string(ASize - now - overhead, 'p'));
  ASSERT_EQ(fs::file_size(AFile), ASize);
}

TEST(TLumLog, RotatesWhenALineReachesOneMebibyte) {
  const std::string TAIL = "tail line";
  struct TCase {
    uint64_t SizeAfterTail;
    bool Rotated;
  };
  for (const TCase& c : {TCase{1048575, false}, TCase{1048576, true}, TCase{1048577, true}}) {
    SCOPED_TRACE(c.SizeAfterTail);
    test::TTempDir dir;
    const fs::path current = dir.Path() / "log.txt";
    const fs::path old = dir.Path() / "log_old.txt";
    std::ofstream(old) << "an older generation\r\n";
    TLumLog log(dir.Str(), "1.0.0.0", "");

    // The tail line's own size is the probe's overhead plus its text.
    const uint64_t before = fs::file_size(current);
    log.WriteLine("probe");
    const uint64_t overhead = fs::file_size(current) - before - 5;
    FillTo(log, current, c.SizeAfterTail - overhead - TAIL.size());
    log.WriteLine(TAIL);

    if (!c.Rotated) {
      EXPECT_EQ(fs::file_size(current), c.SizeAfterTail);
      EXPECT_EQ(ReadFile(old), "an older generation\r\n");
      continue;
    }
    // The crossing line ends the old generation; the fresh file has no banner.
    EXPECT_EQ(fs::file_size(old), c.SizeAfterTail);
    EXPECT_EQ(Texts(old).back(), TAIL);
    EXPECT_EQ(Texts(old).front(), " ");
    ASSERT_TRUE(fs::exists(current));
    EXPECT_EQ(fs::file_size(current), 0u);
    log.WriteLine("next");
    EXPECT_EQ(Texts(current), std::vector<std::string>{"next"});
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.Path())) names.push_back(entry.path().filename());
    EXPECT_EQ(names.size(), 2u);
  }
}

TEST(TLumLog, RotationKeepsWritingWhenTheOldFileCannotBeReplaced) {
  test::TTempDir dir;
  const fs::path current = dir.Path() / "log.txt";
  // A non-empty folder in the old file's place defeats both delete and rename.
  fs::create_directories(dir.Path() / "log_old.txt" / "keep");
  TLumLog log(dir.Str(), "1.0.0.0", "");
  FillTo(log, current, TLumLog::MAX_FILE_SIZE + 10);
  log.WriteLine("still here");
  log.WriteLine("and here");
  const std::vector<std::string> texts = Texts(current);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2], "still here");
  EXPECT_EQ(texts.back(), "and here");
  EXPECT_TRUE(fs::is_directory(dir.Path() / "log_old.txt" / "keep"));
}

TEST(TLumLog, UnwritableFolderLosesLinesSilently) {
  test::TTempDir dir;
  // Root ignores permission bits, but nobody can create a folder under a file.
  std::ofstream(dir.Path() / "plain") << "x";
  const std::string dataDir = (dir.Path() / "plain" / "data").string();
  {
    TLumLog log(dataDir, "1.0.0.0", "");
    EXPECT_FALSE(log.IsOpen());
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
      writers.emplace_back([&] {
        for (int i = 0; i < 200; ++i) log.WriteLine(std::string(3000, 'z'));
      });
    for (auto& w : writers) w.join();
  }
  EXPECT_EQ(ReadFile(dir.Path() / "plain"), "x");
  EXPECT_FALSE(fs::exists(dir.Path() / "log.txt"));
}

TEST(TLumLog, LinesFromSeveralThreadsNeverInterleave) {
  test::TTempDir dir;
  constexpr int THREADS = 6;
  constexpr int LINES = 200;
  std::map<long, int> writerOfTid;  // OS thread id -> writer index
  std::mutex tidsLock;
  {
    TLumLog log(dir.Str(), "1.0.0.0", "");
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t)
      writers.emplace_back([&, t] {
        {
          std::lock_guard<std::mutex> guard(tidsLock);
          writerOfTid[::gettid()] = t;
        }
        // Lines well past one write buffer, each naming its writer; all of them
        // stay below the rotation size.
        for (int i = 0; i < LINES; ++i)
          log.WriteLine("w" + std::to_string(t) + " #" + std::to_string(i) + " " +
                        std::string(300 + 37 * t, static_cast<char>('a' + t)));
      });
    for (auto& w : writers) w.join();
  }
  const std::vector<std::string> lines = Lines(ReadFile(dir.Path() / "log.txt"));
  ASSERT_EQ(lines.size(), 3u + THREADS * LINES);
  std::vector<int> nextIndex(THREADS, 0);
  for (size_t n = 2; n + 1 < lines.size(); ++n) {
    const TParsedLine parsed = Parse(lines[n]);
    ASSERT_TRUE(parsed.Valid) << lines[n].substr(0, 80);
    ASSERT_EQ(writerOfTid.count(parsed.ThreadId), 1u);
    const int t = writerOfTid[parsed.ThreadId];
    const std::string expected = "w" + std::to_string(t) + " #" + std::to_string(nextIndex[t]++) + " " +
                                 std::string(300 + 37 * t, static_cast<char>('a' + t));
    ASSERT_EQ(parsed.Text, expected);
  }
  for (int t = 0; t < THREADS; ++t) EXPECT_EQ(nextIndex[t], LINES);
}

TEST(TLumLog, SecondProcessDoesNotWriteIntoTheHeldLog) {
  test::TTempDir dir;
  TLumLog log(dir.Str(), "1.0.0.0", "");
  log.WriteLine("parent before");
  const std::string before = ReadFile(dir.Path() / "log.txt");

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = 0;
    {
      TLumLog second(dir.Str(), "9.9.9.9", "");
      if (second.IsOpen()) code = 1;
      second.WriteLine("child line");
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the second writer opened the held log";
  EXPECT_EQ(ReadFile(dir.Path() / "log.txt"), before);

  log.WriteLine("parent after");
  EXPECT_EQ(Texts(dir.Path() / "log.txt").back(), "parent after");
}

}  // namespace
}  // namespace orvane
