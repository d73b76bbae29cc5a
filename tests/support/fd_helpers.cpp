#include "support/fd_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace orvane::test {

namespace {

int MsLeft(std::chrono::steady_clock::time_point AEnd) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(AEnd - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// A TCP socket bound to 127.0.0.1 on APort, or on a port the kernel picks when
// it is 0; throws when none can be had. AReuse: a listener, whose port a new
// listener may take again while connections of the old one still close
// (they inherit the option, which the kernel asks of both sides).
TTestFd BoundLoopbackSocket(uint16_t& APort, bool AReuse) {
  TTestFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) throw std::runtime_error("socket failed");
  if (AReuse) {
    const int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(APort);
  socklen_t len = sizeof addr;
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error(std::string("bind failed: ") + std::strerror(errno));
  APort = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

TLoopbackListener::TLoopbackListener(int ABacklog, uint16_t APort) : FPort(APort) {
  FFd = BoundLoopbackSocket(FPort, true);
  if (::listen(FFd.Get(), ABacklog) != 0) throw std::runtime_error("listen failed");
}

TTestFd TLoopbackListener::Accept(int ATimeoutMs) {
  pollfd pfd{FFd.Get(), POLLIN, 0};
  if (::poll(&pfd, 1, ATimeoutMs) <= 0) return TTestFd();
  return TTestFd(::accept4(FFd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

uint16_t UnusedLoopbackPort() {
  // Without SO_REUSEADDR on this socket, every other bind of the port fails.
  static std::mutex lock;
  static std::vector<TTestFd> reserved;
  uint16_t port = 0;
  TTestFd fd = BoundLoopbackSocket(port, false);
  std::lock_guard<std::mutex> guard(lock);
  reserved.push_back(std::move(fd));
  return port;
}

bool WriteAllFd(int AFd, const std::string& AData, int ATimeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  bool socket = true;
  size_t done = 0;
  while (done < AData.size()) {
    const char* from = AData.data() + done;
    const size_t count = AData.size() - done;
    ssize_t n = socket ? ::send(AFd, from, count, MSG_NOSIGNAL) : ::write(AFd, from, count);
    if (n < 0 && errno == ENOTSOCK) {
      socket = false;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd pfd{AFd, POLLOUT, 0};
      if (::poll(&pfd, 1, MsLeft(end)) <= 0) return false;
      continue;
    }
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReadExactlyFd(int AFd, size_t ACount, std::string& AData, int ATimeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  AData.clear();
  char buf[4096];
  while (AData.size() < ACount) {
    const int left = MsLeft(end);
    if (left <= 0) return false;
    pollfd pfd{AFd, POLLIN, 0};
    if (::poll(&pfd, 1, left) <= 0) continue;
    const ssize_t n = ::read(AFd, buf, std::min(sizeof buf, ACount - AData.size()));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    AData.append(buf, static_cast<size_t>(n));
  }
  return true;
}

std::string ReadFor(int AFd, size_t AWant, std::chrono::milliseconds ADeadline) {
  std::string data;
  const auto end = std::chrono::steady_clock::now() + ADeadline;
  while (data.size() < AWant && std::chrono::steady_clock::now() < end) {
    pollfd pfd{AFd, POLLIN, 0};
    if (::poll(&pfd, 1, 20) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(AFd, buffer, sizeof buffer);
    if (n > 0) data.append(buffer, static_cast<size_t>(n));
    if (n == 0) break;
  }
  return data;
}

}  // namespace orvane::test
