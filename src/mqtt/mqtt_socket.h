#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/tcp_socket.h"
#include "platform/tls_socket.h"

namespace orvane {

// The session's connection: one TCP client socket, optionally with TLS on top.
// Every wait is bounded: a send fails when it makes no progress for
// STALL_TIMEOUT_MS or passes the caller's limit, and asks the caller's cancel
// check at least every SEND_SLICE_MS, so a stalled broker cannot hold the worker.
// Threads: one thread at a time (the session serialises reads and writes).
class TMQTTSocket {
 public:
  static constexpr uint32_t CONNECT_TIMEOUT_MS = 30000;
  static constexpr uint32_t STALL_TIMEOUT_MS = 5000;
  static constexpr uint32_t SEND_SLICE_MS = 50;
  static constexpr size_t CLOSE_DRAIN_LIMIT = 1024 * 1024;

  // Resolves AHost and connects; ACancel is asked between short waits.
  bool Connect(const std::string& AHost, uint16_t APort, const TCancelCheck& ACancel = {});
  // TLS client handshake over the connected socket.
  bool SSLDoConnect(const TTlsSettings& ASettings, const TCancelCheck& ACancel = {});
  // True when the socket has room within ATimeoutMs.
  bool CanWrite(uint32_t ATimeoutMs);
  // Writes all ALength bytes (through TLS when it is on). False with LastError set when
  // the peer fails, ALimit passes, no byte goes out for STALL_TIMEOUT_MS or ACancel says
  // stop; AWritten tells how far it got either way.
  bool SendBuffer(const uint8_t* AData, size_t ALength, size_t& AWritten, const TDeadline& ALimit,
                  const TCancelCheck& ACancel = {});
  // Bytes readable now without waiting, counting what the TLS layer holds.
  size_t WaitingDataEx();
  // True when a read would not wait: bytes, the end of the stream or an error (which the
  // read then reports), or bytes the TLS layer already holds.
  bool ReadableNow();
  // Deciphered bytes held inside the TLS layer: the descriptor does not show them.
  size_t BufferedInput() const;
  // No TLS: what the descriptor shows is all there is, so a read needs no poll first.
  bool Plain() const { return FTls == nullptr; }
  // The descriptor a caller may wait on; INVALID_SOCKET_HANDLE when not connected.
  TSocketHandle Handle() const { return FTcp.Handle(); }
  // Up to ACount bytes; stops early once nothing more arrives within ATimeoutMs (with 0,
  // on a plain connection, after a read that gave less than asked: nothing more is there).
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
