#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/serial_fd.h"
#include "platform/serial_speed.h"
#include "platform/serial_termios.h"

namespace orvane {
namespace {

// While the device reports a hang-up or an error (an adapter pulled out), the
// watcher looks again at this pace instead of spinning on poll().
constexpr int BROKEN_RETRY_MS = 100;
// How soon bytes left unread by a handler are looked at again for growth.
constexpr int UNREAD_RECHECK_MS = 100;

std::string ErrnoText(const std::string& AWhat) {
  return AWhat + ": " + std::strerror(errno);
}

std::string DevicePath(const std::string& APort) {
  return APort.find('/') == std::string::npos ? "/dev/" + APort : APort;
}

}  // namespace

// One open device with its watcher; shared weakly with queued notifications
// and strongly with a Write in progress.
struct TComPort::TSession : std::enable_shared_from_this<TSession> {
  TSession(TComPort& AOwner, TMainDispatcher& ADispatcher) : Owner(AOwner), Dispatcher(ADispatcher) {}
  ~TSession() { Shutdown(); }

  void Start() {
    Watcher = std::thread([this] { Watch(); });
  }

  void Shutdown() {
    Live = false;
    Stop = true;
    Wake.Signal();
    if (Watcher.joinable()) Watcher.join();
  }

  void Watch();
  void RaiseRxChar(int32_t ACount);

  TComPort& Owner;
  TMainDispatcher& Dispatcher;
  TSerialFd Fd;
  termios Saved{};
  TWakeEvent Wake;
  TRxGate Rx;
  std::atomic<bool> Live{true};
  std::atomic<bool> Stop{false};
  std::thread Watcher;
};

void TComPort::TSession::Watch() {
  const int fd = Fd.Get();
  bool broken = false;
  while (!Stop) {
    const int32_t waiting = BytesWaiting(fd);
    if (Rx.ShouldRaise(waiting)) RaiseRxChar(waiting);
    const bool wantInput = Rx.WantsInput(waiting);
    int timeout = -1;
    if (broken) {
      timeout = BROKEN_RETRY_MS;
    } else if (!wantInput && waiting > 0 && !Rx.Pending) {
      timeout = UNREAD_RECHECK_MS;
    }
    const TWatchReady ready = WatchWait(Wake, broken ? -1 : fd, wantInput ? POLLIN : 0, timeout);
    if (ready.Wake) Wake.Drain();
    broken = !broken && (ready.Revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
}

void TComPort::TSession::RaiseRxChar(int32_t ACount) {
  Dispatcher.Post([weak = weak_from_this(), ACount] {
    const std::shared_ptr<TSession> self = weak.lock();
    if (!self || !self->Live) return;
    struct TRearm {
      TSession& Self;
      uint64_t ReadBefore;
      ~TRearm() {
        Self.Rx.Done(ReadBefore, BytesWaiting(Self.Fd.Get()));
        Self.Wake.Signal();
      }
    } rearm{*self, self->Rx.BytesRead};
    // The handler may close or destroy the port: nothing of the owner is touched afterwards.
    self->Owner.DoRxChar(ACount);
  });
}

TComPort::TComPort(TMainDispatcher& ADispatcher) : FDispatcher(ADispatcher) {}

TComPort::~TComPort() {
  Close();
}

void TComPort::DoRxChar(int32_t ACount) {
  if (OnRxChar) OnRxChar(*this, ACount);
}

void TComPort::SetPort(const std::string& APort) {
  std::lock_guard<std::mutex> guard(FLock);
  FPort = APort;
}

std::string TComPort::Port() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FPort;
}

uint32_t TComPort::BaudRate() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FBaudRate;
}

uint8_t TComPort::DataBits() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FDataBits;
}

TComParity TComPort::Parity() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FParity;
}

TComStopBits TComPort::StopBits() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FStopBits;
}

bool TComPort::SetBaudRate(uint32_t ABaud) {
  return Apply(ABaud, DataBits(), Parity(), StopBits());
}
bool TComPort::SetDataBits(uint8_t ADataBits) {
  return Apply(BaudRate(), ADataBits, Parity(), StopBits());
}
bool TComPort::SetParity(TComParity AParity) {
  return Apply(BaudRate(), DataBits(), AParity, StopBits());
}
bool TComPort::SetStopBits(TComStopBits AStopBits) {
  return Apply(BaudRate(), DataBits(), Parity(), AStopBits);
}

