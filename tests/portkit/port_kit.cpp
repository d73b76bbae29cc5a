#include "portkit/port_kit.h"

#include <sys/stat.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "platform/tick_counter.h"
#include "support/wait_for.h"

namespace orvane::test {

namespace {

std::string ReadFd(int AFd, size_t AWant, int ATimeoutMs) {
  std::string data;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  // Unlike ReadFor: at most AWant bytes, and at least one look however short the deadline.
  for (bool first = true; data.size() < AWant; first = false) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0 && !first) break;
    pollfd pfd{AFd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(std::clamp<long>(left, 0, 20))) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(AFd, buffer, std::min(sizeof buffer, AWant - data.size()));
    if (n > 0) data.append(buffer, static_cast<size_t>(n));
    if (n == 0) break;
  }
  return data;
}

}  // namespace

// ---- TTestClock ----

uint32_t TTestClock::Now() const {
  if (FHeld) return FHeldAt;
  return GetTickCount() + FOffset;
}

void TTestClock::Jump(uint32_t AMs) {
  FOffset += AMs;
  if (FHeld) FHeldAt += AMs;
}

void TTestClock::Hold() {
  FHeldAt = Now();
  FHeld = true;
}

void TTestClock::Release() {
  FOffset = FHeldAt - GetTickCount();
  FHeld = false;
}

// ---- TEchoServer ----

TEchoServer::TEchoServer() {
  Start();
}

TEchoServer::~TEchoServer() {
  Stop();
}

