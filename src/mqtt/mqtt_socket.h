#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/tcp_socket.h"
#include "platform/tls_socket.h"

namespace orvane {

// The session's connection: one TCP client socket, optionally with TLS on top.
// Every wait is bounded: a send that makes no progress for STALL_TIMEOUT_MS
// fails, so a stalled broker cannot hold the worker forever.
// Threads: one thread at a time (the session serialises reads and writes).
class TMQTTSocket {
 public:
  static constexpr uint32_t CONNECT_TIMEOUT_MS = 30000;
  static constexpr uint32_t STALL_TIMEOUT_MS = 5000;

  // Resolves AHost and connects; ACancel is asked between short waits.
  bool Connect(const std::string& AHost, uint16_t APort, const TCancelCheck& ACancel = {});
  // TLS client handshake over the connected socket.
  bool SSLDoConnect(const TTlsSettings& ASettings, const TCancelCheck& ACancel = {});
  // True when the socket has room within ATimeoutMs.
  bool CanWrite(uint32_t ATimeoutMs);
  // Writes all ALength bytes (through TLS when it is on): ALength, or -1 with LastError set.
  long SendBuffer(const uint8_t* AData, size_t ALength);
  // Bytes readable now without waiting, counting what the TLS layer holds.
  size_t WaitingDataEx();
  // Up to ACount bytes; stops early once nothing more arrives within ATimeoutMs.
  // -1 on an error or when the peer has closed the connection.
  long RecvBufferEx(uint8_t* ABuffer, size_t ACount, uint32_t ATimeoutMs);
  void CloseSocket();

  int LastError() const { return FLastError; }
  const std::string& LastErrorDesc() const { return FLastErrorDesc; }

 private:
  bool Fail(int ACode, const std::string& AText);
  bool FailFromTcp();
  bool FailFromTls();

  TTcpSocket FTcp;
  std::unique_ptr<TTlsSocket> FTls;
  std::string FHost;
  int FLastError = 0;
  std::string FLastErrorDesc;
};

}  // namespace orvane
