#include "platform/pty_port.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <system_error>
#include <vector>

#include "platform/deadline.h"
#include "platform/errno_text.h"
#include "platform/fd_watcher.h"
#include "platform/printable_text.h"
#include "platform/serial_port_list.h"
#include "platform/serial_speed.h"
#include "platform/serial_termios.h"
#include "platform/unique_fd.h"

namespace orvane {
namespace {

// How often the watcher looks, without inotify, whether an application has opened the port.
constexpr int WATCH_PERIOD_MS = 100;
// How often the line settings are asked for while an application holds the port
// and nothing else wakes the watcher: a slave's tcsetattr raises no event.
constexpr int LINE_CHECK_PERIOD_MS = 1000;

// Why APortName cannot name a link, empty when it can. A link name is one
// path component, nothing may escape the port directory, names beginning
// with a dot are our temporary ones (and hidden from listings), and a line
// break would forge lines in the log and the port list.
std::string PortNameFault(const std::string& AName) {
  if (AName.empty()) return "empty port name";
  if (AName.find('/') != std::string::npos) return "port name with '/': " + PrintableText(AName);
  if (AName.front() == '.') return "port name beginning with a dot: " + PrintableText(AName);
  for (const char c : AName) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F)
      return "port name with a line break or another control character: " + PrintableText(AName);
  }
  return {};
}

bool ReadLink(const std::string& APath, std::string& ATarget) {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink(APath.c_str(), buffer, sizeof buffer - 1);
  if (n < 0) return false;
  ATarget.assign(buffer, static_cast<size_t>(n));
  return true;
}

bool HungUp(int AMaster) {
  const int revents = PollOne(AMaster, 0, TDeadline(0));
  return revents > 0 && (revents & POLLHUP) != 0;
}

struct TLineState {
  uint32_t Baud = 0;
  int32_t StopBits = 0;
  int32_t Parity = 0;
  int32_t WordLength = 8;

  bool SameLine(const TLineState& AOther) const {
    return StopBits == AOther.StopBits && Parity == AOther.Parity && WordLength == AOther.WordLength;
  }
};

// The pty driver clears the parity-enable bit of whatever the application sets but keeps
// the odd and mark/space bits, so odd, mark and space are still told by those; even parity
// leaves no trace and reads as none.
TParityBits PtyParityOf(const termios& ATermios) {
  const tcflag_t c = ATermios.c_cflag;
  if (c & PARENB) return ParityOf(ATermios);
  if (c & CMSPAR) return (c & PARODD) ? TParityBits::Mark : TParityBits::Space;
  return (c & PARODD) ? TParityBits::Odd : TParityBits::None;
}

// One system call: the speed and the control flags come together.
bool ReadLineState(int AMaster, TLineState& AState) {
  uint32_t flags = 0;
  if (!GetLineSpeedAndFlags(AMaster, AState.Baud, flags)) return false;
  termios tio{};
  tio.c_cflag = static_cast<tcflag_t>(flags);
  AState.StopBits = static_cast<int32_t>(StopBitsOf(tio));
  AState.Parity = static_cast<int32_t>(PtyParityOf(tio));
  AState.WordLength = DataBitsOf(tio);
  return true;
}

gid_t GroupOf(const TPortAccess& AAccess) {
  return AAccess.Group ? static_cast<gid_t>(*AAccess.Group) : ::getegid();
}

