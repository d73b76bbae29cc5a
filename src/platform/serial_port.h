#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "model/line_settings.h"
#include "platform/main_dispatcher.h"

namespace orvane {

// Parity and stop bits are the port settings' own types. Data bits are a count,
// 5 to 8, and the speed is in baud (DataBitsCount and BaudRateOf of the settings).
using TComParity = TParityBits;
using TComStopBits = TStopBits;

// A serial device through termios: opened exclusively (flock and TIOCEXCL),
// raw, no flow control, DTR and RTS cleared, reads that return at once,
// writes that give up after WriteTimeLimitMs. The termios found at open are
// put back at close.
//
// Threads: Open, Close, Read and destruction on the main thread; the setters
// and Write also from a worker. The received-characters notification
// (DoRxChar, OnRxChar) runs on the main thread through ADispatcher; one queued
// before Close or destruction is dropped. FLock guards FSession and the settings.
class TComPort {
 public:
  explicit TComPort(TMainDispatcher& ADispatcher);
  virtual ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

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
  void Close();
  bool Connected() const;

  // Bytes already received, up to ACount; never waits.
  int32_t Read(void* ABuffer, int32_t ACount);
  // Waits until every byte is taken or the time limit passes; returns how
  // many were taken (fewer than ACount on a timeout or an error).
  int32_t Write(const void* ABuffer, int32_t ACount);
  int32_t WriteAnsiStr(const std::string& AData);

  std::string LastError() const;

  // The write time limit: 100 ms per byte plus 1000 ms.
  static int64_t WriteTimeLimitMs(int32_t ACount) { return int64_t{100} * ACount + 1000; }

  // Received-characters notification, bytes waiting > 0; raised again once the
  // previous one ran and more bytes came or some were read.
  std::function<void(TComPort& ASender, int32_t ACount)> OnRxChar;

 protected:
  // Raises OnRxChar; a derived port handles the notification here instead.
  virtual void DoRxChar(int32_t ACount);

 private:
  struct TSession;

  std::shared_ptr<TSession> Current() const;
  bool Apply(uint32_t ABaud, uint8_t ADataBits, TComParity AParity, TComStopBits AStopBits);

  TMainDispatcher& FDispatcher;
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
