#include "support/notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>

namespace orvane::test {

TNotifySocket::TNotifySocket(const std::string& APath) {
  sockaddr_un address{};
  if (APath.empty() || APath.size() >= sizeof address.sun_path) return;
  TTestFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, APath.data(), APath.size());
  if (APath[0] == '@') address.sun_path[0] = '\0';
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + APath.size());
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) FFd = std::move(fd);
}

std::string TNotifySocket::Receive(std::chrono::milliseconds ADeadline) {
  pollfd pfd{FFd.Get(), POLLIN, 0};
  if (::poll(&pfd, 1, static_cast<int>(ADeadline.count())) <= 0) return {};
  char buffer[4096];
  const ssize_t n = ::recv(FFd.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace orvane::test
