#pragma once

#include <termios.h>

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
// environment, the port list and each port's lines, which record what would be
// written to the file and shown.
// Threads: the test thread is the main thread; the recorded lines are guarded by FLock.
class TPortsHarness {
 public:
  TPortsHarness();
  ~TPortsHarness();

  // AddPort, the lines object stored in Log, then CreatePort: as the window adds a port.
  TPortManager* Add(const TLumPortParams& APortParams);
  // Serves the dispatcher until ACondition holds or the deadline passes.
  bool Pump(const std::function<bool()>& ACondition,
            std::chrono::milliseconds ADeadline = std::chrono::seconds(10));
  // Destroys the list (then the lines), as the window does at its end.
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

  TTempDir PortDir;
  TTestClock Clock;
  TMainDispatcher Dispatcher;
  TPortEnvironment Env;
  std::unique_ptr<TLumPortList> List;
  std::vector<std::unique_ptr<TPortLogLines>> Lines;
  std::atomic<int> StateChanges{0};
  // The states of every port seen at each state change (main thread).
  std::vector<std::vector<bool>> StatesSeen;
  std::atomic<bool> Ending{false};

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
