#pragma once

// The program run headless as a real process, and what such a run needs:
// a data directory with a config.cfg, its output line by line.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/fd_helpers.h"
#include "support/wait_for.h"

extern char** environ;

namespace orvane::test {

inline std::string ReadFile(const std::string& APath) {
  std::ifstream file(APath, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

inline std::string PassThroughPort(const std::string& AName, uint16_t APort) {
  return "<Port ComName=\"" + AName + "\" IpAddress=\"127.0.0.1\" PortNumber=\"" + std::to_string(APort) +
         "\" Protocol=\"Сквозной режим\"/>";
}

// config.cfg in ADataDir with one element per port.
inline void WriteConfig(const std::string& ADataDir, const std::vector<std::string>& APorts) {
  std::ofstream file(ADataDir + "/config.cfg");
  file << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Orvane Description=\"Orvane config file\">\n";
  for (const auto& port : APorts) file << "  " << port << "\n";
  file << "</Orvane>\n";
}

// The program with AArgs, its standard output and error on pipes; killed and
// reaped on destruction whatever the test did. The output is read only when a
// test asks, so a test that runs long asks now and then (WaitOut does).
struct TProcess {
  explicit TProcess(const std::vector<std::string>& AArgs) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    if (::pipe2(err, O_CLOEXEC) != 0) {
      ::close(out[0]);
      ::close(out[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    std::vector<std::string> args = AArgs;
    args.insert(args.begin(), ORVANE_EXECUTABLE);
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&Pid, ORVANE_EXECUTABLE, &actions, nullptr, argv.data(), environ) != 0) Pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    Out.Reset(out[0]);
    Err.Reset(err[0]);
  }
  ~TProcess() {
    if (Pid > 0) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
    }
  }
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

  // Reads standard output until ATimes occurrences of AText are in it, or the deadline passes.
  bool WaitOut(const std::string& AText, size_t ATimes = 1,
               std::chrono::milliseconds ADeadline = std::chrono::seconds(10)) {
    return WaitFor(
        [&] {
          Collect(Out.Get(), OutText);
          return CountOut(AText) >= ATimes;
        },
        ADeadline);
  }
  // Occurrences of AText in the output read so far.
  size_t CountOut(const std::string& AText) const {
    size_t count = 0;
    for (size_t at = OutText.find(AText); at != std::string::npos; at = OutText.find(AText, at + 1)) ++count;
    return count;
  }
  // Stops the program where it is (SIGSTOP) and waits until it stands: what
  // happens around it meanwhile, it sees only once thawed.
  bool Freeze() {
    if (::kill(Pid, SIGSTOP) != 0) return false;
    return WaitFor([&] {
      int status = 0;
      return ::waitpid(Pid, &status, WUNTRACED | WNOHANG) == Pid && WIFSTOPPED(status);
    });
  }
  void Thaw() { ::kill(Pid, SIGCONT); }
  // Waits for the exit; the code, or -1 for a signal or the deadline.
  int Wait() {
    int status = 0;
    const bool ended = WaitFor([&] { return ::waitpid(Pid, &status, WNOHANG) == Pid; });
    Pid = -1;
    Collect(Err.Get(), ErrText);
    Collect(Out.Get(), OutText);
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  static void Collect(int AFd, std::string& AText) {
    char buffer[4096];
    pollfd pfd{AFd, POLLIN, 0};
    while (::poll(&pfd, 1, 0) > 0) {
      const ssize_t n = ::read(AFd, buffer, sizeof buffer);
      if (n <= 0) break;
      AText.append(buffer, static_cast<size_t>(n));
    }
  }

  pid_t Pid = -1;
  TTestFd Out;
  TTestFd Err;
  std::string OutText;
  std::string ErrText;
};

}  // namespace orvane::test
