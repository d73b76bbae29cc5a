#include "mqtt/mqtt_socket.h"

#include <algorithm>
#include <cerrno>

#include "platform/deadline.h"

namespace orvane {

bool TMQTTSocket::Fail(int ACode, const std::string& AText) {
  FLastError = ACode;
  FLastErrorDesc = AText;
  return false;
}

bool TMQTTSocket::FailFromTcp() {
  return Fail(FTcp.LastError() != 0 ? FTcp.LastError() : -1, FTcp.LastErrorText());
}

bool TMQTTSocket::FailFromTls() {
  return Fail(FTls->LastError() != 0 ? FTls->LastError() : -1, FTls->LastErrorText());
}

bool TMQTTSocket::Connect(const std::string& AHost, uint16_t APort, const TCancelCheck& ACancel) {
  CloseSocket();
  FLastError = 0;
  FLastErrorDesc.clear();
  FHost = AHost;
  if (!FTcp.ConnectTo(AHost, APort, CONNECT_TIMEOUT_MS, ACancel)) return FailFromTcp();
  // Each packet goes in one write; Nagle's algorithm would only hold a packet
  // that follows another (a hello after data) until the broker's delayed ACK.
  FTcp.SetNoDelay(true);
  return true;
}

bool TMQTTSocket::SSLDoConnect(const TTlsSettings& ASettings, const TCancelCheck& ACancel) {
  FLastError = 0;
  FLastErrorDesc.clear();
  if (!FTcp.IsValid()) return Fail(EBADF, "not connected");
  auto tls = std::make_unique<TTlsSocket>();
  if (!tls->Connect(FTcp.Handle(), FHost, ASettings, CONNECT_TIMEOUT_MS, ACancel))
    return Fail(tls->LastError() != 0 ? tls->LastError() : -1, tls->LastErrorText());
  FTls = std::move(tls);
  return true;
}

bool TMQTTSocket::CanWrite(uint32_t ATimeoutMs) {
  FLastError = 0;
  FLastErrorDesc.clear();
  if (!FTcp.IsValid()) return Fail(EBADF, "not connected");
  const int r = FTcp.WaitWritable(ATimeoutMs);
  if (r < 0) return Fail(FTcp.LastError(), "poll failed");
  // An error or hang-up counts as writable: the send that follows reports it.
  return r > 0;
}

bool TMQTTSocket::SendBuffer(const uint8_t* AData, size_t ALength, size_t& AWritten, const TDeadline& ALimit,
                             const TCancelCheck& ACancel) {
  FLastError = 0;
  FLastErrorDesc.clear();
  AWritten = 0;
  if (!FTcp.IsValid()) return Fail(EBADF, "not connected");
  // A stall is bounded on its own (every bit of progress starts it over), the whole send by ALimit.
  TDeadline stall(STALL_TIMEOUT_MS);
  while (AWritten < ALength) {
    if (ACancel && ACancel()) return Fail(SocketErrorCanceled(), "send canceled");
    if (ALimit.Expired()) return Fail(SocketErrorTimedOut(), "send took too long");
    if (stall.Expired()) return Fail(SocketErrorTimedOut(), "socket not writable");
    const uint32_t slice = std::min({SEND_SLICE_MS, ALimit.RemainingMs(), stall.RemainingMs()});
    long n;
    if (!FTls) {
      // Waits up to one slice for room; 0 when none came.
      n = FTcp.SendSome(AData + AWritten, ALength - AWritten, slice);
      if (n < 0) return FailFromTcp();
    } else {
      n = FTls->Send(AData + AWritten, ALength - AWritten);
      if (n < 0) return FailFromTls();
      // A failed wait is left to the next Send to report.
      if (n == 0) {
        if (FTls->WantsRead())
          FTcp.WaitReadable(slice);
        else
          FTcp.WaitWritable(slice);
      }
    }
    if (n > 0) {
      AWritten += static_cast<size_t>(n);
      stall.Restart();
    }
  }
  return true;
}

size_t TMQTTSocket::WaitingDataEx() {
  if (!FTcp.IsValid()) return 0;
  size_t waiting = 0;
  if (!FTcp.BytesWaiting(waiting)) waiting = 0;
  // Raw bytes under TLS may be only part of a record; a read then returns nothing, harmlessly.
  if (FTls) waiting += FTls->Pending();
  return waiting;
}

bool TMQTTSocket::ReadableNow() {
  if (!FTcp.IsValid()) return false;
  if (BufferedInput() > 0) return true;
  // POLLIN also reports the end of the stream, which FIONREAD cannot tell from an idle peer.
  return FTcp.WaitReadable(0) != 0;
}

size_t TMQTTSocket::BufferedInput() const {
  return FTls ? FTls->Pending() : 0;
}

long TMQTTSocket::RecvBufferEx(uint8_t* ABuffer, size_t ACount, uint32_t ATimeoutMs) {
  FLastError = 0;
  FLastErrorDesc.clear();
  if (!FTcp.IsValid()) return Fail(EBADF, "not connected"), -1;
  size_t got = 0;
  // Bytes that came before a close or an error are handed over first; the next call reports it.
  while (got < ACount) {
    long n;
    if (FTls) {
      n = FTls->Recv(ABuffer + got, ACount - got);
      if (n < 0) return got > 0 ? static_cast<long>(got) : (FailFromTls(), -1);
    } else {
      n = FTcp.Recv(ABuffer + got, ACount - got);
      if (n == 0)
        return got > 0 ? static_cast<long>(got) : (Fail(ECONNRESET, "connection closed by peer"), -1);
      if (n < 0) {
        if (FTcp.LastError() != EAGAIN && FTcp.LastError() != EWOULDBLOCK)
          return got > 0 ? static_cast<long>(got) : (FailFromTcp(), -1);
        n = 0;
      }
    }
    if (n > 0) {
      got += static_cast<size_t>(n);
      // A short read of a plain socket has emptied it: asking again would only hear EAGAIN.
      if (!FTls && ATimeoutMs == 0 && got < ACount) break;
      continue;
    }
    if (ATimeoutMs == 0) break;
    if (FTcp.WaitReadable(ATimeoutMs) <= 0) break;
  }
  return static_cast<long>(got);
}

void TMQTTSocket::CloseSocket() {
  FTls.reset();  // close_notify before the descriptor goes
  // Closing with unread input makes the kernel reset the connection and throw away what
  // it still holds for the broker: packets a send has already counted as delivered. The
  // input belongs to a connection being given up, so it is read away first (bounded, so a
  // flood cannot hold the close).
  if (FTcp.IsValid()) {
    uint8_t sink[16384];
    for (size_t drained = 0; drained < CLOSE_DRAIN_LIMIT;) {
      const long n = FTcp.Recv(sink, sizeof(sink));
      if (n <= 0) break;
      drained += static_cast<size_t>(n);
    }
  }
  FTcp.Close();
}

}  // namespace orvane
