// Whole bridges on loopback, side by side with their references in one run. An
// application opens the link of a virtual port (raw termios) as any serial program would:
//   round trips  - 16 bytes through a pass-through port to an echo server, against socat
//                  bridging a pty to the same kind of server; through an IP485 port to a
//                  converter that acknowledges and echoes; through two MQTT ports on one
//                  topic (the application on the second port echoes), against two bare
//                  MQTT sessions on the same broker; the same two ports on two brokers
//                  joined by a mosquitto bridge, and on the TLS listener;
//   throughput   - bytes through the pass-through port to the echo server and back, every
//                  byte checked in order, against socat;
//   idle cost    - 1, 10 and 100 ports, half TCP connected to a silent server, half MQTT
//                  connected to mosquitto: CPU of this process and resident memory per port.
// Rounds start 11 ms apart: a TCP channel keeps consecutive sends 10 ms apart, and the
// references get the same pacing so every path meets the same idle TCP state.
// The main thread serves the dispatcher as the window does; the application runs on its own.
// Usage: bridges_bench [rounds, default 300] [KiB to echo, default 4096] [idle seconds, default 5]
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <poll.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/port_apps.h"
#include "common/round_trips.h"
#include "mqtt/mqtt_client.h"
#include "portkit/port_kit.h"
#include "support/fake_converter.h"
#include "support/fd_helpers.h"
#include "support/mosquitto_fixture.h"
#include "support/temp_dir.h"