// A fresh pty whose slave is raw 9600 8N1, has AAccess and reports as not opened.
bool MakePty(const TPortAccess& AAccess, TUniqueFd& AMaster, std::string& ASlavePath, std::string& AError) {
  TUniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.Valid()) return AError = ErrnoText("posix_openpt"), false;
  if (::grantpt(master.Get()) < 0 || ::unlockpt(master.Get()) < 0)
    return AError = ErrnoText("unlockpt"), false;
  char name[128];
  if (::ptsname_r(master.Get(), name, sizeof name) != 0) return AError = ErrnoText("ptsname_r"), false;
  const int flags = ::fcntl(master.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(master.Get(), F_SETFL, flags | O_NONBLOCK) < 0)
    return AError = ErrnoText("fcntl"), false;
  // Termios calls on the master act on the slave.
  termios tio{};
  if (::tcgetattr(master.Get(), &tio) < 0) return AError = ErrnoText("tcgetattr"), false;
  tio = MakeComTermios(tio, 8, TParityBits::None, TStopBits::One);
  if (::tcsetattr(master.Get(), TCSANOW, &tio) < 0) return AError = ErrnoText("tcsetattr"), false;
  if (!SetLineSpeed(master.Get(), 9600)) return AError = ErrnoText("line speed"), false;
  // A master reports POLLHUP only after its slave was opened and closed once;
  // do that now so that "no application holds the port" reads true from the start.
  TUniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!slave.Valid()) return AError = ErrnoText(std::string("open ") + name), false;
  // A terminal's group (tty) may write to it, so other users' write(1) and
  // wall could put bytes on the line: the group becomes the port's own.
  if (::fchown(slave.Get(), static_cast<uid_t>(-1), GroupOf(AAccess)) < 0)
    return AError = ErrnoText(std::string("chown ") + name), false;
  if (::fchmod(slave.Get(), static_cast<mode_t>(AAccess.Mode)) < 0)
    return AError = ErrnoText(std::string("chmod ") + name), false;
  slave.Reset();
  AMaster = std::move(master);
  ASlavePath = name;
  return true;
}

// A new link to ATarget at APrefix plus six random letters, so that no file
// of another user can block the name (the port directory may be shared).
bool MakeTempLink(const std::string& ATarget, const std::string& APrefix, std::string& ATemp,
                  std::string& AError) {
  static constexpr char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::uniform_int_distribution<size_t> pick(0, sizeof LETTERS - 2);
  constexpr int TRIES = 100;
  for (int i = 0; i < TRIES; ++i) {
    ATemp = APrefix;
    for (int j = 0; j < 6; ++j) ATemp += LETTERS[pick(random)];
    if (::symlink(ATarget.c_str(), ATemp.c_str()) == 0) return true;
    if (errno != EEXIST) return AError = ErrnoText("symlink " + ATemp), false;
  }
  AError = "symlink " + APrefix + "XXXXXX: no free name";
  return false;
}

// The link carries the port's group too, so a listing shows whose ports they are.
bool SetLinkGroup(const std::string& ALink, const TPortAccess& AAccess, std::string& AError) {
  if (::lchown(ALink.c_str(), static_cast<uid_t>(-1), GroupOf(AAccess)) == 0) return true;
  AError = ErrnoText("chown " + ALink);
  return false;
}

}  // namespace

std::string ServicePortAccess(const std::string& AGroup, std::optional<uint32_t> AMode,
                              TPortAccess& AAccess) {
  constexpr uint32_t GROUP_MODE = 0660;
  std::string name = AGroup;
  const bool conventional = name.empty() && !AMode && ::geteuid() == 0;
  if (conventional) name = "dialout";
  AAccess = {};
  if (!name.empty()) {
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    int error = 0;
    // A group with many members (a directory service's dialout) needs a larger buffer.
    while ((error = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (size_t{1} << 24))
      buffer.resize(buffer.size() * 2);
    if (error != 0 || found == nullptr) {
      if (!conventional) return "--port-group " + name + ": no such group";
      name.clear();  // a system without dialout: the ports stay root's alone
    } else {
      AAccess.Group = static_cast<uint32_t>(found->gr_gid);
    }
  }
  AAccess.Mode = AMode ? *AMode : (AAccess.Group ? GROUP_MODE : 0600);
  return {};
}

std::string DefaultPortDirectory() {
  if (::access("/dev", W_OK | X_OK) == 0) return "/dev";
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return {};
  const std::filesystem::path dir = std::filesystem::path(home) / ".local/share/orvane/ports";
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) return {};
  return dir.string();
}

// One pty with its link and watcher. Shared with queued events (weakly) and
// with a Write in progress, so the descriptor outlives both.
struct TVSPortAx::TSession : IFdWatchClient, std::enable_shared_from_this<TSession> {
  TSession(TVSPortAx& AOwner, TMainDispatcher& ADispatcher, TUniqueFd&& AMaster, std::string ASlavePath)
      : Owner(AOwner),
        OpenWatch(AOwner.FOpenWatch),
        SlavePath(std::move(ASlavePath)),
        Watcher(ADispatcher, *this, std::move(AMaster), AOwner.FEventsOnWatcher ? &AOwner.FGate : nullptr) {}
  ~TSession() override { Shutdown(); }