bool TComPort::Apply(uint32_t ABaud, uint8_t ADataBits, TComParity AParity, TComStopBits AStopBits) {
  std::lock_guard<std::mutex> guard(FLock);
  if (ABaud == 0 || ADataBits < 5 || ADataBits > 8 || static_cast<uint8_t>(AParity) > 4 ||
      static_cast<uint8_t>(AStopBits) > 2) {
    FLastError = "setting out of range";
    return false;
  }
  if (FSession) {
    const int fd = FSession->Fd.Get();
    termios current{};
    if (::tcgetattr(fd, &current) < 0) return FLastError = ErrnoText("tcgetattr"), false;
    const termios wanted = MakeComTermios(current, ADataBits, AParity, AStopBits);
    if (::tcsetattr(fd, TCSANOW, &wanted) < 0) return FLastError = ErrnoText("tcsetattr"), false;
    if (!SetLineSpeed(fd, ABaud)) {
      FLastError = ErrnoText("line speed");
      ::tcsetattr(fd, TCSANOW, &current);
      return false;
    }
  }
  FBaudRate = ABaud;
  FDataBits = ADataBits;
  FParity = AParity;
  FStopBits = AStopBits;
  return true;
}

bool TComPort::Open() {
  std::lock_guard<std::mutex> guard(FLock);
  if (FSession) return true;
  auto session = std::make_shared<TSession>(*this, FDispatcher);
  const std::string path = DevicePath(FPort);
  TSerialFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) return FLastError = ErrnoText("open " + path), false;
  // flock keeps out every program that asks (and us, even as root); TIOCEXCL
  // keeps out unprivileged openers that do not ask.
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) < 0) return FLastError = ErrnoText("flock " + path), false;
  if (::tcgetattr(fd.Get(), &session->Saved) < 0) return FLastError = ErrnoText("tcgetattr " + path), false;
  if (::ioctl(fd.Get(), TIOCEXCL) < 0) return FLastError = ErrnoText("TIOCEXCL " + path), false;
  const termios wanted = MakeComTermios(session->Saved, FDataBits, FParity, FStopBits);
  const auto undo = [&] {
    ::tcsetattr(fd.Get(), TCSANOW, &session->Saved);
    ::ioctl(fd.Get(), TIOCNXCL);
  };
  if (::tcsetattr(fd.Get(), TCSANOW, &wanted) < 0 || !SetLineSpeed(fd.Get(), FBaudRate)) {
    FLastError = ErrnoText("settings " + path);
    undo();
    return false;
  }
  // Not every device has modem lines (a pty has none): a refusal is no failure.
  const int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd.Get(), TIOCMBIC, &lines);
  session->Fd = std::move(fd);
  try {
    session->Start();
  } catch (const std::system_error& e) {
    fd = std::move(session->Fd);
    undo();
    FLastError = std::string("watcher thread: ") + e.what();
    return false;
  }
  FSession = std::move(session);
  FLastError.clear();
  return true;
}

void TComPort::Close() {
  std::shared_ptr<TSession> session;
  {
    std::lock_guard<std::mutex> guard(FLock);
    session = std::move(FSession);
  }
  if (!session) return;
  session->Shutdown();
  const int fd = session->Fd.Get();
  ::tcsetattr(fd, TCSANOW, &session->Saved);
  ::ioctl(fd, TIOCNXCL);
  // The descriptor (and with it the lock) goes with the last holder: here, or a Write still running.
}

bool TComPort::Connected() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FSession != nullptr;
}

std::shared_ptr<TComPort::TSession> TComPort::Current() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FSession;
}

int32_t TComPort::Read(void* ABuffer, int32_t ACount) {
  const std::shared_ptr<TSession> session = Current();
  if (!session || ACount <= 0) return 0;
  ssize_t n;
  do {
    n = ::read(session->Fd.Get(), ABuffer, static_cast<size_t>(ACount));
  } while (n < 0 && errno == EINTR);
  const int32_t count = n > 0 ? static_cast<int32_t>(n) : 0;
  session->Rx.BytesRead += static_cast<uint64_t>(count);
  return count;
}

int32_t TComPort::Write(const void* ABuffer, int32_t ACount) {
  const std::shared_ptr<TSession> session = Current();
  if (!session || ACount <= 0) return 0;
  const int fd = session->Fd.Get();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(WriteTimeLimitMs(ACount));
  const auto* data = static_cast<const uint8_t*>(ABuffer);
  int32_t written = 0;
  while (written < ACount) {
    const ssize_t n = ::write(fd, data + written, static_cast<size_t>(ACount - written));
    if (n > 0) {
      written += static_cast<int32_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      std::lock_guard<std::mutex> guard(FLock);
      FLastError = ErrnoText("write");
      break;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      std::lock_guard<std::mutex> guard(FLock);
      FLastError = "write time limit passed";
      break;
    }
    pollfd pfd{fd, POLLOUT, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) > 0 && (pfd.revents & (POLLERR | POLLNVAL))) {
      std::lock_guard<std::mutex> guard(FLock);
      FLastError = "write: device error";
      break;
    }
  }
  return written;
}

int32_t TComPort::WriteAnsiStr(const std::string& AData) {
  return Write(AData.data(), static_cast<int32_t>(AData.size()));
}

std::string TComPort::LastError() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLastError;
}

}  // namespace orvane
