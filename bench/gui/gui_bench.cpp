// The window under a flood, beside the service: one virtual port in
// pass-through to a counting converter, an application writing to the port at
// a fixed rate. For the service (the real program with --headless, a child
// process) and then the window (in this process, offscreen, the port's log
// view shown), each for the same time: the bytes per second that reach the
// converter and the resident memory at the start and the end; for the window
// also the time from a click on the "Порт" menu to the menu shown.
//
// Usage: gui_bench [seconds per run, default 600] [bytes per second, default 1000000]

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/gui/frm_add_com_port.h"
#include "app/gui/frm_main.h"
#include "app/gui/gui_messages.h"

extern char** environ;

namespace {

using namespace orvane;
using Clock = std::chrono::steady_clock;

long RssKb(pid_t APid) {
  std::ifstream status("/proc/" + std::to_string(APid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.substr(6).c_str());
  return -1;
}

// Accepts one client at a time and counts what it sends.
class TCountingConverter {
 public:
  TCountingConverter() {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FListen, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(FListen, 4);
    socklen_t length = sizeof address;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
    FThread = std::thread([this] { Serve(); });
  }
  ~TCountingConverter() {
    FStop = true;
    ::shutdown(FListen, SHUT_RDWR);
    ::close(FListen);
    FThread.join();
  }
  uint16_t Port() const { return FPort; }
  uint64_t Bytes() const { return FBytes; }
  bool Connected() const { return FConnected; }

 private:
  void Serve() {
    while (!FStop) {
      const int client = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      FConnected = true;
      char buffer[65536];
      for (;;) {
        const ssize_t got = ::read(client, buffer, sizeof buffer);
        if (got <= 0) break;
        FBytes += static_cast<uint64_t>(got);
      }
      FConnected = false;
      ::close(client);
    }
  }
  int FListen = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FConnected{false};
  std::atomic<uint64_t> FBytes{0};
  std::thread FThread;
};

// An application writing ARate bytes per second to the port, paced in 1 ms slices.
class TFlood {
 public:
  TFlood(const std::string& ALink, long ARate) {
    FThread = std::thread([this, ALink, ARate] {
      // Without blocking: a full port must not keep the flood from stopping.
      const int fd = ::open(ALink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      if (fd < 0) return;
      termios mode{};
      ::tcgetattr(fd, &mode);
      ::cfmakeraw(&mode);
      ::tcsetattr(fd, TCSANOW, &mode);
      const std::string chunk(static_cast<size_t>(ARate / 1000), 'U');
      auto next = Clock::now();
      while (!FStop) {
        size_t done = 0;
        while (done < chunk.size() && !FStop) {
          const ssize_t put = ::write(fd, chunk.data() + done, chunk.size() - done);
          if (put > 0) {
            done += static_cast<size_t>(put);
            FWritten += static_cast<uint64_t>(put);
            continue;
          }
          pollfd writable{fd, POLLOUT, 0};
          ::poll(&writable, 1, 10);
        }
        next += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(next);
      }
      ::close(fd);
    });
  }
  ~TFlood() {
    FStop = true;
    FThread.join();
  }
  uint64_t Written() const { return FWritten; }

 private:
  std::atomic<bool> FStop{false};
  std::atomic<uint64_t> FWritten{0};
  std::thread FThread;
};

void WriteConfig(const std::filesystem::path& ADir, uint16_t APort) {
  std::ofstream file(ADir / "config.cfg");
  file << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Orvane Description=\"Orvane config file\">\n"
       << "  <Port ComName=\"COM40\" IpAddress=\"127.0.0.1\" PortNumber=\"" << APort
       << "\" Protocol=\"Сквозной режим\"/>\n</Orvane>\n";
}

struct TResult {
  double KbPerSecond = 0;
  double OfferedKbPerSecond = 0;
  long RssStartKb = 0;
  long RssEndKb = 0;
  long RssMaxKb = 0;
};

std::filesystem::path FreshDir(const char* AName) {
  const auto dir =
      std::filesystem::temp_directory_path() / (std::string(AName) + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "data");
  std::filesystem::create_directories(dir / "ports");
  return dir;
}

// Floods the port for ASeconds once it is linked and its converter connected;
// APump runs the caller's loop while waiting (the window's) or just sleeps.
TResult Flood(const std::filesystem::path& ALink, TCountingConverter& AConverter, pid_t AProcess,
              int ASeconds, long ARate, const std::function<void(std::chrono::milliseconds)>& APump) {
  TResult result;
  const auto ready = [&] { return std::filesystem::exists(ALink) && AConverter.Connected(); };
  const auto end = Clock::now() + std::chrono::seconds(30);
  while (!ready() && Clock::now() < end) APump(std::chrono::milliseconds(20));
  if (!ready()) {
    std::fprintf(stderr, "port not ready\n");
    return result;
  }
  result.RssStartKb = RssKb(AProcess);
  TFlood flood(ALink.string(), ARate);
  const auto start = Clock::now();
  const uint64_t before = AConverter.Bytes();
  int lastReport = 0;
  while (Clock::now() - start < std::chrono::seconds(ASeconds)) {
    APump(std::chrono::milliseconds(100));
    result.RssMaxKb = std::max(result.RssMaxKb, RssKb(AProcess));
    const int elapsed = static_cast<int>(std::chrono::duration<double>(Clock::now() - start).count());
    if (elapsed / 30 != lastReport / 30) {
      lastReport = elapsed;
      std::fprintf(stderr, "  %4d s: RSS %ld KB, %.0f KB/s so far\n", elapsed, RssKb(AProcess),
                   double(AConverter.Bytes() - before) / 1000.0 / std::max(1, elapsed));
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.KbPerSecond = double(AConverter.Bytes() - before) / 1000.0 / seconds;
  result.OfferedKbPerSecond = double(flood.Written()) / 1000.0 / seconds;
  result.RssEndKb = RssKb(AProcess);
  return result;
}

TResult RunService(int ASeconds, long ARate) {
  const auto dir = FreshDir("gui-bench-service");
  TCountingConverter converter;
  WriteConfig(dir / "data", converter.Port());
  const std::string data = (dir / "data").string();
  const std::string ports = (dir / "ports").string();
  std::vector<std::string> args = {ORVANE_EXECUTABLE, "--headless", "--data-dir", data, "--port-dir", ports};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0) return {};
  posix_spawn_file_actions_destroy(&actions);
  const TResult result = Flood(dir / "ports" / "COM40", converter, child, ASeconds, ARate,
                               [](std::chrono::milliseconds AStep) { std::this_thread::sleep_for(AStep); });
  ::kill(child, SIGTERM);
  ::waitpid(child, nullptr, 0);
  std::filesystem::remove_all(dir);
  return result;
}

// Menu click to menu shown, in ms, measured while the window runs.
class TMenuProbe : public QObject {
 public:
  explicit TMenuProbe(TfrmMain& AWindow) : FWindow(AWindow) {
    AWindow.mmiPort->installEventFilter(this);
    FTimer.setInterval(500);
    QObject::connect(&FTimer, &QTimer::timeout, this, [this] { Click(); });
    FTimer.start();
  }
  std::vector<double> Latencies;

 protected:
  bool eventFilter(QObject*, QEvent* AEvent) override {
    if (AEvent->type() == QEvent::Show && FClicked) {
      Latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - FClickTime).count());
      FClicked = false;
      QTimer::singleShot(20, FWindow.mmiPort, [this] { FWindow.mmiPort->close(); });
    }
    return false;
  }

 private:
  void Click() {
    if (FClicked) return;
    QMenuBar* bar = FWindow.menuBar();
    const QPoint at = bar->actionGeometry(FWindow.mmiPort->menuAction()).center();
    FClicked = true;
    FClickTime = Clock::now();
    // Queued behind whatever the loop has to do, as a real click would be.
    QCoreApplication::postEvent(bar, new QMouseEvent(QEvent::MouseButtonPress, at, bar->mapToGlobal(at),
                                                     Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(bar, new QMouseEvent(QEvent::MouseButtonRelease, at, bar->mapToGlobal(at),
                                                     Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
  }
  TfrmMain& FWindow;
  QTimer FTimer;
  bool FClicked = false;
  Clock::time_point FClickTime;
};

TResult RunWindow(int ASeconds, long ARate, std::vector<double>& ALatencies) {
  const auto dir = FreshDir("gui-bench-window");
  TCountingConverter converter;
  WriteConfig(dir / "data", converter.Port());
  TMessageBoxes messages;
  TfrmAddComPort editor([] { return std::vector<std::string>{}; }, messages);
  TMainWindowSetup setup;
  setup.DataDir = (dir / "data").string();
  setup.PortDir = (dir / "ports").string();
  setup.TrayAvailable = false;
  TResult result;
  {
    TfrmMain window(setup, editor, messages);
    window.show();
    TMenuProbe probe(window);
    result = Flood(dir / "ports" / "COM40", converter, ::getpid(), ASeconds, ARate,
                   [](std::chrono::milliseconds AStep) {
                     // The window's loop runs, waiting for its events, for the step.
                     QEventLoop loop;
                     QTimer::singleShot(AStep, &loop, &QEventLoop::quit);
                     loop.exec();
                   });
    ALatencies = probe.Latencies;
  }
  std::filesystem::remove_all(dir);
  return result;
}

double Percentile(std::vector<double> AValues, double AShare) {
  if (AValues.empty()) return 0;
  std::sort(AValues.begin(), AValues.end());
  return AValues[std::min(AValues.size() - 1, static_cast<size_t>(AShare * double(AValues.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
  const long rate = argc > 2 ? std::atol(argv[2]) : 1000000;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::signal(SIGPIPE, SIG_IGN);
  QApplication app(argc, argv);

  std::fprintf(stderr, "service, %d s at %ld B/s:\n", seconds, rate);
  const TResult service = RunService(seconds, rate);
  std::fprintf(stderr, "window, %d s at %ld B/s:\n", seconds, rate);
  std::vector<double> latencies;
  const TResult window = RunWindow(seconds, rate, latencies);

  std::printf("%-8s %12s %12s %10s %10s %10s\n", "", "offered KB/s", "passed KB/s", "RSS start", "RSS end",
              "RSS max");
  for (const auto& [name, r] : {std::pair{"service", service}, std::pair{"window", window}})
    std::printf("%-8s %12.0f %12.0f %8ld KB %8ld KB %8ld KB\n", name, r.OfferedKbPerSecond, r.KbPerSecond,
                r.RssStartKb, r.RssEndKb, r.RssMaxKb);
  std::printf("window/service throughput: %.1f %%\n",
              service.KbPerSecond > 0 ? 100.0 * window.KbPerSecond / service.KbPerSecond : 0.0);
  std::printf("menu click to shown (%zu clicks): median %.1f ms, p99 %.1f ms, max %.1f ms\n",
              latencies.size(), Percentile(latencies, 0.5), Percentile(latencies, 0.99),
              Percentile(latencies, 1.0));
  return 0;
}
