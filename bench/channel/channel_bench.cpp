// 16-byte round trips on loopback, channel level, side by side with socat in one run:
//   raw socket    - a plain client against an echo peer (the floor);
//   socat         - the same client through a socat bridge to the echo peer;
//   pass-through  - Send_String, then ReadData until the 16 bytes are back;
//   IP485         - Send_String (frame and acknowledgement), then ReadData until the
//                   converter's echo frame is delivered.
// Rounds start 11 ms apart: a channel keeps consecutive sends 10 ms apart, and the
// others get the same pacing so every path meets the same idle TCP state.
// Usage: channel_bench [rounds, default 500]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "channels/channel_factory.h"
#include "common/round_trips.h"
#include "model/lum_port_params.h"
#include "platform/tcp_socket.h"
#include "support/fake_converter.h"
#include "support/fd_helpers.h"

extern char** environ;

namespace {

using orvane::test::TFakeConverter;
using TClock = std::chrono::steady_clock;

const std::string PAYLOAD = "0123456789ABCDEF";

void Report(const char* AName, const std::vector<double>& AMs) {
  const orvane::bench::TStats s = orvane::bench::Summarise(AMs);
  if (!s.Valid) {
    std::printf("%-14s  (not run)\n", AName);
    return;
  }
  std::printf("%-14s  %9.3f  %9.3f  %9.3f  %9.3f\n", AName, s.Min, s.Median, s.P99, s.Max);
}

using orvane::bench::Measure;

// A socket client: send 16 bytes, read until they are back.
std::vector<double> MeasureSocket(int ARounds, uint16_t APort) {
  orvane::TTcpSocket socket;
  const auto give_up = TClock::now() + std::chrono::seconds(5);
  while (!socket.ConnectTo("127.0.0.1", APort, 1000)) {
    if (TClock::now() > give_up) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  socket.SetNoDelay(true);
  char buf[64];
  return Measure(ARounds, [&] {
    if (!socket.SendAll(PAYLOAD.data(), PAYLOAD.size(), 1000)) return false;
    size_t got = 0;
    while (got < PAYLOAD.size()) {
      if (socket.WaitReadable(1000) <= 0) return false;
      const long n = socket.Recv(buf, sizeof buf);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  });
}

std::vector<double> MeasureChannel(int ARounds, const char* AProtocol, uint16_t APort) {
  orvane::TLumPortParams params;
  params.Init();
  params.Protocol = AProtocol;
  params.PortNumber = APort;
  size_t received = 0;
  auto channel =
      orvane::CreateServerChannel(params, [&](const std::string& AData) { received += AData.size(); });
  if (!channel->Open("127.0.0.1", APort, 1)) return {};
  return Measure(ARounds, [&] {
    received = 0;
    if (!channel->Send_String(PAYLOAD, 0, false)) return false;
    const auto give_up = TClock::now() + std::chrono::seconds(1);
    while (received < PAYLOAD.size()) {
      if (TClock::now() > give_up) return false;
      channel->ReadData();
    }
    return true;
  });
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
  // The fake converter's writes must not kill the process if a client goes first.
  ::signal(SIGPIPE, SIG_IGN);

  TFakeConverter echo(TFakeConverter::TMode::PassThrough);
  echo.SetEcho(true);
  const std::vector<double> raw = MeasureSocket(rounds, echo.Port());

  // socat bridges a port of its own to the echo peer; it is ended when measured.
  std::vector<double> socat;
  uint16_t socatPort = 0;
  {
    // A port that was free a moment ago; nothing else here takes ports meanwhile.
    const orvane::test::TLoopbackListener probe;
    socatPort = probe.Port();
  }
  const std::string listen = "TCP-LISTEN:" + std::to_string(socatPort) + ",bind=127.0.0.1,reuseaddr";
  const std::string connect = "TCP:127.0.0.1:" + std::to_string(echo.Port()) + ",nodelay";
  const char* socatArgs[] = {"socat", listen.c_str(), connect.c_str(), nullptr};
  pid_t socatPid = 0;
  if (::posix_spawnp(&socatPid, "socat", nullptr, nullptr, const_cast<char* const*>(socatArgs), environ) ==
      0) {
    socat = MeasureSocket(rounds, socatPort);
    ::kill(socatPid, SIGTERM);
    ::waitpid(socatPid, nullptr, 0);
  } else {
    std::fprintf(stderr, "socat could not be started\n");
  }

  TFakeConverter echo2(TFakeConverter::TMode::PassThrough);
  echo2.SetEcho(true);
  const std::vector<double> direct = MeasureChannel(rounds, orvane::PROTOCOL_DIRECT, echo2.Port());

  TFakeConverter converter(TFakeConverter::TMode::Frames);
  converter.SetEcho(true);
  const std::vector<double> ip485 = MeasureChannel(rounds, orvane::PROTOCOL_IP485, converter.Port());

  std::printf("16-byte round trips on loopback, %d rounds, milliseconds\n", rounds);
  std::printf("%-14s  %9s  %9s  %9s  %9s\n", "path", "min", "median", "p99", "max");
  Report("raw socket", raw);
  Report("socat", socat);
  Report("pass-through", direct);
  Report("IP485", ip485);
  return 0;
}
