#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/wait_for.h"

extern char** environ;

namespace orvane::test {

namespace {

// A pipe whose ends close on exec; the child gets its end through dup2, which
// clears that flag on the copy.
bool MakePipe(TTestFd& ARead, TTestFd& AWrite) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  ARead.Reset(fds[0]);
  AWrite.Reset(fds[1]);
  return true;
}

}  // namespace

TChildProcess::TChildProcess(const std::vector<std::string>& AArgs, TChildPipes APipes) {
  if (AArgs.empty()) return;
  // The child's ends, closed here once it has its copies.
  TTestFd childIn;
  TTestFd childOut;
  TTestFd childErr;
  if (APipes.In && !MakePipe(childIn, FIn)) return;
  if (APipes.Out && !MakePipe(FOut, childOut)) return;
  if (APipes.Err && !MakePipe(FErr, childErr)) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (childIn.Valid()) posix_spawn_file_actions_adddup2(&actions, childIn.Get(), 0);
  if (childOut.Valid()) posix_spawn_file_actions_adddup2(&actions, childOut.Get(), 1);
  if (childErr.Valid()) posix_spawn_file_actions_adddup2(&actions, childErr.Get(), 2);
  std::vector<std::string> args = AArgs;
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  if (::posix_spawnp(&FPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) FPid = -1;
  posix_spawn_file_actions_destroy(&actions);
}

TChildProcess::~TChildProcess() {
  FIn.Reset();
  if (FPid > 0 && !FExited) {
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
  }
}

bool TChildProcess::Ended() {
  if (FPid <= 0 || FExited) return true;
  int status = 0;
  if (::waitpid(FPid, &status, WNOHANG) != FPid) return false;
  FStatus = status;
  FExited = true;
  return true;
}

bool TChildProcess::Wait(int& AStatus, std::chrono::milliseconds ADeadline) {
  const bool ended = WaitFor([&] { return Ended(); }, ADeadline);
  AStatus = FStatus;
  return ended && FPid > 0;
}

bool TChildProcess::Freeze() {
  if (FPid <= 0 || FExited || ::kill(FPid, SIGSTOP) != 0) return false;
  return WaitFor([&] {
    int status = 0;
    return ::waitpid(FPid, &status, WUNTRACED | WNOHANG) == FPid && WIFSTOPPED(status);
  });
}

void TChildProcess::Thaw() {
  if (FPid > 0 && !FExited) ::kill(FPid, SIGCONT);
}

void ReadAvailable(int AFd, std::string& AText) {
  char buffer[4096];
  pollfd pfd{AFd, POLLIN, 0};
  while (::poll(&pfd, 1, 0) > 0) {
    const ssize_t n = ::read(AFd, buffer, sizeof buffer);
    if (n <= 0) break;
    AText.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace orvane::test