void TEchoServer::Start() {
  Stop();
  FListener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  ::setsockopt(FListener.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(FPort);
  if (::bind(FListener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(FListener.Get(), 16) != 0)
    throw std::runtime_error("echo server: bind/listen failed");
  socklen_t len = sizeof addr;
  ::getsockname(FListener.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
  FPort = ntohs(addr.sin_port);
  FStop = false;
  FThread = std::thread([this] { Run(); });
}

void TEchoServer::Stop() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
  FListener.Reset();
}

void TEchoServer::Run() {
  TTestFd client;
  char buffer[65536];
  while (!FStop) {
    if (FDropClient.exchange(false)) client.Reset();
    pollfd fds[2] = {{FListener.Get(), POLLIN, 0}, {client.Get(), POLLIN, 0}};
    if (::poll(fds, client.Valid() ? 2 : 1, 10) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      TTestFd accepted(::accept4(FListener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (accepted.Valid()) {
        const int one = 1;
        ::setsockopt(accepted.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        client = std::move(accepted);
        std::lock_guard<std::mutex> guard(FLock);
        ++FConnections;
      }
      continue;
    }
    if (client.Valid() && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t n = ::recv(client.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        client.Reset();
        continue;
      }
      {
        std::lock_guard<std::mutex> guard(FLock);
        FReceived.append(buffer, static_cast<size_t>(n));
      }
      WriteAllFd(client.Get(), std::string(buffer, static_cast<size_t>(n)));
    }
  }
}

size_t TEchoServer::Connections() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FConnections;
}

std::string TEchoServer::Received() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FReceived;
}

// ---- TPtyClient ----

TPtyClient::TPtyClient(const std::string& APath)
    : FFd(::open(APath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}

bool TPtyClient::Write(const std::string& AData) {
  return WriteAllFd(FFd.Get(), AData);
}

std::string TPtyClient::Read(size_t AWant, int ATimeoutMs) {
  return ReadFd(FFd.Get(), AWant, ATimeoutMs);
}

bool TPtyClient::SetLine(speed_t ASpeed, bool ATwoStopBits) {
  termios tio{};
  if (::tcgetattr(FFd.Get(), &tio) != 0) return false;
  ::cfsetispeed(&tio, ASpeed);
  ::cfsetospeed(&tio, ASpeed);
  if (ATwoStopBits) {
    tio.c_cflag |= CSTOPB;
  } else {
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  }
  return ::tcsetattr(FFd.Get(), TCSANOW, &tio) == 0;
}

bool TPtyClient::SetLineControl(speed_t ASpeed, tcflag_t ABits) {
  termios tio{};
  if (::tcgetattr(FFd.Get(), &tio) != 0) return false;
  ::cfsetispeed(&tio, ASpeed);
  ::cfsetospeed(&tio, ASpeed);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  tio.c_cflag |= ABits;
  return ::tcsetattr(FFd.Get(), TCSANOW, &tio) == 0;
}

// ---- TDeviceStandIn ----

TDeviceStandIn::TDeviceStandIn(std::string ALink) : FLink(std::move(ALink)) {
  Plug();
}

void TDeviceStandIn::Unplug() {
  FMaster.Reset();
  // The node goes with the adapter; a link left behind would name a pty number
  // that the next pty of any process (a test running beside) may get.
  ::unlink(FLink.c_str());
}

void TDeviceStandIn::Plug() {
  TTestFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.Valid() || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0)
    throw std::runtime_error("device stand-in: no pty");
  char name[128];
  if (::ptsname_r(master.Get(), name, sizeof name) != 0) throw std::runtime_error("device stand-in: ptsname");
  termios tio{};
  ::tcgetattr(master.Get(), &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(master.Get(), TCSANOW, &tio);
  const int flags = ::fcntl(master.Get(), F_GETFL);
  ::fcntl(master.Get(), F_SETFL, flags | O_NONBLOCK);
  const std::string temp = FLink + ".new";
  ::unlink(temp.c_str());
  if (::symlink(name, temp.c_str()) != 0 || ::rename(temp.c_str(), FLink.c_str()) != 0)
    throw std::runtime_error("device stand-in: link");
  FMaster = std::move(master);
}

bool TDeviceStandIn::Write(const std::string& AData) {
  return WriteAllFd(FMaster.Get(), AData);
}

std::string TDeviceStandIn::Read(size_t AWant, int ATimeoutMs) {
  return ReadFd(FMaster.Get(), AWant, ATimeoutMs);
}

termios TDeviceStandIn::Settings() const {
  termios tio{};
  ::tcgetattr(FMaster.Get(), &tio);
  return tio;
}

// ---- TPortsHarness ----

TPortsHarness::TPortsHarness() : Env(Dispatcher) {
  Env.PortDir = PortDir.Str();
  Env.Ticks = Clock.Source();
  Env.OnStateChanged = [this] {
    ++StateChanges;
    // A worker's last report can be served while the host shuts down.
    if (!Host || Host->Ending()) return;
    std::vector<bool> states;
    for (size_t i = 0; i < Host->Count(); ++i) states.push_back(Host->Port(i)->IsActive());
    StatesSeen.push_back(states);
  };
  TPortHostSetup setup;
  setup.DataDir = DataDir.Str();
  setup.WriteFile = [this](const std::string& ALine) {
    const uint32_t now = Clock.Now();
    std::lock_guard<std::mutex> guard(FLock);
    FFile.push_back(ALine);
    FFileTimes.push_back(now);
  };
  setup.ShowLine = [this](const TPortManager& APort, const std::string& ALine) {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FShown.push_back(ALine);
    }
    if (OnShown) OnShown(APort, ALine);
  };
  setup.PortBuilt = [this](TPortManager& APort, TPortLogLines& ALines) {
    if (OnBuilt) OnBuilt(APort, ALines);
  };
  setup.Ending = [this] { return Ending.load(); };
  Host = std::make_unique<TPortHost>(std::move(setup), Env, Messages);
}

TPortsHarness::~TPortsHarness() {
  DestroyList();
}

void TPortsHarness::DestroyList() {
  Host->Shutdown();
}

TPortManager* TPortsHarness::Add(const TLumPortParams& APortParams) {
  return Host->Add(APortParams, false).Port;
}

bool TPortsHarness::Pump(const std::function<bool()>& ACondition, std::chrono::milliseconds ADeadline) {
  return WaitFor(
      [&] {
        Dispatcher.WaitAndProcess(5);
        return ACondition();
      },
      ADeadline);
}

std::vector<std::string> TPortsHarness::FileLines() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FFile;
}

std::vector<std::string> TPortsHarness::ShownLines() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FShown;
}

size_t TPortsHarness::CountShown(const std::string& ALine) const {
  std::lock_guard<std::mutex> guard(FLock);
  return static_cast<size_t>(std::count(FShown.begin(), FShown.end(), ALine));
}

size_t TPortsHarness::CountFile(const std::string& ALine) const {
  std::lock_guard<std::mutex> guard(FLock);
  return static_cast<size_t>(std::count(FFile.begin(), FFile.end(), ALine));
}

size_t TPortsHarness::CountShownContaining(const std::string& APart) const {
  std::lock_guard<std::mutex> guard(FLock);
  return static_cast<size_t>(std::count_if(FShown.begin(), FShown.end(), [&](const std::string& ALine) {
    return ALine.find(APart) != std::string::npos;
  }));
}

size_t TPortsHarness::CountFileContaining(const std::string& APart) const {
  std::lock_guard<std::mutex> guard(FLock);
  return static_cast<size_t>(std::count_if(FFile.begin(), FFile.end(), [&](const std::string& ALine) {
    return ALine.find(APart) != std::string::npos;
  }));
}

std::optional<uint32_t> TPortsHarness::FileLineTime(const std::string& ALine) const {
  std::lock_guard<std::mutex> guard(FLock);
  for (size_t i = 0; i < FFile.size(); ++i)
    if (FFile[i] == ALine) return FFileTimes[i];
  return std::nullopt;
}

bool TPortsHarness::WaitShown(const std::string& ALine, size_t ATimes, std::chrono::milliseconds ADeadline) {
  return Pump([&] { return CountShown(ALine) >= ATimes; }, ADeadline);
}

bool TPortsHarness::WaitFile(const std::string& ALine, size_t ATimes, std::chrono::milliseconds ADeadline) {
  return Pump([&] { return CountFile(ALine) >= ATimes; }, ADeadline);
}

void TPortsHarness::Jump(uint32_t AMs) {
  Clock.Jump(AMs);
  for (size_t i = 0; i < Host->Count(); ++i) Host->Port(i)->Wake();
}

bool LinkExists(const std::string& APath) {
  struct stat info {};
  return ::lstat(APath.c_str(), &info) == 0;
}

TLumPortParams VirtualParams(const std::string& AName, const std::string& AProtocol, uint16_t APort,
                             uint16_t AReadPacketTimeout) {
  TLumPortParams p;
  p.Init();
  p.ComName = AName;
  p.IpAddress = "127.0.0.1";
  p.PortNumber = APort;
  p.LineNumber = 1;
  p.Protocol = AProtocol;
  p.ReadPacketTimeout = AReadPacketTimeout;
  p.isRealPort = false;
  return p;
}

::testing::AssertionResult BytesCrossBothWays(TPortsHarness& AHarness, TPtyClient& AAppA, TPtyClient& AAppB,
                                              const std::string& AToB, const std::string& AToA) {
  if (!AAppA.Write(AToB)) return ::testing::AssertionFailure() << "the write at A failed";
  const std::string atB = ReadWhilePumping(AHarness, AAppB, AToB.size());
  if (atB != AToB) return ::testing::AssertionFailure() << "B got \"" << atB << "\"";
  if (!AAppB.Write(AToA)) return ::testing::AssertionFailure() << "the write at B failed";
  const std::string atA = ReadWhilePumping(AHarness, AAppA, AToA.size());
  if (atA != AToA) return ::testing::AssertionFailure() << "A got \"" << atA << "\"";
  const std::string more = AAppA.Read(1, 50) + AAppB.Read(1, 50);
  if (!more.empty()) return ::testing::AssertionFailure() << "more came: \"" << more << "\"";
  return ::testing::AssertionSuccess();
}

TLumPortParams MqttParams(const std::string& AName, uint16_t ABrokerPort, const std::string& ATopic,
                          uint32_t AKey) {
  TLumPortParams p = VirtualParams(AName, PROTOCOL_MQTT, 4001);
  p.MqttHost = "127.0.0.1:" + std::to_string(ABrokerPort);
  p.MqttTopic = ATopic;
  p.MqttSecurityKey = AKey;
  return p;
}

}  // namespace orvane::test
