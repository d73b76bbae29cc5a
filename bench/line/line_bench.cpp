// Polling a device on a serial line through a virtual port, side by side with socat in one
// run. An application opens the port's link (raw termios) and runs request/response
// transactions back to back: 8 bytes out, 25 bytes back, the next request at once. Behind the
// port a converter simulator takes each request, keeps it for the time the request and the
// device's answer need on a line of the given speed (10 bits per byte), then returns the
// answer; without a line it answers at once (bare loopback).
//   transactions - per second, at 9600, 115200 and 256000 baud and bare loopback: socat (pty
//                  to TCP, Nagle off) against a pass-through and an IP485 port, each with the
//                  default send pause (10 ms) and with none;
//   round trips  - 16 bytes echoed back to back on bare loopback: min, median, p99, max.
// Usage: line_bench [seconds per transaction run, default 3] [round trips, default 500]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/port_apps.h"
#include "common/round_trips.h"
#include "portkit/port_kit.h"
#include "support/fake_converter.h"
#include "support/fd_helpers.h"
#include "support/temp_dir.h"

namespace {

using namespace orvane;
using namespace orvane::test;
using TClock = std::chrono::steady_clock;

constexpr size_t REQUEST_BYTES = 8;
constexpr size_t ANSWER_BYTES = 25;
constexpr size_t ECHO_BYTES = 16;
constexpr int IO_TIMEOUT_MS = 3000;
// An extended IP485 frame from the host: 24 header bytes, the payload length at 22.
constexpr size_t FRAME_HEADER = 24;

// A converter with a device behind it on a serial line of ABaud (0: no line). Each request of
// ARequest bytes is answered by AAnswer bytes (0: the request itself) once both have crossed
// the line. In frame mode host frames are acknowledged at once and the answer goes back in a
// data frame. One connection at a time.
// Threads: its own thread serves; the owner only constructs and destroys it.
class TLineSimulator {
 public:
  TLineSimulator(bool AFrames, uint32_t ABaud, size_t ARequest, size_t AAnswer)
      : FFrames(AFrames), FBaud(ABaud), FRequest(ARequest), FAnswer(AAnswer), FThread([this] { Run(); }) {}
  ~TLineSimulator() {
    FStop = true;
    FThread.join();
  }
  TLineSimulator(const TLineSimulator&) = delete;
  TLineSimulator& operator=(const TLineSimulator&) = delete;
  uint16_t Port() const { return FListener.Port(); }

