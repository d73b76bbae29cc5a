#include "log/lum_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/locked_file.h"
#include "platform/unique_fd.h"
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

TEST(TLumLog, AFileLeftNearTheLimitByAnEarlierRunRotatesAtTheFirstCrossingLine) {
  test::TTempDir dir;
  const fs::path current = dir.Path() / "log.txt";
  std::ofstream(current) << std::string(TLumLog::MAX_FILE_SIZE - 300, 'e') << "\r\n";
  TLumLog log(dir.Str(), "1.0.0.0", "");
  EXPECT_FALSE(fs::exists(dir.Path() / "log_old.txt"));
  log.WriteLine(std::string(400, 'x'));
  ASSERT_TRUE(fs::exists(dir.Path() / "log_old.txt"));
  const std::string old = ReadFile(dir.Path() / "log_old.txt");
  EXPECT_EQ(old.substr(old.size() - 402), std::string(400, 'x') + "\r\n");
  log.WriteLine("fresh");
  EXPECT_EQ(Texts(current), std::vector<std::string>{"fresh"});
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

// logrotate's copytruncate or `: > log.txt` cut the file under the open log:
// the next line starts the short file, and the file rotates where its real
// size crosses the limit, not where the lines written so far would put it.
TEST(TLumLog, AFileCutShortFromOutsideRotatesAtItsRealSize) {
  struct TCase {
    const char* What;
    uint64_t SizeBeforeCut;
  };
  for (const TCase& c : {TCase{"near the limit", TLumLog::MAX_FILE_SIZE - 300},
                         TCase{"half full", TLumLog::MAX_FILE_SIZE / 2}}) {
    SCOPED_TRACE(c.What);
    test::TTempDir dir;
    const fs::path current = dir.Path() / "log.txt";
    const fs::path old = dir.Path() / "log_old.txt";
    TLumLog log(dir.Str(), "1.0.0.0", "");
    FillTo(log, current, c.SizeBeforeCut);
    fs::resize_file(current, 0);

    const std::string first(400, 'x');
    log.WriteLine(first);
    EXPECT_FALSE(fs::exists(old));
    EXPECT_EQ(Texts(current), std::vector<std::string>{first});

    FillTo(log, current, TLumLog::MAX_FILE_SIZE - 1);
    EXPECT_FALSE(fs::exists(old));
    log.WriteLine("crossing");
    ASSERT_TRUE(fs::exists(old));
    // The cut file's lines: the first, the probe and padding of FillTo, the
    // crossing line (compared whole, not printed: the padding is long).
    const std::vector<std::string> texts = Texts(old);
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_TRUE(texts.front() == first);
    EXPECT_EQ(texts[1], "probe");
    EXPECT_TRUE(texts.back() == "crossing");
    EXPECT_EQ(fs::file_size(current), 0u);
  }
}

// The lock keeps out only writers that ask for it; `echo >> log.txt` does
// not. What such a writer adds is counted late, but the file still rotates
// within a bounded number of the log's own lines after it passed the limit.
TEST(TLumLog, AWriterIgnoringTheLockDelaysTheRotationBoundedly) {
  test::TTempDir dir;
  const fs::path current = dir.Path() / "log.txt";
  const fs::path old = dir.Path() / "log_old.txt";
  TLumLog log(dir.Str(), "1.0.0.0", "");
  const std::string chunk(4000, 'o');
  const std::string text(100, 'l');
  int rounds = 0;
  {
    const TUniqueFd other(::open(current.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    ASSERT_TRUE(other.Valid());
    // The log's own lines alone would take about 8000 rounds to fill the file.
    while (!fs::exists(old) && rounds < 2000) {
      ASSERT_EQ(::write(other.Get(), chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
      log.WriteLine(text);
      ++rounds;
    }
  }
  ASSERT_TRUE(fs::exists(old)) << "no rotation after " << rounds << " rounds";
  // A round is the chunk and one line: the text, its stamp and CR LF.
  const uint64_t round = chunk.size() + text.size() + 40;
  const uint64_t size = fs::file_size(old);
  EXPECT_GE(size, TLumLog::MAX_FILE_SIZE);
  EXPECT_LE(size, TLumLog::MAX_FILE_SIZE + TLockedFile::RECHECK_APPENDS * round);
  const std::string content = ReadFile(old);
  EXPECT_EQ(content.substr(content.size() - text.size() - 2), text + "\r\n");
  log.WriteLine("fresh");
  EXPECT_EQ(Texts(current), std::vector<std::string>{"fresh"});
}

mode_t ModeOf(const fs::path& APath) {
  struct stat st {};
  EXPECT_EQ(::lstat(APath.c_str(), &st), 0) << APath;
  return st.st_mode & 07777;
}

// Sets the process umask for one scope, so that a test sees the mode the
// program asked for.
struct TUmask {
  explicit TUmask(mode_t AMask) : Saved(::umask(AMask)) {}
  ~TUmask() { ::umask(Saved); }
  mode_t Saved;
};

TEST(TLumLog, BothGenerationsAreReadableByOwnerAndGroupOnly) {
  const TUmask umask(0);
  test::TTempDir dir;
  const fs::path current = dir.Path() / "log.txt";
  const fs::path old = dir.Path() / "log_old.txt";
  TLumLog log(dir.Str(), "1.0.0.0", "");
  EXPECT_EQ(ModeOf(current), 0640u);
  log.WriteLine(std::string(TLumLog::MAX_FILE_SIZE, 'p'));  // rotates
  ASSERT_TRUE(fs::exists(old));
  EXPECT_EQ(ModeOf(old), 0640u);
  EXPECT_EQ(ModeOf(current), 0640u);

  // A file an older run left readable by everybody is closed to others; the
  // owner's and the group's bits stay.
  test::TTempDir older;
  std::ofstream(older.Path() / "log.txt") << "old line\r\n";
  fs::permissions(older.Path() / "log.txt", fs::perms(0664));
  TLumLog reopened(older.Str(), "1.0.0.0", "");
  EXPECT_TRUE(reopened.IsOpen());
  EXPECT_EQ(ModeOf(older.Path() / "log.txt"), 0660u);
}

// Whoever can write into the data folder must not make the program append its
// traffic to another file, or stall it at start.
TEST(TLumLog, LinksAndSpecialFilesInPlaceOfTheLogAreNeitherFollowedNorWaitedOn) {
  test::TTempDir dir;
  const fs::path victim = dir.Path() / "victim";
  std::ofstream(victim) << "precious";
  const fs::path data = dir.Path() / "data";
  fs::create_directory(data);

  fs::create_symlink(victim, data / "log.txt");
  {
    TLumLog log(data.string(), "1.0.0.0", "");
    EXPECT_FALSE(log.IsOpen());
    log.WriteLine("to nowhere");
  }
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_TRUE(fs::is_symlink(data / "log.txt"));

  // A FIFO nobody reads would block an open for writing forever.
  fs::remove(data / "log.txt");
  ASSERT_EQ(::mkfifo((data / "log.txt").c_str(), 0600), 0);
  {
    TLumLog log(data.string(), "1.0.0.0", "");
    EXPECT_FALSE(log.IsOpen());
  }

  // The old generation's name is replaced, never written through.
  fs::remove(data / "log.txt");
  fs::create_symlink(victim, data / "log_old.txt");
  {
    TLumLog log(data.string(), "1.0.0.0", "");
    ASSERT_TRUE(log.IsOpen());
    log.WriteLine(std::string(TLumLog::MAX_FILE_SIZE, 'p'));  // rotates
  }
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(data / "log_old.txt")));
  EXPECT_EQ(Texts(data / "log_old.txt").front(), " ");
}

// The messages a log gave its failure sink; from any thread.
struct TFailures {
  TLumLog::TFailureSink Sink() {
    return [this](const std::string& AMessage) {
      std::lock_guard<std::mutex> guard(Lock);
      Messages.push_back(AMessage);
    };
  }
  std::vector<std::string> Taken() {
    std::lock_guard<std::mutex> guard(Lock);
    return Messages;
  }
  std::mutex Lock;
  std::vector<std::string> Messages;
};

// Accesses files as another user on this thread only (the file-system uid), so
// permission bits hold even for root; nothing for a test not run by root.
class TActAsNobody {
 public:
  TActAsNobody() {
    if (::geteuid() == 0) FOld = static_cast<int>(::setfsuid(65534));
  }
  ~TActAsNobody() {
    if (FOld >= 0) ::setfsuid(static_cast<uid_t>(FOld));
  }
  TActAsNobody(const TActAsNobody&) = delete;
  TActAsNobody& operator=(const TActAsNobody&) = delete;

 private:
  int FOld = -1;
};

// Whatever keeps the file from being opened is told once, with the reason,
// however many lines are lost after it.
TEST(TLumLog, ALogThatCannotBeOpenedSaysWhyOnce) {
  struct TCase {
    const char* What;
    std::function<void(const fs::path& AData)> Prepare;
    std::string Reason;  // after the path of log.txt
    bool AsNobody = false;
  };
  const std::vector<TCase> cases = {
      {"a link", [](const fs::path& AData) { fs::create_symlink(AData / "elsewhere", AData / "log.txt"); },
       " is a symbolic link"},
      {"a FIFO", [](const fs::path& AData) { ASSERT_EQ(::mkfifo((AData / "log.txt").c_str(), 0600), 0); },
       " is not a regular file"},
      {"a directory", [](const fs::path& AData) { fs::create_directory(AData / "log.txt"); },
       ": Is a directory"},
      {"an unwritable data directory",
       [](const fs::path& AData) {
         fs::permissions(AData, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
       },
       ": Permission denied", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    test::TTempDir dir;
    fs::permissions(dir.Path(), fs::perms::others_exec, fs::perm_options::add);
    const fs::path data = dir.Path() / "data";
    fs::create_directory(data);
    c.Prepare(data);
    TFailures failures;
    {
      std::optional<TActAsNobody> nobody;
      if (c.AsNobody) nobody.emplace();
      TLumLog log(data.string(), "1.0.0.0", "", failures.Sink());
      EXPECT_FALSE(log.IsOpen());
      for (int i = 0; i < 3; ++i) log.WriteLine("lost");
    }
    const std::string path = (data / "log.txt").string();
    const std::string open = c.Reason.front() == ':' ? "open " + path : path;
    EXPECT_EQ(failures.Taken(),
              std::vector<std::string>{"Файл журнала не открывается, журнал не ведётся: " + open + c.Reason});
    fs::permissions(data, fs::perms::owner_all);
  }
}

// A full disk (here a file size limit, which the kernel enforces the same
// way: part of a write, then an error) never leaves part of a line in the file,
// and the next line that fits starts on a line of its own.
TEST(TLumLog, AFullDiskLeavesNoPartOfALineAndIsToldOncePerEpisode) {
  test::TTempDir dir;
  TFailures failures;
  TLumLog log(dir.Str(), "1.0.0.0", "", failures.Sink());
  ASSERT_TRUE(log.IsOpen());
  log.WriteLine("before");
  const std::string before = ReadFile(dir.Path() / "log.txt");

  // Past the limit the kernel signals SIGXFSZ, whose default would end the test.
  struct sigaction ignore {};
  struct sigaction old {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &old), 0);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto limitAt = [&](rlim_t ASize) {
    rlimit lower = saved;
    lower.rlim_cur = ASize;
    return ::setrlimit(RLIMIT_FSIZE, &lower) == 0;
  };
  ASSERT_TRUE(limitAt(before.size() + 40));
  for (int i = 0; i < 3; ++i) log.WriteLine("full " + std::string(100, 'f'));
  const std::string afterFull = ReadFile(dir.Path() / "log.txt");
  ASSERT_TRUE(limitAt(saved.rlim_cur));
  log.WriteLine("room again");
  ASSERT_TRUE(limitAt(before.size()));
  log.WriteLine("full again");
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  ASSERT_EQ(::sigaction(SIGXFSZ, &old, nullptr), 0);
  log.WriteLine("last");

  EXPECT_EQ(afterFull, before);
  std::vector<std::string> texts;
  for (const std::string& line : Lines(ReadFile(dir.Path() / "log.txt"))) {
    const TParsedLine parsed = Parse(line);
    ASSERT_TRUE(parsed.Valid) << line;
    texts.push_back(parsed.Text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{" ", "****** Start program, Version=1.0.0.0, Date= ******",
                                             "before", "room again", "last"}));
  const std::string path = (dir.Path() / "log.txt").string();
  EXPECT_EQ(failures.Taken(), (std::vector<std::string>(
                                  2, "Строки журнала не записываются: write " + path + ": File too large")));
}

TEST(TLumLog, UnwritableFolderLosesLinesAndSaysSoOnce) {
  test::TTempDir dir;
  // Root ignores permission bits, but nobody can create a folder under a file.
  std::ofstream(dir.Path() / "plain") << "x";
  const std::string dataDir = (dir.Path() / "plain" / "data").string();
  TFailures failures;
  {
    TLumLog log(dataDir, "1.0.0.0", "", failures.Sink());
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
  EXPECT_EQ(failures.Taken(),
            std::vector<std::string>{"Файл журнала не открывается, журнал не ведётся: open " + dataDir +
                                     "/log.txt: Not a directory"});
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
