#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/errno_text.h"
#include "platform/fd_watcher.h"
#include "platform/serial_speed.h"
#include "platform/serial_termios.h"
#include "platform/unique_fd.h"

namespace orvane {
namespace {

std::string DevicePath(const std::string& APort) {
  return APort.find('/') == std::string::npos ? "/dev/" + APort : APort;
}

}  // namespace

// One open device with its watcher; shared weakly with queued notifications
// and strongly with a Write in progress.
// Threads: Look and Ready on the watcher thread; ReadFailed wherever Read runs;
// IsLost and LostWhy from any thread.
struct TComPort::TSession : IFdWatchClient, std::enable_shared_from_this<TSession> {
  TSession(TComPort& AOwner, TMainDispatcher& ADispatcher, TUniqueFd&& AFd, const termios& ASaved,
           std::string APath)
      : Owner(AOwner),
        Saved(ASaved),
        Path(std::move(APath)),
        Watcher(ADispatcher, *this, std::move(AFd), AOwner.FEventsOnWatcher ? &AOwner.FGate : nullptr) {}
  ~TSession() override { Shutdown(); }

  void Start() { Watcher.Start(weak_from_this()); }
  void Shutdown() { Watcher.Stop(); }

  void Look(TWatchTurn& ATurn) override {
    if (!IsLost()) {
      if (const int writeError = Watcher.WriteError()) {
        Lose(ErrnoText(Path + ": write failed", writeError));
      } else if (const int readError = ReadError.exchange(0)) {
        Lose(ErrnoText(Path + ": read failed", readError));
      }
    }
    // A lost device would end every wait at once: from here on only a wake-up
    // or the stop is waited for.
    ATurn.WatchData = !IsLost();
  }
  // A terminal that hangs up stays hung up (the kernel has cut it off, and its
  // input with it); a read that finds nothing (VMIN 0) is no sign of anything.
  void Ready(short ARevents) override {
    if (IsLost()) return;
    if (ARevents & POLLHUP) {
      Lose(Path + " hung up");
    } else if (ARevents & (POLLERR | POLLNVAL)) {
      Lose(Path + " reports an error");
    }
  }
  void ReadFailed(int AError) override {
    // The first one tells; the watcher looks at once.
    int none = 0;
    if (ReadError.compare_exchange_strong(none, AError)) Watcher.Wake();
  }
  // The handler may close or destroy the port: nothing of the owner is touched afterwards.
  void RxChar(int32_t ACount) override { Owner.DoRxChar(ACount); }
  void OutputDropped(uint64_t ACount, int AError) override {
    TComPort& owner = Owner;
    if (owner.OnWriteDropped) owner.OnWriteDropped(owner, ACount, AError);
  }

  bool IsLost() const { return Lost; }
  std::string LostWhy() const {
    std::lock_guard<std::mutex> guard(WhyLock);
    return Why;
  }
  // Watcher thread, once per open.
  void Lose(const std::string& AWhy) {
    {
      std::lock_guard<std::mutex> guard(WhyLock);
      Why = AWhy;
    }
    Lost = true;
    if (Owner.OnLost) Owner.OnLost(Owner, AWhy);
  }

  TComPort& Owner;
  const termios Saved;
  const std::string Path;
  std::atomic<int> ReadError{0};
  mutable std::mutex WhyLock;
  std::string Why;  // guarded by WhyLock
  std::atomic<bool> Lost{false};
  // Declared last, so its thread has ended before the members above go.
  TFdWatcher Watcher;
};

TComPort::TComPort(TMainDispatcher& ADispatcher) : FDispatcher(ADispatcher), FGate(ADispatcher) {}

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
    const int fd = FSession->Watcher.Fd();
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
  const std::string path = DevicePath(FPort);
  TUniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) return FLastError = ErrnoText("open " + path), false;
  // flock keeps out every program that asks (and us, even as root); TIOCEXCL
  // keeps out unprivileged openers that do not ask.
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) < 0) return FLastError = ErrnoText("flock " + path), false;
  termios saved{};
  if (::tcgetattr(fd.Get(), &saved) < 0) return FLastError = ErrnoText("tcgetattr " + path), false;
  if (::ioctl(fd.Get(), TIOCEXCL) < 0) return FLastError = ErrnoText("TIOCEXCL " + path), false;
  const termios wanted = MakeComTermios(saved, FDataBits, FParity, FStopBits);
  const auto undo = [&saved](int AFd) {
    ::tcsetattr(AFd, TCSANOW, &saved);
    ::ioctl(AFd, TIOCNXCL);
  };
  if (::tcsetattr(fd.Get(), TCSANOW, &wanted) < 0 || !SetLineSpeed(fd.Get(), FBaudRate)) {
    FLastError = ErrnoText("settings " + path);
    undo(fd.Get());
    return false;
  }
  // Not every device has modem lines (a pty has none): a refusal is no failure.
  const int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd.Get(), TIOCMBIC, &lines);
  const int raw = fd.Get();
  std::shared_ptr<TSession> session;
  try {
    // A session that cannot be made leaves the descriptor in fd; either way it is open here.
    session = std::make_shared<TSession>(*this, FDispatcher, std::move(fd), saved, path);
    session->Start();
  } catch (const std::system_error& e) {
    undo(raw);
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
  const int fd = session->Watcher.Fd();
  // The driver would hold the last close until its output has gone out (up to
  // 30 s on a UART); a port that stops waits for no device.
  ::tcflush(fd, TCOFLUSH);
  ::tcsetattr(fd, TCSANOW, &session->Saved);
  ::ioctl(fd, TIOCNXCL);
  // The descriptor (and with it the lock) goes with the last holder: here, or a Write still running.
}

bool TComPort::Lost() const {
  const std::shared_ptr<TSession> session = Current();
  return session && session->IsLost();
}

std::string TComPort::LostReason() const {
  const std::shared_ptr<TSession> session = Current();
  return session ? session->LostWhy() : std::string();
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
  return session->Watcher.Read(ABuffer, ACount);
}

int32_t TComPort::Write(const void* ABuffer, int32_t ACount) {
  const std::shared_ptr<TSession> session = Current();
  if (!session || ACount <= 0) return 0;
  const int32_t accepted = session->Watcher.Queue(ABuffer, ACount);
  if (accepted < ACount) {
    const std::string dropped = std::to_string(ACount - accepted) + " bytes dropped";
    const int error = session->Watcher.WriteError();
    std::lock_guard<std::mutex> guard(FLock);
    if (error != 0) {
      FLastError = "write: " + std::string(std::strerror(error)) + " (errno " + std::to_string(error) +
                   "), " + dropped + "; nothing more is written until the port is opened again";
    } else {
      FLastError = "write queue full (" + std::to_string(TFdWatcher::OUTPUT_LIMIT) +
                   " bytes waiting for the device), " + dropped;
    }
  }
  return accepted;
}

int32_t TComPort::WriteAnsiStr(const std::string& AData) {
  return Write(AData.data(), static_cast<int32_t>(AData.size()));
}

size_t TComPort::QueuedBytes() const {
  const std::shared_ptr<TSession> session = Current();
  return session ? session->Watcher.QueuedBytes() : 0;
}

uint64_t TComPort::DroppedBytes() const {
  const std::shared_ptr<TSession> session = Current();
  return session ? session->Watcher.DroppedBytes() : 0;
}

bool TComPort::WriteFailed() const {
  const std::shared_ptr<TSession> session = Current();
  return session && session->Watcher.WriteError() != 0;
}

std::string TComPort::LastError() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLastError;
}

}  // namespace orvane
