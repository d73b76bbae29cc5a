#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/event_gate.h"
#include "platform/main_dispatcher.h"
#include "platform/pty_open_watch.h"

namespace orvane {

// The directory for virtual port links when none is given: /dev when this
// process may create links there, otherwise $HOME/.local/share/orvane/ports
// (created when missing). Empty when neither can be used.
std::string DefaultPortDirectory();

// Who may open the ports besides their owner: the mode and group each new pty
// and its link are given.
struct TPortAccess {
  uint32_t Mode = 0600;
  std::optional<uint32_t> Group;  // empty: the process's own group
};

// The access of the service's ports from --port-group (empty when not given)
// and --port-mode: what is given, and for root with neither the convention of
// Linux serial devices, group "dialout" and 0660 (0600 where no such group
// exists). A group given without a mode gets 0660. Returns the reason when
// AGroup names no group, else empty.
std::string ServicePortAccess(const std::string& AGroup, std::optional<uint32_t> AMode, TPortAccess& AAccess);

// One named virtual serial port: a pseudo-terminal whose slave side local
// applications open through the symbolic link <port directory>/<name>.
//
// The pty driver forces 8 data bits and clears parity-enable on the slave, so of
// the line settings an application makes the speed, the stop bits and odd, mark
// or space parity can be seen; even parity reads as none and the word length as
// 8 (a port's fixed line settings stand in for them). Modem lines, ring,
// break, timeouts, flow control and special characters do not exist on a pty:
// their events are declared for completeness and never raised.
//
// Threads: construction, destruction and the event properties on the main
// thread (the dispatcher's); the other calls from the main thread or a worker.
// Events run on the main thread through ADispatcher; an event queued before
// Delete or destruction is dropped. After RunEventsOnWatcher they run on the
// port's watcher thread instead, one at a time, until MuteEvents; the event
// properties are then changed only while no event can run (before the port is
// made, or after MuteEvents). FLock guards FSession and FLastError.
class TVSPortAx {
 public:
  using TRxCharEvent = std::function<void(TVSPortAx& ASender, int32_t ACount)>;
  using TFlagEvent = std::function<void(TVSPortAx& ASender, bool AValue)>;
  using TSenderEvent = std::function<void(TVSPortAx& ASender)>;
  using TTimeoutsEvent =
      std::function<void(TVSPortAx& ASender, int32_t AReadIntervalTimeout,
                         int32_t AReadTotalTimeoutMultiplier, int32_t AReadTotalTimeoutConstant,
                         int32_t AWriteTotalTimeoutMultiplier, int32_t AWriteTotalTimeoutConstant)>;
  using TLineControlEvent =
      std::function<void(TVSPortAx& ASender, int32_t AStopBits, int32_t AParity, int32_t AWordLength)>;
  using THandflowEvent = std::function<void(TVSPortAx& ASender, int32_t AControlHandShake,
                                            int32_t AFlowReplace, int32_t AXOnLimit, int32_t AXOffLimit)>;
  using TSpecialCharsEvent =
      std::function<void(TVSPortAx& ASender, uint8_t AEofChar, uint8_t AErrorChar, uint8_t ABreakChar,
                         uint8_t AEventChar, uint8_t AXOnChar, uint8_t AXOffChar)>;
  using TValueEvent = std::function<void(TVSPortAx& ASender, int32_t AValue)>;

  // APortDir: where the links live (see DefaultPortDirectory). AOpenWatch is
  // shared by the ports of a program; without one the port has its own.
  TVSPortAx(TMainDispatcher& ADispatcher, std::string APortDir, TPortAccess AAccess = {},
            std::shared_ptr<TPtyOpenWatch> AOpenWatch = {});
  // Stops the watcher; removes the port when DeleteOnExit is true, otherwise
  // leaves the link (dangling) for a later run to attach to.
  virtual ~TVSPortAx();
  TVSPortAx(const TVSPortAx&) = delete;
  TVSPortAx& operator=(const TVSPortAx&) = delete;

  // A new pty at 9600 8N1, raw, and a link APortName to its slave. False when
  // anything of that name exists already, the name is not a port name (empty,
  // with a '/', a line break or another control character, or beginning with
  // a dot), or this object holds a port already.
  bool CreatePort(const std::string& APortName);
  // Takes over the name of a port left by an earlier run: only a link into
  // /dev/pts (live or dangling) owned by this process's user qualifies; it is
  // pointed at a fresh pty. In a port directory shared with other users, a
  // link one of them planted is never re-pointed, not even by root.
  bool Attach(const std::string& APortName);
  // Closes the pty and removes the link. False when no port is held.
  bool Delete();

