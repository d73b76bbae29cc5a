#pragma once

// The program run headless as a real process, and what such a run needs:
// a data directory with a config.cfg, its output line by line.

#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/wait_for.h"

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
class TProcess : public TChildProcess {
 public:
  explicit TProcess(const std::vector<std::string>& AArgs)
      : TChildProcess(WithProgram(AArgs), {.In = false, .Out = true, .Err = true}) {}
  // The program started by ALauncher (env, setpriv, sh -c '… exec "$0" "$@"'),
  // which is given the program and AArgs after its own arguments.
  TProcess(std::vector<std::string> ALauncher, const std::vector<std::string>& AArgs)
      : TChildProcess(Launched(std::move(ALauncher), AArgs), {.In = false, .Out = true, .Err = true}) {}

  // Reads standard output until ATimes occurrences of AText are in it, or the deadline passes.
  bool WaitOut(const std::string& AText, size_t ATimes = 1,
               std::chrono::milliseconds ADeadline = std::chrono::seconds(10)) {
    return WaitFor(
        [&] {
          CollectOut();
          return Count(OutText, AText) >= ATimes;
        },
        ADeadline);
  }
  // Reads standard error until AText is in it, or the deadline passes.
  bool WaitErr(const std::string& AText, std::chrono::milliseconds ADeadline = std::chrono::seconds(10)) {
    return WaitFor(
        [&] {
          CollectErr();
          return ErrText.find(AText) != std::string::npos;
        },
        ADeadline);
  }
  // Occurrences of AText in the output read so far.
  size_t CountOut(const std::string& AText) const { return Count(OutText, AText); }
  void CollectOut() { ReadAvailable(Out(), OutText); }
  void CollectErr() { ReadAvailable(Err(), ErrText); }
  // Waits for the exit; the code, or -1 for a signal or the deadline.
  int Wait() {
    int status = 0;
    const bool ended = TChildProcess::Wait(status);
    CollectErr();
    CollectOut();
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string OutText;
  std::string ErrText;

 private:
  static std::vector<std::string> WithProgram(std::vector<std::string> AArgs) {
    AArgs.insert(AArgs.begin(), ORVANE_EXECUTABLE);
    return AArgs;
  }
  static std::vector<std::string> Launched(std::vector<std::string> ALauncher,
                                           const std::vector<std::string>& AArgs) {
    for (const auto& arg : WithProgram(AArgs)) ALauncher.push_back(arg);
    return ALauncher;
  }
  static size_t Count(const std::string& AIn, const std::string& AText) {
    size_t count = 0;
    for (size_t at = AIn.find(AText); at != std::string::npos; at = AIn.find(AText, at + 1)) ++count;
    return count;
  }
};

// "--status" as a monitoring check runs it: its lines and its exit code.
struct TAsked {
  int Code = -1;
  std::string Out;
  std::string Err;
};

inline TAsked AskStatusOf(const std::string& ADataDir) {
  TProcess status({"--status", "--data-dir", ADataDir});
  TAsked asked;
  asked.Code = status.Wait();
  asked.Out = status.OutText;
  asked.Err = status.ErrText;
  return asked;
}

// Asks until APredicate holds for an answer, or the deadline passes; the last answer.
template <typename TPredicate>
TAsked AskUntil(const std::string& ADataDir, TPredicate APredicate) {
  TAsked asked;
  test::WaitFor([&] {
    asked = AskStatusOf(ADataDir);
    return APredicate(asked);
  });
  return asked;
}

}  // namespace orvane::test
