#pragma once

#include <termios.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/port_host.h"

#include <gtest/gtest.h>

#include "log/port_log_lines.h"
#include "platform/main_dispatcher.h"
#include "ports/port_environment.h"
#include "ports/port_manager.h"
#include "support/fd_helpers.h"
#include "support/temp_dir.h"

namespace orvane::test {

// The clock of the ports' schedules: real time plus an offset the test moves
// on. Held, it stands still, so bytes written at different real times count
// as written at once.
// Threads: any.
class TTestClock {
 public:
  uint32_t Now() const;
  TTickSource Source() {
    return [this] { return Now(); };
  }
  void Jump(uint32_t AMs);
  void Hold();
  // Runs on from the value it was held at.
  void Release();

 private:
  std::atomic<uint32_t> FOffset{0};
  std::atomic<bool> FHeld{false};
  std::atomic<uint32_t> FHeldAt{0};
};

// A TCP server on loopback that echoes every byte back. Stop closes the
// listener and the connection (a converter switched off); Start listens again
// on the same port.
// Threads: its own thread serves; the test calls the rest. FLock guards the
// recorded bytes and the connection count.
class TEchoServer {
 public:
  TEchoServer();
  ~TEchoServer();
  TEchoServer(const TEchoServer&) = delete;
  TEchoServer& operator=(const TEchoServer&) = delete;

  uint16_t Port() const { return FPort; }
  void Start();
  void Stop();
  // Closes the current connection; the next one is accepted.
  void DropClient() { FDropClient = true; }
  size_t Connections() const;
  std::string Received() const;

 private:
  void Run();

  uint16_t FPort = 0;
  TTestFd FListener;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FDropClient{false};
  mutable std::mutex FLock;
  size_t FConnections = 0;
  std::string FReceived;
  std::thread FThread;
};

// An application on a virtual port: opens the link like any serial device.
class TPtyClient {
 public:
  explicit TPtyClient(const std::string& APath);
  bool Valid() const { return FFd.Valid(); }
  int Fd() const { return FFd.Get(); }
  bool Write(const std::string& AData);
  // Reads until AWant bytes came or the deadline passed; returns what came.
  std::string Read(size_t AWant, int ATimeoutMs = 10000);
  // Speed and stop bits, as an application sets them with tcsetattr.
  bool SetLine(speed_t ASpeed, bool ATwoStopBits);
  // Speed, word length, parity and stop bits at once, as a serial library sets them:
  // ABits holds the CSIZE, PARENB, PARODD, CMSPAR and CSTOPB bits wanted.
  bool SetLineControl(speed_t ASpeed, tcflag_t ABits);
  void Close() { FFd.Reset(); }

 private:
  TTestFd FFd;
};

// A pty pair standing in for a physical serial device: the port opens ALink,
// which points at the slave; the test is the device on the master side.
class TDeviceStandIn {
 public:
  explicit TDeviceStandIn(std::string ALink);
  const std::string& Link() const { return FLink; }
  int Fd() const { return FMaster.Get(); }
  // The adapter pulled out: the master closes, the slave node vanishes.
  void Unplug();
  // Plugged in again: a fresh pty behind the same link.
  void Plug();
  bool Write(const std::string& AData);
  std::string Read(size_t AWant, int ATimeoutMs = 10000);
  // The settings the port gave the device.
  termios Settings() const;

 private:
  std::string FLink;
  TTestFd FMaster;
};

// Stands for the main window: a dispatcher served by the test thread, the
// environment and a port host whose lines record what would be written to the
// file and shown. Messages of the host are recorded too.
// Threads: the test thread is the main thread; the recorded lines are guarded by FLock.
class TPortsHarness {
 public:
  TPortsHarness();
  ~TPortsHarness();

  // The host's Add without a save: as the window adds a port. None when refused.
  TPortManager* Add(const TLumPortParams& APortParams);
  TLumPortList& List() const { return Host->List(); }
  TPortLogLines& LinesOf(const TPortManager* APort) const { return *Host->LinesOf(APort); }
  // Serves the dispatcher until ACondition holds or the deadline passes.
  bool Pump(const std::function<bool()>& ACondition,
            std::chrono::milliseconds ADeadline = std::chrono::seconds(10));
  // Shuts the host down (the ports, then the lines), as the window does at its end.
  void DestroyList();