  void Start() {
    StartNotify();
    // Taken here, not in the thread: an application may be quicker than the
    // thread's start, and its settings must then count as a change.
    ReadLineState(Watcher.Fd(), Last);
    Watcher.Start(weak_from_this());
  }

  // Events queued so far are dropped from here on; the watcher has ended when this returns.
  void Shutdown() {
    if (!WatchRemoved.exchange(true)) OpenWatch->Remove(WatchId);
    Watcher.Stop();
  }

  void Look(TWatchTurn& ATurn) override;
  void Ready(short) override {}
  void RxChar(int32_t ACount) override {
    // The handler may delete or destroy the owner: nothing of it is touched afterwards.
    TVSPortAx& owner = Owner;
    if (owner.OnRxChar) owner.OnRxChar(owner, ACount);
  }
  // No application holds the port: the bytes are lost, as on a line nobody listens to.
  // While the watcher knows of one, no poll is needed: bytes that meet a close it has not
  // seen yet are flushed when it does (FlushForNextOpen, under the I/O lock this runs in).
  bool MayWrite() override { return Opened || !HungUp(Watcher.Fd()); }
  void OutputDropped(uint64_t ACount, int AError) override {
    TVSPortAx& owner = Owner;
    if (owner.OnWriteDropped) owner.OnWriteDropped(owner, ACount, AError);
  }

  void StartNotify();
  bool DrainNotify();  // true when an open of the slave was among the events
  void PostOpenClose(bool AOpened);
  void FlushForNextOpen();
  void CheckLine();

  TVSPortAx& Owner;
  const std::shared_ptr<TPtyOpenWatch> OpenWatch;
  std::string LinkPath;
  const std::string SlavePath;
  int WatchId = -1;  // set before the watcher starts; -1: looked at on a timer
  std::atomic<bool> WatchRemoved{false};
  std::atomic<bool> SawOpen{false};  // set by the open watch, taken by Look
  // Set by the watcher thread only, read by writers (MayWrite).
  // A new pty is closed (MakePty); the open of an application that came first is an edge.
  std::atomic<bool> Opened{false};
  // Watcher thread only (Last is also set in Start, before the thread runs).
  TLineState Last;
  // Declared last, so its thread has ended before the members above go.
  TFdWatcher Watcher;
};

void TVSPortAx::TSession::StartNotify() {
  // Without a watch the watcher falls back to looking every WATCH_PERIOD_MS.
  WatchId = OpenWatch->Add(SlavePath, [this](bool AOpened) {
    if (AOpened) SawOpen = true;
    Watcher.Wake();
  });
}

bool TVSPortAx::TSession::DrainNotify() {
  if (WatchId < 0) return false;
  OpenWatch->Collect();
  return SawOpen.exchange(false);
}

void TVSPortAx::TSession::PostOpenClose(bool AOpened) {
  Watcher.Post([this, AOpened] {
    if (Owner.OnOpenClose) Owner.OnOpenClose(Owner, AOpened);
  });
}

void TVSPortAx::TSession::Look(TWatchTurn& ATurn) {
  // Held, and the wait ran out or only bytes ended it: no open or close came
  // (a close shows as a hang-up with the bytes), so only the settings are
  // asked for, ahead of the bytes.
  if (Opened && (ATurn.TimedOut || ATurn.InputOnly)) {
    CheckLine();
    ATurn.TimeoutMs = LINE_CHECK_PERIOD_MS;
    return;
  }
  const bool sawOpen = DrainNotify();
  const bool nowOpened = !HungUp(Watcher.Fd());
  if (nowOpened != Opened) {
    Opened = nowOpened;
    // Flushed before the close is told, so whoever opens after hearing of it finds nothing stale.
    if (!Opened) FlushForNextOpen();
    PostOpenClose(Opened);
  } else if (!Opened && sawOpen) {
    // Opened and closed again between two looks (stty does that): both edges,
    // with what the application set in between.
    PostOpenClose(true);
    CheckLine();
    FlushForNextOpen();
    PostOpenClose(false);
  }
  // On every turn that something woke, so settings made before bytes are told before them.
  CheckLine();

  // While an application holds the port, bytes and its close (POLLHUP) end the
  // wait; the line settings are asked for every LINE_CHECK_PERIOD_MS besides
  // (a slave's tcsetattr wakes nobody). A closed slave makes the master report
  // POLLHUP at once, so then the master is left out and only an open of the
  // slave (inotify) or the wake event count.
  if (Opened) {
    ATurn.TimeoutMs = LINE_CHECK_PERIOD_MS;
  } else {
    ATurn.WatchData = false;
    ATurn.TimeoutMs = WatchId >= 0 ? -1 : WATCH_PERIOD_MS;
  }
}