  // Events run on the watcher thread of the port, not the main thread, so a
  // busy main thread never holds its bytes up. Before the first CreatePort or Attach.
  void RunEventsOnWatcher() { FEventsOnWatcher = true; }
  // With events on the watcher: holds them off while the lock lives (the
  // caller logs the creation first), and ends them for good, waiting for one
  // that runs. Without, the lock holds nothing and muting does nothing.
  std::unique_lock<std::mutex> HoldEvents() {
    return FEventsOnWatcher ? FGate.Hold() : std::unique_lock<std::mutex>();
  }
  void MuteEvents() {
    if (FEventsOnWatcher) FGate.Mute();
  }

  bool DeleteOnExit() const { return FDeleteOnExit; }
  void SetDeleteOnExit(bool AValue) { FDeleteOnExit = AValue; }

  // Hands bytes to the application without waiting; returns how many were
  // accepted. What the pty cannot take now waits in a queue of up to
  // TFdWatcher::OUTPUT_LIMIT bytes and goes out as the application reads;
  // bytes beyond it are dropped and reported once per episode
  // (OnWriteDropped). While no application holds the port every byte is
  // dropped (0 is returned, nothing reported), as a line nobody listens to
  // loses them; so is what was still queued when the application let go.
  int32_t Write(const void* ABuffer, int32_t ACount);
  // Bytes queued for the application and not yet taken by the pty.
  size_t QueuedBytes() const;
  // Every byte dropped because the queue was full (or the pty refused it)
  // since the port was created or attached; 0 while no port is held.
  uint64_t DroppedBytes() const;
  // Up to ACount bytes the application wrote, without waiting; ACount becomes
  // the number read, which is also returned.
  int32_t Read(void* ABuffer, int32_t& ACount);

  // Line settings the application last set (0 while no port is held).
  // Parity: 0 none, 1 odd, 2 even (never seen), 3 mark, 4 space. Stop bits: 0 one, 1 one
  // and a half, 2 two.
  int32_t Baudrate() const;
  int32_t Parity() const;
  int32_t StopBits() const;
  int32_t DataBits() const;
  // An application holds the slave open.
  bool IsOpened() const;

  const std::string& PortDir() const { return FPortDir; }
  // Link path of the port held, empty when none.
  std::string LinkPath() const;
  // Why the last CreatePort, Attach or Delete failed.
  std::string LastError() const;

  // Events, raised on the main thread (or the watcher's, see RunEventsOnWatcher).
  TRxCharEvent OnRxChar;  // bytes waiting; raised again only once the previous one ran
  TFlagEvent OnDTR;       // never raised on a pty
  TFlagEvent OnRTS;       // never raised on a pty
  TSenderEvent OnRING;    // never raised on a pty
  TFlagEvent OnOpenClose;
  TTimeoutsEvent OnTimeouts;  // never raised on a pty
  TLineControlEvent OnLineControl;
  THandflowEvent OnHandflow;          // never raised on a pty
  TSpecialCharsEvent OnSpecialChars;  // never raised on a pty
  TValueEvent OnBaudRate;
  TValueEvent OnEvent;  // never raised on a pty
  TFlagEvent OnBreak;   // never raised on a pty
  // ACount bytes for the application were dropped because it did not read
  // them in time (AError ENOBUFS) or the pty refused them (AError the errno);
  // raised once the episode is over: the queue has drained to half or the
  // application let go.
  std::function<void(TVSPortAx& ASender, uint64_t ACount, int AError)> OnWriteDropped;

 private:
  struct TSession;

  bool OpenPort(const std::string& APortName, bool AAttach);
  std::shared_ptr<TSession> Current() const;
  bool Fail(const std::string& AText);

  TMainDispatcher& FDispatcher;
  const std::string FPortDir;
  const TPortAccess FAccess;
  const std::shared_ptr<TPtyOpenWatch> FOpenWatch;
  bool FDeleteOnExit = true;
  bool FEventsOnWatcher = false;
  TEventGate FGate;
  mutable std::mutex FLock;
  std::shared_ptr<TSession> FSession;
  std::string FLastError;
};

}  // namespace orvane
