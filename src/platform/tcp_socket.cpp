#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace orvane {

namespace {

// Longest single wait of a connect or a name resolution, so a cancel request is seen promptly.
constexpr uint32_t CONNECT_SLICE_MS = 50;

// Shared by a resolving thread and its caller, so either may go first.
struct TResolveJob {
  std::mutex Lock;
  std::condition_variable Done;
  bool Finished = false;
  bool Ok = false;
  TIPv4Address Address;
  std::string ErrorText;
};

}  // namespace

int SocketErrorTimedOut() {
  return ETIMEDOUT;
}
int SocketErrorCanceled() {
  return ECANCELED;
}
int SocketErrorHostNotFound() {
  return EHOSTUNREACH;
}

bool ParseIPv4(const std::string& AText, TIPv4Address& AAddress) {
  in_addr addr{};
  if (::inet_pton(AF_INET, AText.c_str(), &addr) != 1) return false;
  std::memcpy(AAddress.Bytes.data(), &addr.s_addr, 4);
  return true;
}

bool ResolveIPv4(const std::string& AHost, TIPv4Address& AAddress, std::string* AErrorText) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(AHost.c_str(), nullptr, &hints, &list);
  if (rc != 0 || list == nullptr) {
    if (AErrorText) *AErrorText = rc != 0 ? ::gai_strerror(rc) : "no IPv4 address";
    if (list) ::freeaddrinfo(list);
    return false;
  }
  const auto* sin = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
  std::memcpy(AAddress.Bytes.data(), &sin->sin_addr.s_addr, 4);
  ::freeaddrinfo(list);
  return true;
}

bool ResolveIPv4Bounded(const std::string& AHost, TIPv4Address& AAddress, uint32_t ATimeoutMs,
                        const TCancelCheck& ACancel, int* AError, std::string* AErrorText,
                        const TResolveFunction& AResolve) {
  const auto fail = [&](int AErrorNumber, const std::string& AText) {
    if (AError) *AError = AErrorNumber;
    if (AErrorText) *AErrorText = AText;
    return false;
  };
  auto job = std::make_shared<TResolveJob>();
  TResolveFunction resolve = AResolve ? AResolve : TResolveFunction(&ResolveIPv4);
  try {
    std::thread([job, host = AHost, resolve = std::move(resolve)] {
      TIPv4Address address;
      std::string text;
      const bool ok = resolve(host, address, &text);
      std::lock_guard lock(job->Lock);
      job->Finished = true;
      job->Ok = ok;
      job->Address = address;
      job->ErrorText = std::move(text);
      job->Done.notify_all();
    }).detach();
  } catch (const std::system_error& e) {
    return fail(SocketErrorHostNotFound(), e.what());
  }

  const TDeadline deadline(ATimeoutMs);
  std::unique_lock lock(job->Lock);
  while (!job->Finished) {
    lock.unlock();
    if (ACancel && ACancel()) return fail(SocketErrorCanceled(), "cancelled");
    if (deadline.Expired()) return fail(SocketErrorTimedOut(), "no answer from the resolver");
    lock.lock();
    job->Done.wait_for(lock, std::chrono::milliseconds(std::min(CONNECT_SLICE_MS, deadline.RemainingMs())),
                       [&] { return job->Finished; });
  }
  if (!job->Ok) return fail(SocketErrorHostNotFound(), job->ErrorText);
  AAddress = job->Address;
  return true;
}

TTcpSocket::~TTcpSocket() {
  Close();
}

TTcpSocket::TTcpSocket(TTcpSocket&& AOther) noexcept
    : FHandle(std::exchange(AOther.FHandle, INVALID_SOCKET_HANDLE)),
      FLastError(AOther.FLastError),
      FSendShort(AOther.FSendShort) {}

TTcpSocket& TTcpSocket::operator=(TTcpSocket&& AOther) noexcept {
  if (this != &AOther) {
    Close();
    FHandle = std::exchange(AOther.FHandle, INVALID_SOCKET_HANDLE);
    FLastError = AOther.FLastError;
    FSendShort = AOther.FSendShort;
  }
  return *this;
}

bool TTcpSocket::Fail(int AError) {
  FLastError = AError;
  return false;
}

std::string TTcpSocket::LastErrorText() const {
  return std::strerror(FLastError);
}

bool TTcpSocket::Create() {
  Close();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail(errno);
  FHandle = fd;
  return true;
}

bool TTcpSocket::SetBlocking(bool ABlocking) {
  if (!IsValid()) return Fail(EBADF);
  const int flags = ::fcntl(FHandle, F_GETFL);
  if (flags < 0) return Fail(errno);
  const int wanted = ABlocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (wanted != flags && ::fcntl(FHandle, F_SETFL, wanted) < 0) return Fail(errno);
  return true;
}