// Bytes queued for an application that has closed the port must not reach the
// next one: they wait in the slave's input, which only the slave side can
// flush, and in the buffer on the way there, which the master can.
void TVSPortAx::TSession::FlushForNextOpen() {
  const int master = Watcher.Fd();
  const std::unique_lock<std::mutex> io = Watcher.LockIo();
  // An application that is back already may have got bytes meant for it.
  if (!HungUp(master)) return;
  {
    TUniqueFd peer(::ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (peer.Valid()) ::tcflush(peer.Get(), TCIFLUSH);
  }
  ::tcflush(master, TCOFLUSH);
  Watcher.DiscardOutput(io);
  // Our own open of the slave is no application's.
  DrainNotify();
}

void TVSPortAx::TSession::CheckLine() {
  TLineState now;
  if (!ReadLineState(Watcher.Fd(), now)) return;
  if (now.Baud != Last.Baud) {
    const int32_t baud = static_cast<int32_t>(now.Baud);
    Watcher.Post([this, baud] {
      if (Owner.OnBaudRate) Owner.OnBaudRate(Owner, baud);
    });
  }
  if (!now.SameLine(Last)) {
    Watcher.Post([this, now] {
      if (Owner.OnLineControl) Owner.OnLineControl(Owner, now.StopBits, now.Parity, now.WordLength);
    });
  }
  Last = now;
}

TVSPortAx::TVSPortAx(TMainDispatcher& ADispatcher, std::string APortDir, TPortAccess AAccess,
                     std::shared_ptr<TPtyOpenWatch> AOpenWatch)
    : FDispatcher(ADispatcher),
      FPortDir(std::move(APortDir)),
      FAccess(AAccess),
      FOpenWatch(AOpenWatch ? std::move(AOpenWatch) : std::make_shared<TPtyOpenWatch>()),
      FGate(ADispatcher) {}

TVSPortAx::~TVSPortAx() {
  if (FDeleteOnExit) {
    Delete();
    return;
  }
  std::shared_ptr<TSession> session;
  {
    std::lock_guard<std::mutex> guard(FLock);
    session = std::move(FSession);
  }
  if (session) session->Shutdown();
}

bool TVSPortAx::Fail(const std::string& AText) {
  FLastError = AText;
  return false;
}

bool TVSPortAx::CreatePort(const std::string& APortName) {
  return OpenPort(APortName, false);
}

bool TVSPortAx::Attach(const std::string& APortName) {
  return OpenPort(APortName, true);
}

bool TVSPortAx::OpenPort(const std::string& APortName, bool AAttach) {
  std::lock_guard<std::mutex> guard(FLock);
  if (FSession) return Fail("a port is held already: " + FSession->LinkPath);
  if (const std::string fault = PortNameFault(APortName); !fault.empty()) return Fail(fault);
  const std::string link = FPortDir + "/" + APortName;
  struct stat info {};
  const bool exists = ::lstat(link.c_str(), &info) == 0;
  if (!AAttach && exists) return Fail(link + " exists");
  if (AAttach) {
    std::string target;
    if (!exists) return Fail(link + " does not exist");
    if (!S_ISLNK(info.st_mode) || !ReadLink(link, target) || !IsPtySlavePath(target))
      return Fail(link + " is not a virtual port link");
    // Root may rename over anything, even in a sticky directory: another
    // user's link would send that user's application to our pty, or ours to theirs.
    if (info.st_uid != ::geteuid())
      return Fail(link + " belongs to another user (uid " + std::to_string(info.st_uid) + "), not replaced");
  }

  TUniqueFd master;
  std::string slavePath;
  std::string error;
  if (!MakePty(FAccess, master, slavePath, error)) return Fail(error);
  auto session = std::make_shared<TSession>(*this, FDispatcher, std::move(master), std::move(slavePath));
  session->LinkPath = link;
  if (AAttach) {
    // Re-pointed in one step: the name never goes missing for an application looking for it.
    std::string temp;
    if (!MakeTempLink(session->SlavePath, FPortDir + "/." + APortName + ".", temp, error)) return Fail(error);
    if (!SetLinkGroup(temp, FAccess, error)) {
      ::unlink(temp.c_str());
      return Fail(error);
    }
    if (::rename(temp.c_str(), link.c_str()) < 0) {
      const std::string text = ErrnoText("rename " + temp);
      ::unlink(temp.c_str());
      return Fail(text);
    }
  } else if (::symlink(session->SlavePath.c_str(), link.c_str()) < 0) {
    return Fail(ErrnoText("symlink " + link));
  } else if (!SetLinkGroup(link, FAccess, error)) {
    ::unlink(link.c_str());
    return Fail(error);
  }
  try {
    session->Start();
  } catch (const std::system_error& e) {
    // A new link goes again; an attached one stays dangling, as it was found.
    if (!AAttach) ::unlink(link.c_str());
    return Fail(std::string("watcher thread: ") + e.what());
  }
  FSession = std::move(session);
  FLastError.clear();
  return true;
}

bool TVSPortAx::Delete() {
  std::shared_ptr<TSession> session;
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FSession) return Fail("no port is held");
    session = std::move(FSession);
  }
  session->Shutdown();
  // Only our own link goes: another run may have taken the name meanwhile.
  std::string target;
  if (ReadLink(session->LinkPath, target) && target == session->SlavePath &&
      ::unlink(session->LinkPath.c_str()) < 0 && errno != ENOENT) {
    std::lock_guard<std::mutex> guard(FLock);
    return Fail(ErrnoText("unlink " + session->LinkPath));
  }
  return true;
}