namespace {

using namespace orvane;
using namespace orvane::test;
using TClock = std::chrono::steady_clock;
using bench::OpenApp;
using bench::ServeUntil;
using bench::SocatPtyToTcp;
using bench::TSocat;
using bench::WhileServing;

const std::string PAYLOAD = "0123456789ABCDEF";
constexpr int IO_TIMEOUT_MS = 2000;

double Seconds(TClock::duration ADuration) {
  return std::chrono::duration<double>(ADuration).count();
}

// ---- round trips ----

using bench::Measure;
using bench::Summarise;
using bench::TSamples;
using bench::TStats;

// The application writes 16 bytes and reads them back; a first round unmeasured lets the
// connection come up.
TSamples EchoRounds(int AFd, int ARounds) {
  std::string back;
  auto round = [&] {
    return WriteAllFd(AFd, PAYLOAD, IO_TIMEOUT_MS) &&
           ReadExactlyFd(AFd, PAYLOAD.size(), back, IO_TIMEOUT_MS) && back == PAYLOAD;
  };
  if (!round()) return {};
  return Measure(ARounds, round);
}

TSamples SocatRoundTrips(const TTempDir& ADir, int ARounds) {
  TEchoServer echo;
  const std::string link = ADir.Str() + "/SOCAT_RT";
  TSocat socat = SocatPtyToTcp(link, echo.Port());
  if (!socat.Started()) return {};
  TTestFd app = OpenApp(link);
  if (!app.Valid()) return {};
  return EchoRounds(app.Get(), ARounds);
}

TSamples PortRoundTrips(const char* AProtocol, uint16_t APeerPort, int ARounds) {
  TPortsHarness h;
  TPortManager* port = h.Add(VirtualParams("RT", AProtocol, APeerPort));
  if (!ServeUntil(h.Dispatcher, [&] { return port->IsActive(); })) return {};
  TTestFd app = OpenApp(h.LinkPath("RT"));
  if (!app.Valid()) return {};
  const int fd = app.Get();
  return WhileServing<TSamples>(h.Dispatcher, [&] { return EchoRounds(fd, ARounds); });
}

// The application on port A writes, the one on port B echoes what came, A reads it back.
TSamples MqttPortRoundTrips(const TLumPortParams& AParamsA, const TLumPortParams& AParamsB, int ARounds) {
  TPortsHarness h;
  TPortManager* a = h.Add(AParamsA);
  TPortManager* b = h.Add(AParamsB);
  if (!ServeUntil(h.Dispatcher, [&] { return a->IsActive() && b->IsActive(); })) return {};
  TTestFd appA = OpenApp(h.LinkPath(AParamsA.ComName));
  TTestFd appB = OpenApp(h.LinkPath(AParamsB.ComName));
  if (!appA.Valid() || !appB.Valid()) return {};
  return WhileServing<TSamples>(h.Dispatcher, [&] {
    std::string atB, atA;
    auto round = [&] {
      return WriteAllFd(appA.Get(), PAYLOAD, IO_TIMEOUT_MS) &&
             ReadExactlyFd(appB.Get(), PAYLOAD.size(), atB, IO_TIMEOUT_MS) &&
             WriteAllFd(appB.Get(), atB, IO_TIMEOUT_MS) &&
             ReadExactlyFd(appA.Get(), PAYLOAD.size(), atA, IO_TIMEOUT_MS) && atA == PAYLOAD;
    };
    // Until both subscriptions are in place, a first round may be lost.
    const auto giveUp = TClock::now() + std::chrono::seconds(10);
    while (!round()) {
      if (TClock::now() > giveUp) return TSamples{};
      // Whatever half of a lost round arrived late is not taken for the next one.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      ReadFor(appA.Get(), 1 << 20, std::chrono::milliseconds(50));
      ReadFor(appB.Get(), 1 << 20, std::chrono::milliseconds(50));
    }
    return Measure(ARounds, round);
  });
}

// The two ports of a round trip: A on ABrokerA, B on ABrokerB, one topic.
std::pair<TLumPortParams, TLumPortParams> PortPair(uint16_t ABrokerA, uint16_t ABrokerB) {
  return {MqttParams("MQ_A", ABrokerA, "bench/ports"), MqttParams("MQ_B", ABrokerB, "bench/ports")};
}

// The same over the TLS listener of ABroker, the broker's certificate checked.
std::pair<TLumPortParams, TLumPortParams> TlsPortPair(const TMosquitto& ABroker) {
  auto pair = PortPair(ABroker.TlsPort(), ABroker.TlsPort());
  for (TLumPortParams* p : {&pair.first, &pair.second}) {
    p->MqttHost = "localhost:" + std::to_string(ABroker.TlsPort());
    p->MqttTls = true;
    p->MqttCaFile = ABroker.CaFile();
  }
  return pair;
}

// The reference: two bare sessions on one topic, as the two ports use it. Each sees its
// own publications too and skips them by the first byte. One thread drives both, as
// fast as it can.
TSamples MqttClientRoundTrips(TMosquitto& ABroker, int ARounds) {
  const std::string topic = "bench/raw";
  TClientParams params;
  params.HostName = "127.0.0.1";
  params.Port = ABroker.Port();
  params.KeepAlive = 60;
  params.ClientID = "bench-raw-a";
  TMQTTClient a(params);
  params.ClientID = "bench-raw-b";
  TMQTTClient b(params);
  int acks = 0;
  std::string atA;
  a.OnSubAck = b.OnSubAck = [&](TMQTTClient*, uint16_t, const std::vector<TSubscribeErrorCode>&) { ++acks; };
  a.OnPublish = [&](TMQTTClient*, uint16_t, TQualityOfService, const std::string&,
                    const std::string& APayload) {
    if (!APayload.empty() && APayload[0] == 'B') atA = APayload.substr(1);
  };
  b.OnPublish = [&](TMQTTClient* ASender, uint16_t, TQualityOfService, const std::string&,
                    const std::string& APayload) {
    uint16_t id = 0;
    if (!APayload.empty() && APayload[0] == 'A') ASender->Publish(topic, "B" + APayload.substr(1), id);
  };
  auto serveUntil = [&](const std::function<bool()>& ACondition, int ATimeoutMs) {
    const auto giveUp = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (!ACondition()) {
      if (TClock::now() > giveUp) return false;
      a.Process();
      b.Process();
    }
    return true;
  };
  uint16_t id = 0;
  if (!a.Connect() || !b.Connect() || !a.Subscribe({topic}, TQualityOfService::QoS0, id) ||
      !b.Subscribe({topic}, TQualityOfService::QoS0, id) || !serveUntil([&] { return acks == 2; }, 5000))
    return {};
  auto round = [&] {
    atA.clear();
    uint16_t packet = 0;
    return a.Publish(topic, "A" + PAYLOAD, packet) &&
           serveUntil([&] { return !atA.empty(); }, IO_TIMEOUT_MS) && atA == PAYLOAD;
  };
  if (!round()) return {};
  return Measure(ARounds, round);
}

// ---- throughput ----

// The application writes ATotal bytes in blocks and reads the echo at once, at most
// 16 KiB in flight. Seconds it took; negative when the echo differed or stalled.
double EchoThrough(int AFd, size_t ATotal) {
  std::string block(4096, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + 1);
  size_t sent = 0, received = 0;
  const auto start = TClock::now();
  while (received < ATotal) {
    const bool canSend = sent < ATotal && sent - received < 16384;
    pollfd pfd{AFd, short(POLLIN | (canSend ? POLLOUT : 0)), 0};
    if (::poll(&pfd, 1, 5000) <= 0) return -1;
    if ((pfd.revents & POLLOUT) && canSend) {
      const size_t offset = sent % block.size();
      const size_t chunk = std::min(block.size() - offset, ATotal - sent);
      const ssize_t n = ::write(AFd, block.data() + offset, chunk);
      if (n > 0) sent += size_t(n);
    }
    if (pfd.revents & POLLIN) {
      char buffer[8192];
      const ssize_t n = ::read(AFd, buffer, sizeof buffer);
      for (ssize_t i = 0; i < n; ++i, ++received)
        if (received >= sent || buffer[i] != block[received % block.size()]) return -1;
    }
  }
  return Seconds(TClock::now() - start);
}

double SocatThroughput(const TTempDir& ADir, size_t ATotal) {
  TEchoServer echo;
  const std::string link = ADir.Str() + "/SOCAT_TP";
  TSocat socat = SocatPtyToTcp(link, echo.Port());
  TTestFd app = OpenApp(link);
  if (!socat.Started() || !app.Valid()) return -1;
  return EchoThrough(app.Get(), ATotal);
}

double PortThroughput(size_t ATotal) {
  TEchoServer echo;
  TPortsHarness h;
  TPortManager* port = h.Add(VirtualParams("TP", PROTOCOL_DIRECT, echo.Port()));
  if (!ServeUntil(h.Dispatcher, [&] { return port->IsActive(); })) return -1;
  TTestFd app = OpenApp(h.LinkPath("TP"));
  if (!app.Valid()) return -1;
  const int fd = app.Get();
  return WhileServing<double>(h.Dispatcher, [&] { return EchoThrough(fd, ATotal); });
}

// ---- idle cost ----

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return double(resident) * double(::sysconf(_SC_PAGESIZE)) / 1024.0;
}

