// What idle ports cost the headless service: the program runs N virtual
// pass-through ports, each connected to a converter stand-in here that
// accepts and stays silent, first with no application on any port, then with
// every port held open by this program (as an application that waits for
// bytes would). Measured over each idle span: CPU of the whole process (% of
// one core), wake-ups per second (context switches of all its threads), its
// threads and inotify instances.
//
// Usage: service_bench [seconds per run, default 10] [port counts, default 100 1000]
// Run as a user whose descriptor limit allows about 5 per port (root here).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct TTempDir {
  std::string Path;
  TTempDir() {
    char name[] = "/tmp/service_bench.XXXXXX";
    Path = ::mkdtemp(name);
  }
  ~TTempDir() { std::filesystem::remove_all(Path); }
};

// A converter that takes every connection and never says a word.
class TSilentConverter {
 public:
  TSilentConverter() {
    FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(FListener, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(FListener, 4096);
    ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
    FThread = std::thread([this] { Run(); });
  }
  ~TSilentConverter() {
    FStop = true;
    FThread.join();
    for (const int fd : FClients) ::close(fd);
    ::close(FListener);
  }
  uint16_t Port() const { return FPort; }
  size_t Connections() const { return FCount; }

 private:
  void Run() {
    while (!FStop) {
      pollfd pfd{FListener, POLLIN, 0};
      if (::poll(&pfd, 1, 100) <= 0) continue;
      const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      FClients.push_back(fd);
      ++FCount;
    }
  }

  int FListener = -1;
  uint16_t FPort = 0;
  std::vector<int> FClients;
  std::atomic<size_t> FCount{0};
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

std::string ReadAll(const std::string& APath) {
  std::ifstream file(APath);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// User and system CPU of a process, in seconds.
double CpuSeconds(pid_t APid) {
  const std::string stat = ReadAll("/proc/" + std::to_string(APid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields 3 to 13, then utime (14) and stime (15).
  for (int i = 3; i <= 13; ++i) fields >> field;
  fields >> utime >> stime;
  return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

struct TThreads {
  long Count = 0;
  long Switches = 0;  // voluntary and involuntary, summed over the threads
};

TThreads Threads(pid_t APid) {
  TThreads result;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(APid) + "/task")) {
    ++result.Count;
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        result.Switches += std::atol(line.substr(line.find(':') + 1).c_str());
  }
  return result;
}

int InotifyInstances(pid_t APid) {
  int count = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(APid) + "/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(fd.path(), error).string() == "anon_inode:inotify") ++count;
  }
  return count;
}

bool WaitUntil(const std::function<bool()>& ACondition, std::chrono::seconds ALimit) {
  const auto end = Clock::now() + ALimit;
  while (!ACondition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

bool Measure(int APorts, double ASeconds) {
  TTempDir data;
  TTempDir ports;
  TSilentConverter converter;
  {
    std::ofstream config(data.Path + "/config.cfg");
    config << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Orvane Description=\"Orvane config file\">\n";
    for (int i = 0; i < APorts; ++i)
      config << "  <Port ComName=\"IDLE" << i << "\" IpAddress=\"127.0.0.1\" PortNumber=\""
             << converter.Port() << "\" Protocol=\"Сквозной режим\"/>\n";
    config << "</Orvane>\n";
  }
  const std::string out = data.Path + "/stdout.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> args = {ORVANE_EXECUTABLE, "--headless", "--data-dir",
                                   data.Path,         "--port-dir", ports.Path};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, ORVANE_EXECUTABLE, &actions, nullptr, argv.data(), environ) != 0) return false;
  posix_spawn_file_actions_destroy(&actions);

  const bool ready =
      WaitUntil([&] { return ReadAll(out).find("Ready\n") != std::string::npos; },
                std::chrono::seconds(120)) &&
      WaitUntil([&] { return converter.Connections() >= size_t(APorts); }, std::chrono::seconds(120));
  bool ok = ready;
  if (ready) {
    const auto span = [&](const char* AHeld) {
      // The start's work (connections, log lines, opens) is over before the count begins.
      std::this_thread::sleep_for(std::chrono::seconds(2));
      const double cpu0 = CpuSeconds(pid);
      const TThreads before = Threads(pid);
      const auto start = Clock::now();
      std::this_thread::sleep_for(std::chrono::duration<double>(ASeconds));
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      const double cpu = CpuSeconds(pid) - cpu0;
      const TThreads after = Threads(pid);
      std::printf("%6d  %6s  %10.3f  %12.1f  %8ld  %8d\n", APorts, AHeld, cpu * 100 / elapsed,
                  double(after.Switches - before.Switches) / elapsed, after.Count, InotifyInstances(pid));
    };
    span("no");
    std::vector<int> held;
    for (int i = 0; i < APorts; ++i) {
      const std::string link = ports.Path + "/IDLE" + std::to_string(i);
      const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) held.push_back(fd);
    }
    span(held.size() == size_t(APorts) ? "yes" : "some");
    for (const int fd : held) ::close(fd);
  } else {
    std::printf("%6d  not ready: %zu of %d ports connected\n%s\n", APorts, converter.Connections(), APorts,
                ReadAll(out).substr(0, 2000).c_str());
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  std::vector<int> counts;
  for (int i = 2; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {100, 1000};
  // The service's descriptors: about five per port (the unit gives 16384).
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  std::printf("idle headless service, %.0f s per run, descriptor limit %llu\n", seconds,
              static_cast<unsigned long long>(limit.rlim_cur));
  std::printf(" ports    held  CPU %%/core  wake-ups/s   threads   inotify\n");
  bool ok = true;
  for (const int ports : counts) ok &= Measure(ports, seconds);
  return ok ? 0 : 1;
}
