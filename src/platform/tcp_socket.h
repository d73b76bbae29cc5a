#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/deadline.h"

namespace orvane {

// Native socket handle: a descriptor here, a SOCKET on Windows.
#ifdef _WIN32
using TSocketHandle = uintptr_t;
inline constexpr TSocketHandle INVALID_SOCKET_HANDLE = ~static_cast<TSocketHandle>(0);
#else
using TSocketHandle = int;
inline constexpr TSocketHandle INVALID_SOCKET_HANDLE = -1;
#endif

// An IPv4 address as its four bytes in network order (Bytes[0] is the first number of "a.b.c.d").
struct TIPv4Address {
  std::array<uint8_t, 4> Bytes{};
  bool operator==(const TIPv4Address&) const = default;
};

// Error numbers of our own where the system gives none (the values of errno on Linux).
int SocketErrorTimedOut();
int SocketErrorCanceled();
int SocketErrorHostNotFound();

// Strict dotted-quad text ("10.0.0.1"); anything else (host names, "1.2.3") is not an address.
bool ParseIPv4(const std::string& AText, TIPv4Address& AAddress);
// The first IPv4 address of a host name. Blocks for as long as the system resolver takes
// (an immediate failure on a machine without a name server). AErrorText gets the resolver's reason.
bool ResolveIPv4(const std::string& AHost, TIPv4Address& AAddress, std::string* AErrorText = nullptr);

// A resolver with ResolveIPv4's signature; tests give one that never answers.
using TResolveFunction =
    std::function<bool(const std::string& AHost, TIPv4Address& AAddress, std::string* AErrorText)>;

// The longest a caller waits for a name to resolve.
inline constexpr uint32_t RESOLVE_TIMEOUT_MS = 15000;

// ResolveIPv4 with a time limit and a stop request. The system resolver cannot be
// interrupted, so it runs on a thread of its own; the caller waits at most ATimeoutMs, asking
// ACancel every 50 ms, and a late answer is dropped when it comes (the thread then ends).
// On failure AError (when given) is SocketErrorHostNotFound(), SocketErrorTimedOut() or
// SocketErrorCanceled(). AResolve empty: ResolveIPv4.
bool ResolveIPv4Bounded(const std::string& AHost, TIPv4Address& AAddress, uint32_t ATimeoutMs,
                        const TCancelCheck& ACancel, int* AError = nullptr, std::string* AErrorText = nullptr,
                        const TResolveFunction& AResolve = {});

// One IPv4 TCP client socket; closes itself on destruction.
// After Connect the socket is non-blocking: sends and waits are bounded by the caller's
// timeouts, so no call blocks for the kernel's own time limits. SetBlocking(true) hands the
// descriptor to code that wants blocking I/O (a TLS library).
// Threads: one thread at a time uses an object; LastError belongs to that thread's last call.
class TTcpSocket {
 public:
  TTcpSocket() = default;
  ~TTcpSocket();
  TTcpSocket(TTcpSocket&& AOther) noexcept;
  TTcpSocket& operator=(TTcpSocket&& AOther) noexcept;
  TTcpSocket(const TTcpSocket&) = delete;
  TTcpSocket& operator=(const TTcpSocket&) = delete;

  // Makes a fresh IPv4 stream socket (closing any previous one).
  bool Create();
  // Connects the created socket. Waits in slices of at most 50 ms, asking ACancel between
  // them; fails with SocketErrorCanceled() when it says stop and with SocketErrorTimedOut()
  // after ATimeoutMs.
  bool Connect(const TIPv4Address& AAddress, uint16_t APort, uint32_t ATimeoutMs,
               const TCancelCheck& ACancel = {});
  // Create, resolve (dotted text or host name) and connect in one go; on failure the object
  // holds no socket. A name that does not resolve fails with SocketErrorHostNotFound(); the
  // resolution is bounded as ResolveIPv4Bounded with RESOLVE_TIMEOUT_MS and ACancel.
  bool ConnectTo(const std::string& AHost, uint16_t APort, uint32_t ATimeoutMs,
                 const TCancelCheck& ACancel = {});

  // One send call: the count sent (> 0), 0 when no room came within ATimeoutMs (LastError
  // SocketErrorTimedOut()), -1 on an error (peer gone, ...). It sends at once while the
  // previous send took everything, and waits for room first after one that did not.
  long SendSome(const void* AData, size_t ALength, uint32_t ATimeoutMs);
  // Sends every byte; fails when a wait for room makes no progress within ATimeoutMs.
  bool SendAll(const void* AData, size_t ALength, uint32_t ATimeoutMs);
  // One receive call: the count read (> 0), 0 when the peer closed the connection,
  // -1 on an error, including "nothing to read yet" on a non-blocking socket.
  long Recv(void* ABuffer, size_t ALength);
  // One receive call for what is waiting, without the FIONREAD ask first: the count read
  // (> 0); 0 when nothing is waiting yet (LastError untouched); -1 when the connection has
  // ended: at the end of the stream LastError is untouched, on an error (a reset) it is that error.
  long RecvWaiting(void* ABuffer, size_t ALength);
  // Bytes received and not yet read (FIONREAD).
  bool BytesWaiting(size_t& ACount);
  // 1 when a read would not block (data, end of stream or an error), 0 after ATimeoutMs, -1 on error.
  int WaitReadable(uint32_t ATimeoutMs);
  // 1 when a send would not block (room, or an error or hang-up that the send will report),
  // 0 after ATimeoutMs, -1 on error.
  int WaitWritable(uint32_t ATimeoutMs);
  // Nagle's algorithm off (true) or on: small writes go out at once rather than wait for an ACK.
  bool SetNoDelay(bool AOn);
  // Keep-alive probes on an idle connection: the first after AIdleS seconds of silence,
  // then every AIntervalS; ACount unanswered ones end the connection, so a peer that is
  // gone (a cut cable) is noticed even while nothing is sent.
  bool SetKeepAlive(uint32_t AIdleS, uint32_t AIntervalS, uint32_t ACount);
  bool SetBlocking(bool ABlocking);
  // True when nothing is left to read and the peer has ended the connection (end of
  // stream or a socket error); FIONREAD alone cannot tell that from an idle peer.
  bool PeerClosed();

  void Close();
  bool IsValid() const { return FHandle != INVALID_SOCKET_HANDLE; }
  TSocketHandle Handle() const { return FHandle; }

  // The error number of the last failed call (errno here) and its text.
  int LastError() const { return FLastError; }
  std::string LastErrorText() const;

 private:
  bool Fail(int AError);
  int Wait(short AEvents, uint32_t ATimeoutMs);

  TSocketHandle FHandle = INVALID_SOCKET_HANDLE;
  int FLastError = 0;
  // The last send could not take everything (or found no room).
  bool FSendShort = false;
};

}  // namespace orvane