 private:
  void Run() {
    while (!FStop) {
      TTestFd client = FListener.Accept(100);
      if (!client.Valid()) continue;
      // A converter answers at once: its acknowledgement must not hold the answer back.
      const int on = 1;
      ::setsockopt(client.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      Serve(client.Get());
    }
  }

  void Serve(int AFd) {
    std::string in, requests;
    char buffer[4096];
    while (!FStop) {
      pollfd pfd{AFd, POLLIN, 0};
      if (::poll(&pfd, 1, 100) <= 0) continue;
      const ssize_t n = ::read(AFd, buffer, sizeof buffer);
      if (n <= 0) return;
      if (!FFrames) {
        requests.append(buffer, static_cast<size_t>(n));
      } else {
        in.append(buffer, static_cast<size_t>(n));
        while (in.size() >= FRAME_HEADER) {
          const size_t length = static_cast<uint8_t>(in[22]) * size_t{256} + static_cast<uint8_t>(in[23]);
          if (in.size() < FRAME_HEADER + length) break;
          const std::string frame = in.substr(0, FRAME_HEADER + length);
          in.erase(0, frame.size());
          if (!WriteAllFd(AFd, TFakeConverter::AckFor(frame), IO_TIMEOUT_MS)) return;
          requests += frame.substr(FRAME_HEADER);
        }
      }
      while (requests.size() >= FRequest) {
        const std::string request = requests.substr(0, FRequest);
        requests.erase(0, FRequest);
        const std::string answer = FAnswer == 0 ? request : std::string(FAnswer, '\x5A');
        // The request goes out on the line and the answer comes back on it, 10 bits a byte.
        if (FBaud > 0)
          std::this_thread::sleep_for(std::chrono::microseconds(
              static_cast<int64_t>((request.size() + answer.size()) * 10 * 1000000ull / FBaud)));
        if (!WriteAllFd(AFd, FFrames ? TFakeConverter::DataFrame(0, answer) : answer, IO_TIMEOUT_MS)) return;
      }
    }
  }

  const bool FFrames;
  const uint32_t FBaud;
  const size_t FRequest;
  const size_t FAnswer;
  TLoopbackListener FListener;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

// One way of reaching the simulator from a pty.
struct TPath {
  const char* Name;
  bool Socat;
  const char* Protocol;
  uint16_t SendPause;
};

const TPath PATHS[] = {
    {"socat", true, PROTOCOL_DIRECT, 0},
    {"pass-through, pause 10", false, PROTOCOL_DIRECT, 10},
    {"pass-through, pause 0", false, PROTOCOL_DIRECT, 0},
    {"IP485, pause 10", false, PROTOCOL_IP485, 10},
    {"IP485, pause 0", false, PROTOCOL_IP485, 0},
};

// Runs AWork (given the application's descriptor; -1 when the path could not be set up) with
// an application on APath to a simulator of ABaud.
template <typename TResult>
TResult OnPath(const TPath& APath, uint32_t ABaud, size_t ARequest, size_t AAnswer,
               const std::function<TResult(int)>& AWork) {
  TLineSimulator simulator(std::string(APath.Protocol) == PROTOCOL_IP485, ABaud, ARequest, AAnswer);
  if (APath.Socat) {
    TTempDir dir;
    const std::string link = dir.Str() + "/SOCAT";
    bench::TSocat socat = bench::SocatPtyToTcp(link, simulator.Port());
    TTestFd app = socat.Started() ? bench::OpenApp(link) : TTestFd();
    return AWork(app.Valid() ? app.Get() : -1);
  }
  TPortsHarness h;
  TLumPortParams params = VirtualParams("LINE", APath.Protocol, simulator.Port());
  params.SendPause = APath.SendPause;
  TPortManager* port = h.Add(params);
  if (!bench::ServeUntil(h.Dispatcher, [&] { return port->IsActive(); })) return AWork(-1);
  TTestFd app = bench::OpenApp(h.LinkPath("LINE"));
  const int fd = app.Valid() ? app.Get() : -1;
  return bench::WhileServing<TResult>(h.Dispatcher, [&] { return AWork(fd); });
}

bool Transaction(int AFd, const std::string& ARequest, size_t AAnswer) {
  std::string answer;
  return WriteAllFd(AFd, ARequest, IO_TIMEOUT_MS) && ReadExactlyFd(AFd, AAnswer, answer, IO_TIMEOUT_MS);
}

// Transactions per second over ASeconds, after one unmeasured; negative on a failure.
double TransactionRate(int AFd, double ASeconds) {
  if (AFd < 0) return -1;
  const std::string request(REQUEST_BYTES, '\x01');
  if (!Transaction(AFd, request, ANSWER_BYTES)) return -1;
  const auto start = TClock::now();
  const auto end = start + std::chrono::duration<double>(ASeconds);
  int count = 0;
  while (TClock::now() < end) {
    if (!Transaction(AFd, request, ANSWER_BYTES)) return -1;
    ++count;
  }
  return count / std::chrono::duration<double>(TClock::now() - start).count();
}

// 16-byte round trips back to back, each timed; empty on a failure.
bench::TSamples BackToBack(int AFd, int ARounds) {
  if (AFd < 0) return {};
  const std::string request = "0123456789ABCDEF";
  if (!Transaction(AFd, request, ECHO_BYTES)) return {};
  bench::TSamples ms;
  for (int i = 0; i < ARounds; ++i) {
    const auto start = TClock::now();
    if (!Transaction(AFd, request, ECHO_BYTES)) return {};
    ms.push_back(std::chrono::duration<double, std::milli>(TClock::now() - start).count());
  }
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::max(0.5, std::atof(argv[1])) : 3.0;
  const int rounds = argc > 2 ? std::max(10, std::atoi(argv[2])) : 500;
  ::signal(SIGPIPE, SIG_IGN);

  std::printf("Transactions per second: %zu bytes out, %zu back, the next request at once; %.1f s each\n\n",
              REQUEST_BYTES, ANSWER_BYTES, seconds);
  std::printf("| %-14s |", "line");
  for (const TPath& path : PATHS) std::printf(" %22s |", path.Name);
  std::printf(" %20s |\n|%s|", "pause 0 / socat", std::string(16, '-').c_str());
  for (size_t i = 0; i < std::size(PATHS); ++i) std::printf("%s|", std::string(24, '-').c_str());
  std::printf("%s|\n", std::string(22, '-').c_str());
  for (const uint32_t baud : {9600u, 115200u, 256000u, 0u}) {
    const std::string line = baud == 0 ? "bare loopback" : std::to_string(baud) + " baud";
    std::printf("| %-14s |", line.c_str());
    std::vector<double> rates;
    for (const TPath& path : PATHS) {
      const double rate = OnPath<double>(path, baud, REQUEST_BYTES, ANSWER_BYTES,
                                         [&](int AFd) { return TransactionRate(AFd, seconds); });
      rates.push_back(rate);
      if (rate < 0)
        std::printf(" %22s |", "failed");
      else
        std::printf(" %22.1f |", rate);
      std::fflush(stdout);
    }
    const std::string ratio = rates[0] > 0 && rates[2] > 0 && rates[4] > 0
                                  ? std::to_string(int(rates[2] * 100 / rates[0])) + " % / " +
                                        std::to_string(int(rates[4] * 100 / rates[0])) + " %"
                                  : "";
    std::printf(" %20s |\n", ratio.c_str());
  }

  std::printf("\n16-byte round trips back to back on bare loopback, %d rounds, ms\n\n", rounds);
  std::printf("| %-24s | %8s | %8s | %8s | %8s | %14s |\n", "path", "min", "median", "p99", "max",
              "median - socat");
  std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(26, '-').c_str(), std::string(10, '-').c_str(),
              std::string(10, '-').c_str(), std::string(10, '-').c_str(), std::string(10, '-').c_str(),
              std::string(16, '-').c_str());
  double socatMedian = -1;
  for (const TPath& path : PATHS) {
    const bench::TStats s = bench::Summarise(
        OnPath<bench::TSamples>(path, 0, ECHO_BYTES, 0, [&](int AFd) { return BackToBack(AFd, rounds); }));
    if (!s.Valid) {
      std::printf("| %-24s | %8s | %8s | %8s | %8s | %14s |\n", path.Name, "failed", "", "", "", "");
      continue;
    }
    if (path.Socat) socatMedian = s.Median;
    char difference[32] = "";
    if (socatMedian >= 0) std::snprintf(difference, sizeof difference, "%+.3f", s.Median - socatMedian);
    std::printf("| %-24s | %8.3f | %8.3f | %8.3f | %8.3f | %14s |\n", path.Name, s.Min, s.Median, s.P99,
                s.Max, difference);
    std::fflush(stdout);
  }
  return 0;
}
