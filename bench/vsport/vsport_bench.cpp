// Cost of virtual ports: what idle ports take (CPU time and wake-ups per
// second), and the throughput of one port echoing through this process,
// measured against socat echoing through a pty and a pipe.
//
// Usage: vsport_bench [idle seconds] [megabytes to echo]

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/main_dispatcher.h"
#include "platform/pty_port.h"

extern char** environ;

namespace {

using namespace orvane;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration ADuration) {
  return std::chrono::duration<double>(ADuration).count();
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Voluntary and involuntary context switches of every thread of this process:
// each one is a wake-up of a sleeping thread or a preemption.
long ContextSwitches() {
  long total = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        total += std::atol(line.substr(line.find(':') + 1).c_str());
    }
  }
  return total;
}

struct TTempDir {
  std::string Path;
  TTempDir() {
    char name[] = "/tmp/vsport_bench.XXXXXX";
    Path = ::mkdtemp(name);
  }
  ~TTempDir() { std::filesystem::remove_all(Path); }
};

void MeasureIdle(TMainDispatcher& ADispatcher, const std::string& ADir, int APorts, double ASeconds,
                 bool AOpened) {
  std::vector<std::unique_ptr<TVSPortAx>> ports;
  std::vector<int> apps;
  // One watch for all, as the program's ports share one.
  const auto watch = std::make_shared<TPtyOpenWatch>();
  for (int i = 0; i < APorts; ++i) {
    ports.push_back(std::make_unique<TVSPortAx>(ADispatcher, ADir, TPortAccess{}, watch));
    ports.back()->OnRxChar = [](TVSPortAx&, int32_t) {};
    const std::string name = "IDLE" + std::to_string(i);
    if (!ports.back()->CreatePort(name)) {
      std::fprintf(stderr, "CreatePort: %s\n", ports.back()->LastError().c_str());
      std::exit(1);
    }
    if (AOpened) apps.push_back(::open((ADir + "/" + name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  }
  // Let the open edges pass before measuring.
  const auto settle = Clock::now() + std::chrono::milliseconds(300);
  while (Clock::now() < settle) ADispatcher.WaitAndProcess(50);

  const double cpu0 = CpuSeconds();
  const long switches0 = ContextSwitches();
  const auto start = Clock::now();
  // The main thread sleeps in the dispatcher as an idle program's event loop would.
  while (Seconds(Clock::now() - start) < ASeconds) ADispatcher.WaitAndProcess(1000);
  const double elapsed = Seconds(Clock::now() - start);
  const double cpu = CpuSeconds() - cpu0;
  const long switches = ContextSwitches() - switches0;
  std::printf("idle, %d ports, %s: CPU %.3f ms/s per port (%.4f %% of a core), %.1f wake-ups/s per port\n",
              APorts, AOpened ? "held open by an application" : "no application",
              cpu * 1000 / elapsed / APorts, cpu * 100 / elapsed / APorts,
              double(switches) / elapsed / APorts);
  for (int fd : apps) ::close(fd);
  ports.clear();
  ADispatcher.ProcessPending();
}

// The application side: writes ATotal bytes into the port in blocks and reads
// the echo, both at once. Returns the seconds it took, or a negative value
// when the echo did not match or stalled.
double EchoThrough(const std::string& ALink, size_t ATotal) {
  int fd = -1;
  const auto openDeadline = Clock::now() + std::chrono::seconds(10);
  while (fd < 0 && Clock::now() < openDeadline) {
    fd = ::open(ALink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (fd < 0) return -1;
  std::string block(4096, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + 1);
  size_t sent = 0, received = 0;
  bool ok = true;
  const auto start = Clock::now();
  while (received < ATotal) {
    // At most 16 KiB in flight, so neither side's buffers overflow.
    const bool canSend = sent < ATotal && sent - received < 16384;
    pollfd pfd{fd, short(POLLIN | (canSend ? POLLOUT : 0)), 0};
    if (::poll(&pfd, 1, 5000) <= 0) {
      ok = false;
      break;
    }
    if ((pfd.revents & POLLOUT) && canSend) {
      const size_t offset = sent % block.size();
      const size_t chunk = std::min(block.size() - offset, ATotal - sent);
      const ssize_t n = ::write(fd, block.data() + offset, chunk);
      if (n > 0) sent += size_t(n);
    }
    if (pfd.revents & POLLIN) {
      char buffer[8192];
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      for (ssize_t i = 0; i < n; ++i, ++received) ok &= buffer[i] == block[received % block.size()];
    }
  }
  const double elapsed = Seconds(Clock::now() - start);
  ::close(fd);
  return ok ? elapsed : -1;
}

void Report(const char* AWhat, size_t ATotal, double ASeconds) {
  if (ASeconds < 0) {
    std::printf("%s: FAILED (echo stalled or differed)\n", AWhat);
    return;
  }
  std::printf("%s: %zu bytes each way in %.3f s, %.2f MB/s\n", AWhat, ATotal, ASeconds,
              double(ATotal) / ASeconds / 1e6);
}

double EchoThroughPort(TMainDispatcher& ADispatcher, const std::string& ADir, size_t ATotal) {
  TVSPortAx port(ADispatcher, ADir);
  port.OnRxChar = [](TVSPortAx& ASender, int32_t ACount) {
    std::string buffer(static_cast<size_t>(ACount), '\0');
    int32_t count = ACount;
    ASender.Read(buffer.data(), count);
    ASender.Write(buffer.data(), count);
  };
  if (!port.CreatePort("ECHO")) return -1;
  std::atomic<double> result{-2};
  std::thread app([&] { result = EchoThrough(ADir + "/ECHO", ATotal); });
  while (result == -2) ADispatcher.WaitAndProcess(50);
  app.join();
  return result;
}

double EchoThroughSocat(const std::string& ADir, size_t ATotal) {
  const std::string link = ADir + "/SOCAT";
  std::vector<std::string> args = {"socat", "PTY,link=" + link + ",raw,echo=0", "PIPE"};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, "socat", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  const double result = EchoThrough(link, ATotal);
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const double idleSeconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  const size_t megabytes = argc > 2 ? size_t(std::atol(argv[2])) : 16;
  const size_t total = megabytes * 1000 * 1000;
  TTempDir dir;
  TMainDispatcher dispatcher;

  MeasureIdle(dispatcher, dir.Path, 10, idleSeconds, false);
  MeasureIdle(dispatcher, dir.Path, 10, idleSeconds, true);
  Report("echo through a virtual port and this process", total, EchoThroughPort(dispatcher, dir.Path, total));
  Report("echo through socat (pty and pipe)", total, EchoThroughSocat(dir.Path, total));
  return 0;
}