  std::string LinkPath(const std::string& AName) const { return PortDir.Str() + "/" + AName; }
  // Records every line given to the file and shown ("(%s) %s" text).
  std::vector<std::string> FileLines() const;
  std::vector<std::string> ShownLines() const;
  size_t CountShown(const std::string& ALine) const;
  size_t CountFile(const std::string& ALine) const;
  size_t CountShownContaining(const std::string& APart) const;
  size_t CountFileContaining(const std::string& APart) const;
  // The test clock when ALine first went to the file; nullopt when it never did.
  std::optional<uint32_t> FileLineTime(const std::string& ALine) const;
  bool WaitShown(const std::string& ALine, size_t ATimes = 1,
                 std::chrono::milliseconds ADeadline = std::chrono::seconds(10));
  bool WaitFile(const std::string& ALine, size_t ATimes = 1,
                std::chrono::milliseconds ADeadline = std::chrono::seconds(10));
  // Moves the clock on and lets every port look at it.
  void Jump(uint32_t AMs);
  // Serves the main thread's hand-offs once (for ProbeGetsThrough and ReadAfterProbes).
  std::function<void()> Serve() {
    return [this] { Dispatcher.WaitAndProcess(0); };
  }

  TTempDir PortDir;
  TTestClock Clock;
  TMainDispatcher Dispatcher;
  TPortEnvironment Env;
  TTempDir DataDir;
  // Every message of the host, "title: text".
  struct TMessages : IUserMessages {
    void Show(const std::string& ATitle, const std::string& AText, TMessageKind) override {
      Shown.push_back(ATitle + ": " + AText);
    }
    std::vector<std::string> Shown;
  } Messages;
  std::unique_ptr<TPortHost> Host;
  std::atomic<int> StateChanges{0};
  // The states of every port seen at each state change (main thread).
  std::vector<std::vector<bool>> StatesSeen;
  std::atomic<bool> Ending{false};
  // Besides the recording: the host's PortBuilt and ShowLine, for a test's own view.
  std::function<void(TPortManager& APort, TPortLogLines& ALines)> OnBuilt;
  std::function<void(const TPortManager& APort, const std::string& ALine)> OnShown;

 private:
  mutable std::mutex FLock;
  std::vector<std::string> FFile;
  std::vector<uint32_t> FFileTimes;
  std::vector<std::string> FShown;
};

// Reads AWant bytes from an application or a device stand-in (anything with
// Read(want, timeoutMs)) while the main thread is served.
template <class TReader>
std::string ReadWhilePumping(TPortsHarness& AHarness, TReader& AReader, size_t AWant) {
  std::string data;
  AHarness.Pump([&] {
    data += AReader.Read(AWant - data.size(), 1);
    return data.size() >= AWant;
  });
  return data;
}

// A broker passes QoS 0 bytes on only once it has processed the receiver's
// SUBSCRIBE, which nothing the program shows promises ("Connect - OK" and a
// working port come before it). So a probe byte goes from AFrom until ATo gets
// one; probes still on their way arrive before anything sent later, and
// ReadAfterProbes skips them. AServe runs between reads (a harness's main thread).
inline constexpr char PROBE = '~';

template <class TFrom, class TTo>
::testing::AssertionResult ProbeGetsThrough(TFrom& AFrom, TTo& ATo,
                                            const std::function<void()>& AServe = {}) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!AFrom.Write(std::string(1, PROBE))) return ::testing::AssertionFailure() << "probe not written";
    for (int i = 0; i < 10; ++i) {
      if (AServe) AServe();
      if (ATo.Read(1, 20) == std::string(1, PROBE)) return ::testing::AssertionSuccess();
    }
  }
  return ::testing::AssertionFailure() << "no probe got through";
}

// AWant bytes after any probes still on their way.
template <class TPort>
std::string ReadAfterProbes(TPort& AReader, size_t AWant, const std::function<void()>& AServe = {}) {
  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (data.size() < AWant && std::chrono::steady_clock::now() < deadline) {
    if (AServe) AServe();
    const std::string got = AReader.Read(1, 20);
    if (data.empty() && got == std::string(1, PROBE)) continue;
    data += got;
  }
  return data + AReader.Read(AWant - std::min(AWant, data.size()), 0);
}

// True when APath exists as a link or any other file (a port's link may point nowhere).
bool LinkExists(const std::string& APath);

// AToB written at A arrives whole at B, then AToA written at B arrives whole at A, and
// nothing more comes to either (no byte twice).
::testing::AssertionResult BytesCrossBothWays(TPortsHarness& AHarness, TPtyClient& AAppA, TPtyClient& AAppB,
                                              const std::string& AToB, const std::string& AToA);

// A record of a port for the tests.
TLumPortParams VirtualParams(const std::string& AName, const std::string& AProtocol, uint16_t APort,
                             uint16_t AReadPacketTimeout = 0);
TLumPortParams MqttParams(const std::string& AName, uint16_t ABrokerPort, const std::string& ATopic,
                          uint32_t AKey = 12345);

}  // namespace orvane::test