struct TIdle {
  int Ports = 0;
  double CpuPercent = 0;  // of one core, all ports together
  double KiBPerPort = 0;
  bool Ok = false;
};

TIdle MeasureIdle(TMosquitto& ABroker, int APorts, double ASeconds) {
  TIdle result;
  result.Ports = APorts;
  // Never accepts: the kernel completes the connections, nothing is ever said.
  TLoopbackListener silent(256);
  const double rss0 = ResidentKiB();
  {
    TPortsHarness h;
    std::vector<TPortManager*> ports;
    for (int i = 0; i < APorts; ++i) {
      const std::string name = "IDLE" + std::to_string(i);
      ports.push_back(i % 2 == 0 ? h.Add(VirtualParams(name, PROTOCOL_DIRECT, silent.Port()))
                                 : h.Add(MqttParams(name, ABroker.Port(), "bench/idle/" + name)));
    }
    const bool up = ServeUntil(h.Dispatcher, [&] {
      return std::all_of(ports.begin(), ports.end(), [](TPortManager* APort) { return APort->IsActive(); });
    });
    if (!up) return result;
    // The first passes (hellos, subscriptions) pass before measuring.
    const auto settle = TClock::now() + std::chrono::milliseconds(500);
    while (TClock::now() < settle) h.Dispatcher.WaitAndProcess(50);
    const double rss1 = ResidentKiB();
    const double cpu0 = CpuSeconds();
    const auto start = TClock::now();
    while (Seconds(TClock::now() - start) < ASeconds) h.Dispatcher.WaitAndProcess(1000);
    result.CpuPercent = (CpuSeconds() - cpu0) * 100 / Seconds(TClock::now() - start);
    result.KiBPerPort = (rss1 - rss0) / APorts;
    result.Ok = true;
  }
  return result;
}

// ---- report ----

void Row(const char* AName, const TStats& AStats) {
  if (!AStats.Valid) {
    std::printf("| %-32s | %8s | %8s | %8s | %8s |\n", AName, "failed", "", "", "");
    return;
  }
  std::printf("| %-32s | %8.3f | %8.3f | %8.3f | %8.3f |\n", AName, AStats.Min, AStats.Median, AStats.P99,
              AStats.Max);
}

