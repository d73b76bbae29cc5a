#pragma once

// What the benchmark programs that run whole ports share: an application opening a port's
// link, the main thread serving the dispatcher while work runs elsewhere, and socat as the
// reference bridge.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/main_dispatcher.h"
#include "support/fd_helpers.h"

extern char** environ;

namespace orvane::bench {

// Opens the link as a serial program does, once it exists, and makes the line raw.
inline test::TTestFd OpenApp(const std::string& ALink) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    test::TTestFd fd(::open(ALink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Valid()) {
      termios tio{};
      ::tcgetattr(fd.Get(), &tio);
      ::cfmakeraw(&tio);
      ::tcsetattr(fd.Get(), TCSANOW, &tio);
      return fd;
    }
    if (std::chrono::steady_clock::now() > giveUp) return test::TTestFd();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Runs AWork on a thread of its own while this thread serves the dispatcher.
template <typename TResult>
TResult WhileServing(TMainDispatcher& ADispatcher, const std::function<TResult()>& AWork) {
  std::atomic<bool> done{false};
  TResult result{};
  std::thread worker([&] {
    result = AWork();
    done = true;
  });
  while (!done) ADispatcher.WaitAndProcess(20);
  worker.join();
  return result;
}

// Serves the dispatcher until ACondition holds or the deadline passes.
inline bool ServeUntil(TMainDispatcher& ADispatcher, const std::function<bool()>& ACondition,
                       std::chrono::seconds ADeadline = std::chrono::seconds(20)) {
  const auto giveUp = std::chrono::steady_clock::now() + ADeadline;
  while (!ACondition()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    ADispatcher.WaitAndProcess(5);
  }
  return true;
}

// A socat process, ended when this goes.
class TSocat {
 public:
  explicit TSocat(std::vector<std::string> AArgs) {
    std::vector<char*> argv;
    for (auto& arg : AArgs) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (::posix_spawnp(&FPid, "socat", nullptr, nullptr, argv.data(), environ) != 0) FPid = -1;
  }
  ~TSocat() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    ::waitpid(FPid, nullptr, 0);
  }
  TSocat(const TSocat&) = delete;
  TSocat& operator=(const TSocat&) = delete;
  bool Started() const { return FPid > 0; }

 private:
  pid_t FPid = -1;
};

// socat offering a pty at ALink, bridged to a TCP server on loopback with Nagle off.
inline TSocat SocatPtyToTcp(const std::string& ALink, uint16_t APort) {
  return TSocat(
      {"socat", "PTY,link=" + ALink + ",raw,echo=0", "TCP:127.0.0.1:" + std::to_string(APort) + ",nodelay"});
}

}  // namespace orvane::bench