bool TTcpSocket::Connect(const TIPv4Address& AAddress, uint16_t APort, uint32_t ATimeoutMs,
                         const TCancelCheck& ACancel) {
  if (!IsValid()) return Fail(EBADF);
  if (!SetBlocking(false)) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(APort);
  std::memcpy(&addr.sin_addr.s_addr, AAddress.Bytes.data(), 4);
  if (::connect(FHandle, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return Fail(errno);

  const TDeadline deadline(ATimeoutMs);
  for (;;) {
    if (ACancel && ACancel()) return Fail(ECANCELED);
    if (deadline.Expired()) return Fail(ETIMEDOUT);
    const int revents =
        PollOne(FHandle, POLLOUT, TDeadline(std::min(CONNECT_SLICE_MS, deadline.RemainingMs())));
    if (revents < 0) return Fail(errno);
    if (revents == 0) continue;
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(FHandle, SOL_SOCKET, SO_ERROR, &error, &len) < 0) return Fail(errno);
    if (error != 0) return Fail(error);
    return true;
  }
}

bool TTcpSocket::ConnectTo(const std::string& AHost, uint16_t APort, uint32_t ATimeoutMs,
                           const TCancelCheck& ACancel) {
  Close();
  TIPv4Address address;
  int error = 0;
  if (!ParseIPv4(AHost, address) && !ResolveIPv4Bounded(AHost, address, RESOLVE_TIMEOUT_MS, ACancel, &error))
    return Fail(error);
  TTcpSocket fresh;
  if (!fresh.Create() || !fresh.Connect(address, APort, ATimeoutMs, ACancel)) return Fail(fresh.LastError());
  *this = std::move(fresh);
  return true;
}

long TTcpSocket::SendSome(const void* AData, size_t ALength, uint32_t ATimeoutMs) {
  if (!IsValid()) return Fail(EBADF), -1;
  if (ALength == 0) return 0;
  // While the last send took everything the buffer has room: the send goes
  // straight out, without a poll first. After one that could not, room is
  // waited for as poll tells it (a third of the buffer free), not grabbed in
  // scraps, so a peer that stopped reading stays seen as stopped.
  if (FSendShort) {
    const int revents = PollOne(FHandle, POLLOUT, TDeadline(ATimeoutMs));
    if (revents < 0) return Fail(errno), -1;
    if (revents == 0) return Fail(ETIMEDOUT), 0;
  }
  for (;;) {
    // MSG_NOSIGNAL: a peer that has gone must give EPIPE, not kill the process.
    const ssize_t sent = ::send(FHandle, AData, ALength, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      FSendShort = static_cast<size_t>(sent) < ALength;
      return static_cast<long>(sent);
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail(errno), -1;
    // No room: after a poll that said there was, the same as a timed-out wait;
    // otherwise wait for it now.
    if (FSendShort) return Fail(ETIMEDOUT), 0;
    FSendShort = true;
    const int revents = PollOne(FHandle, POLLOUT, TDeadline(ATimeoutMs));
    if (revents < 0) return Fail(errno), -1;
    if (revents == 0) return Fail(ETIMEDOUT), 0;
  }
}

bool TTcpSocket::SendAll(const void* AData, size_t ALength, uint32_t ATimeoutMs) {
  const auto* p = static_cast<const char*>(AData);
  while (ALength > 0) {
    const long sent = SendSome(p, ALength, ATimeoutMs);
    if (sent <= 0) return false;
    p += sent;
    ALength -= static_cast<size_t>(sent);
  }
  return true;
}

long TTcpSocket::Recv(void* ABuffer, size_t ALength) {
  if (!IsValid()) return Fail(EBADF), -1;
  for (;;) {
    const ssize_t got = ::recv(FHandle, ABuffer, ALength, 0);
    if (got >= 0) return static_cast<long>(got);
    if (errno != EINTR) return Fail(errno), -1;
  }
}

long TTcpSocket::RecvWaiting(void* ABuffer, size_t ALength) {
  if (!IsValid()) return Fail(EBADF), -1;
  // A read of nothing would look like the end of the stream.
  if (ALength == 0) return 0;
  for (;;) {
    const ssize_t got = ::recv(FHandle, ABuffer, ALength, MSG_DONTWAIT);
    if (got > 0) return static_cast<long>(got);
    if (got == 0) return -1;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno != EINTR) return Fail(errno), -1;
  }
}

bool TTcpSocket::BytesWaiting(size_t& ACount) {
  if (!IsValid()) return Fail(EBADF);
  int count = 0;
  if (::ioctl(FHandle, FIONREAD, &count) < 0) return Fail(errno);
  ACount = static_cast<size_t>(count);
  return true;
}

int TTcpSocket::WaitReadable(uint32_t ATimeoutMs) {
  return Wait(POLLIN, ATimeoutMs);
}

int TTcpSocket::WaitWritable(uint32_t ATimeoutMs) {
  return Wait(POLLOUT, ATimeoutMs);
}

int TTcpSocket::Wait(short AEvents, uint32_t ATimeoutMs) {
  if (!IsValid()) return Fail(EBADF), -1;
  const int revents = PollOne(FHandle, AEvents, TDeadline(ATimeoutMs));
  if (revents < 0) return Fail(errno), -1;
  return revents == 0 ? 0 : 1;
}

bool TTcpSocket::SetNoDelay(bool AOn) {
  if (!IsValid()) return Fail(EBADF);
  const int value = AOn ? 1 : 0;
  if (::setsockopt(FHandle, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) < 0) return Fail(errno);
  return true;
}

bool TTcpSocket::SetKeepAlive(uint32_t AIdleS, uint32_t AIntervalS, uint32_t ACount) {
  if (!IsValid()) return Fail(EBADF);
  const int on = 1;
  const int idle = static_cast<int>(AIdleS);
  const int interval = static_cast<int>(AIntervalS);
  const int count = static_cast<int>(ACount);
  if (::setsockopt(FHandle, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0 ||
      ::setsockopt(FHandle, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) < 0 ||
      ::setsockopt(FHandle, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) < 0 ||
      ::setsockopt(FHandle, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) < 0)
    return Fail(errno);
  return true;
}

bool TTcpSocket::PeerClosed() {
  if (!IsValid()) return false;
  const int revents = PollOne(FHandle, POLLIN, TDeadline(0));
  if (revents <= 0) return false;
  char probe = 0;
  const ssize_t n = ::recv(FHandle, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return true;
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    Fail(errno);
    return true;
  }
  return false;
}

void TTcpSocket::Close() {
  if (IsValid()) {
    ::close(FHandle);
    FHandle = INVALID_SOCKET_HANDLE;
  }
  FSendShort = false;
}

}  // namespace orvane