void Difference(const char* AName, const TStats& AMeasured, const TStats& AReference) {
  if (!AMeasured.Valid || !AReference.Valid) return;
  std::printf("%-44s median %+.3f ms, p99 %+.3f ms\n", AName, AMeasured.Median - AReference.Median,
              AMeasured.P99 - AReference.P99);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
  const size_t total = (argc > 2 ? size_t(std::max(1, std::atoi(argv[2]))) : 4096) * 1024;
  const double idleSeconds = argc > 3 ? std::max(0.5, std::atof(argv[3])) : 5.0;
  // A peer that goes first must not end the process.
  ::signal(SIGPIPE, SIG_IGN);
  TTempDir dir;
  TMosquitto::TOptions options;
  options.TcpNoDelay = true;
  options.Tls = true;
  TMosquitto broker(options);
  // A second broker bridged to the first, as two sites of a cluster.
  TMosquitto::TOptions bridgedOptions;
  bridgedOptions.TcpNoDelay = true;
  bridgedOptions.BridgeTo = broker.Port();
  bridgedOptions.BridgeTopic = "bench/#";
  TMosquitto bridged(bridgedOptions);

  const TStats socat = Summarise(SocatRoundTrips(dir, rounds));
  TStats direct, ip485;
  {
    TEchoServer echo;
    direct = Summarise(PortRoundTrips(PROTOCOL_DIRECT, echo.Port(), rounds));
  }
  {
    TFakeConverter converter(TFakeConverter::TMode::Frames);
    converter.SetEcho(true);
    ip485 = Summarise(PortRoundTrips(PROTOCOL_IP485, converter.Port(), rounds));
  }
  const TStats mqttRaw = Summarise(MqttClientRoundTrips(broker, rounds));
  auto roundTrips = [&](const std::pair<TLumPortParams, TLumPortParams>& APorts) {
    return Summarise(MqttPortRoundTrips(APorts.first, APorts.second, rounds));
  };
  const TStats mqttPorts = roundTrips(PortPair(broker.Port(), broker.Port()));
  const TStats mqttBridged = roundTrips(PortPair(broker.Port(), bridged.Port()));
  const TStats mqttTls = roundTrips(TlsPortPair(broker));

  std::printf("16-byte round trips on loopback, %d rounds, ms\n\n", rounds);
  std::printf("| %-32s | %8s | %8s | %8s | %8s |\n", "path", "min", "median", "p99", "max");
  std::printf("|%s|%s|%s|%s|%s|\n", std::string(34, '-').c_str(), std::string(10, '-').c_str(),
              std::string(10, '-').c_str(), std::string(10, '-').c_str(), std::string(10, '-').c_str());
  Row("socat pty to TCP", socat);
  Row("pass-through port", direct);
  Row("IP485 port (fake converter)", ip485);
  Row("two bare MQTT sessions", mqttRaw);
  Row("two MQTT ports, one topic", mqttPorts);
  Row("two MQTT ports, bridged brokers", mqttBridged);
  Row("two MQTT ports, TLS", mqttTls);
  std::printf("\n");
  Difference("pass-through port - socat:", direct, socat);
  Difference("IP485 port - socat:", ip485, socat);
  Difference("MQTT ports - bare MQTT sessions:", mqttPorts, mqttRaw);
  Difference("bridged brokers - one broker:", mqttBridged, mqttPorts);
  Difference("TLS - plain, one broker:", mqttTls, mqttPorts);

  const double socatSeconds = SocatThroughput(dir, total);
  const double portSeconds = PortThroughput(total);
  std::printf("\nEcho throughput, %zu KiB each way, every byte checked in order\n\n", total / 1024);
  auto throughputRow = [&](const char* AName, double ASeconds) {
    if (ASeconds < 0)
      std::printf("| %-32s | %s |\n", AName, "failed (echo stalled or differed)");
    else
      std::printf("| %-32s | %7.3f s | %8.2f MB/s |\n", AName, ASeconds, double(total) / ASeconds / 1e6);
  };
  std::printf("| %-32s | %9s | %13s |\n", "path", "time", "rate");
  throughputRow("socat pty to TCP", socatSeconds);
  throughputRow("pass-through port", portSeconds);
  if (socatSeconds > 0 && portSeconds > 0)
    std::printf("port / socat throughput: %.4f (socat %.0f times faster)\n", socatSeconds / portSeconds,
                portSeconds / socatSeconds);

  std::printf(
      "\nIdle ports (half TCP to a silent server, half MQTT), %.0f s each; "
      "CPU of this process only (mosquitto apart)\n\n",
      idleSeconds);
  std::printf("| %5s | %16s | %18s | %20s |\n", "ports", "CPU % of a core", "CPU % per port",
              "resident KiB per port");
  for (int ports : {1, 10, 100}) {
    const TIdle idle = MeasureIdle(broker, ports, idleSeconds);
    if (!idle.Ok) {
      std::printf("| %5d | %16s | %18s | %20s |\n", ports, "failed", "", "");
      continue;
    }
    std::printf("| %5d | %16.3f | %18.4f | %20.1f |\n", ports, idle.CpuPercent, idle.CpuPercent / ports,
                idle.KiBPerPort);
  }
  return 0;
}
