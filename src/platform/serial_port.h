#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/event_gate.h"
#include "platform/line_settings.h"
#include "platform/main_dispatcher.h"

namespace orvane {

// Parity and stop bits are the port settings' own types. Data bits are a count,
// 5 to 8, and the speed is in baud (DataBitsCount and BaudRateOf of the settings).
using TComParity = TParityBits;
using TComStopBits = TStopBits;

// A serial device through termios: opened exclusively (flock and TIOCEXCL),
// raw, no flow control, DTR and RTS cleared, reads that return at once,
// writes that never wait (a queue in front of the device). The termios found
// at open are put back at close.
//
// A device that goes away (hangs up, or a read or write fails) is not closed
// here: the port tells its owner (OnLost) and refuses writes until Close.
//
// Threads: Open and Close on the main thread or on the owner's worker, one at a
// time; Read and destruction on the main thread; the setters, Write and the
// queries also from a worker. The received-characters notification
// (DoRxChar, OnRxChar) and OnWriteDropped run on the main thread through
// ADispatcher; one queued before Close or destruction is dropped. After
// RunEventsOnWatcher they run on the port's watcher thread instead, one at a
// time, until MuteEvents. OnLost runs on the port's watcher thread. FLock
// guards FSession, the settings and FLastError.
class TComPort {
 public:
  explicit TComPort(TMainDispatcher& ADispatcher);
  virtual ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  // The received-characters notification and OnWriteDropped run on the port's
  // watcher thread, not the main thread. Before the first Open.
  void RunEventsOnWatcher() { FEventsOnWatcher = true; }
  // With events on the watcher: holds them off while the lock lives, and ends
  // them for good, waiting for one that runs. Without, both do nothing.
  std::unique_lock<std::mutex> HoldEvents() {
    return FEventsOnWatcher ? FGate.Hold() : std::unique_lock<std::mutex>();
  }
  void MuteEvents() {
    if (FEventsOnWatcher) FGate.Mute();
  }

  // Device path, or a bare name looked up in /dev (ttyUSB0 → /dev/ttyUSB0).
  void SetPort(const std::string& APort);
  std::string Port() const;

  // Each setter applies to an open port at once; false when the port rejects
  // it, and the previous setting stays.
  bool SetBaudRate(uint32_t ABaud);
  bool SetDataBits(uint8_t ADataBits);
  bool SetParity(TComParity AParity);
  bool SetStopBits(TComStopBits AStopBits);
  uint32_t BaudRate() const;
  uint8_t DataBits() const;
  TComParity Parity() const;
  TComStopBits StopBits() const;

  // False when the device is missing, is not a terminal, another holder has
  // it, or a setting is refused; nothing stays open or changed then.
  bool Open();
  // Output not yet sent (queued or in the driver) is dropped: closing never
  // waits for the device.
  void Close();
  bool Connected() const;

  // Bytes already received, up to ACount; never waits.
  int32_t Read(void* ABuffer, int32_t ACount);
  // Hands bytes to the device without waiting; returns how many were
  // accepted. What the device cannot take now waits in a queue of up to
  // TFdWatcher::OUTPUT_LIMIT bytes and goes out as it takes more. Fewer than
  // ACount, with LastError saying why and how many: the queue was full, or a
  // write failed (then nothing more is written until the port is opened
  // again). Either loss is also reported once per episode (OnWriteDropped).
  int32_t Write(const void* ABuffer, int32_t ACount);
  int32_t WriteAnsiStr(const std::string& AData);
  // Bytes queued for the device and not yet taken by it.
  size_t QueuedBytes() const;
  // Every byte dropped (queue full or write failed) since the port was opened.
  uint64_t DroppedBytes() const;
  // A write has failed since the port was opened: Write accepts nothing more.
  bool WriteFailed() const;
  // The open device went away (OnLost was raised); false once closed.
  bool Lost() const;
  // Why the open device counts as lost; empty while it works or when closed.
  std::string LostReason() const;

  std::string LastError() const;

  // Received-characters notification, bytes waiting > 0; raised again once the
  // previous one ran and more bytes came or some were read.
  std::function<void(TComPort& ASender, int32_t ACount)> OnRxChar;
  // ACount bytes for the device were dropped: AError is ENOBUFS when the queue
  // was full (the device did not take them in time), otherwise the errno of the
  // write that failed. Raised once per episode: when the queue has drained to
  // half, or at once after a failed write.
  std::function<void(TComPort& ASender, uint64_t ACount, int AError)> OnWriteDropped;
  // The device went away: it hung up (an adapter pulled out, the far end of a
  // pty closed) or a read or write failed; AWhy says which, with the device
  // path. Raised once per open, never for Close. It runs on the watcher
  // thread, so a handler only hands the news on (wakes a worker) and never
  // closes the port itself. Set it before Open.
  std::function<void(TComPort& ASender, const std::string& AWhy)> OnLost;

 protected:
  // Raises OnRxChar; a derived port handles the notification here instead.
  virtual void DoRxChar(int32_t ACount);

 private:
  struct TSession;

  std::shared_ptr<TSession> Current() const;
  bool Apply(uint32_t ABaud, uint8_t ADataBits, TComParity AParity, TComStopBits AStopBits);

  TMainDispatcher& FDispatcher;
  bool FEventsOnWatcher = false;
  TEventGate FGate;
  mutable std::mutex FLock;
  std::string FPort;
  uint32_t FBaudRate = 9600;
  uint8_t FDataBits = 8;
  TComParity FParity = TComParity::None;
  TComStopBits FStopBits = TComStopBits::One;
  std::shared_ptr<TSession> FSession;
  std::string FLastError;
};

}  // namespace orvane