std::shared_ptr<TVSPortAx::TSession> TVSPortAx::Current() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FSession;
}

int32_t TVSPortAx::Write(const void* ABuffer, int32_t ACount) {
  const std::shared_ptr<TSession> session = Current();
  if (!session) return 0;
  return session->Watcher.Queue(ABuffer, ACount);
}

size_t TVSPortAx::QueuedBytes() const {
  const std::shared_ptr<TSession> session = Current();
  return session ? session->Watcher.QueuedBytes() : 0;
}

uint64_t TVSPortAx::DroppedBytes() const {
  const std::shared_ptr<TSession> session = Current();
  return session ? session->Watcher.DroppedBytes() : 0;
}

int32_t TVSPortAx::Read(void* ABuffer, int32_t& ACount) {
  const std::shared_ptr<TSession> session = Current();
  if (!session || ACount <= 0) return ACount = 0;
  ACount = session->Watcher.Read(ABuffer, ACount);
  return ACount;
}

int32_t TVSPortAx::Baudrate() const {
  const std::shared_ptr<TSession> session = Current();
  uint32_t baud = 0;
  if (!session || !GetLineSpeed(session->Watcher.Fd(), baud)) return 0;
  return static_cast<int32_t>(baud);
}

int32_t TVSPortAx::Parity() const {
  const std::shared_ptr<TSession> session = Current();
  TLineState state;
  return session && ReadLineState(session->Watcher.Fd(), state) ? state.Parity : 0;
}

int32_t TVSPortAx::StopBits() const {
  const std::shared_ptr<TSession> session = Current();
  TLineState state;
  return session && ReadLineState(session->Watcher.Fd(), state) ? state.StopBits : 0;
}

int32_t TVSPortAx::DataBits() const {
  const std::shared_ptr<TSession> session = Current();
  TLineState state;
  return session && ReadLineState(session->Watcher.Fd(), state) ? state.WordLength : 0;
}

bool TVSPortAx::IsOpened() const {
  const std::shared_ptr<TSession> session = Current();
  return session && !HungUp(session->Watcher.Fd());
}

std::string TVSPortAx::LinkPath() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FSession ? FSession->LinkPath : std::string();
}

std::string TVSPortAx::LastError() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLastError;
}

}  // namespace orvane
