#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/main_dispatcher.h"
#include "support/fd_helpers.h"
#include "support/wait_for.h"

extern char** environ;

namespace orvane::test {

// Waits for a condition while serving the dispatcher, as the main thread does.
inline bool PumpUntil(TMainDispatcher& ADispatcher, const std::function<bool()>& ACondition,
                      std::chrono::milliseconds ADeadline = std::chrono::seconds(10)) {
  return WaitFor(
      [&] {
        ADispatcher.WaitAndProcess(5);
        return ACondition();
      },
      ADeadline);
}

// A child program with pipes on its standard input and output; killed and
// reaped on destruction whatever the test did.
class TChild {
 public:
  explicit TChild(const std::vector<std::string>& AArgs) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) < 0) return;
    if (::pipe2(out, O_CLOEXEC) < 0) {
      ::close(in[0]);
      ::close(in[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> argv;
    for (const auto& arg : AArgs) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (::posix_spawnp(&FPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    FIn = in[1];
    FOut = out[0];
  }
  ~TChild() {
    CloseIn();
    if (FOut >= 0) ::close(FOut);
    if (FPid > 0 && !FExited) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  bool Started() const { return FPid > 0; }
  int In() const { return FIn; }
  int Out() const { return FOut; }
  void CloseIn() {
    if (FIn >= 0) ::close(FIn);
    FIn = -1;
  }
  // Waits for the end of the program; true with its exit status when it ended in time.
  bool Wait(int& AStatus, std::chrono::milliseconds ADeadline = std::chrono::seconds(10)) {
    if (FExited) return AStatus = FStatus, true;
    const bool ended = WaitFor(
        [&] {
          int status = 0;
          if (::waitpid(FPid, &status, WNOHANG) != FPid) return false;
          FStatus = status;
          FExited = true;
          return true;
        },
        ADeadline);
    AStatus = FStatus;
    return ended;
  }

 private:
  pid_t FPid = -1;
  int FIn = -1;
  int FOut = -1;
  bool FExited = false;
  int FStatus = 0;
};

// Runs a program to its end; true when it exited with status 0.
inline bool RunProgram(const std::vector<std::string>& AArgs) {
  TChild child(AArgs);
  int status = 0;
  return child.Started() && child.Wait(status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace orvane::test
