#include "platform/service_manager.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace orvane {

TServiceNotify::TServiceNotify(std::string ASocketPath) : FPath(std::move(ASocketPath)) {
  // A path must fit sockaddr_un; anything else is not a socket we can reach.
  if (FPath.size() < 2 || FPath.size() >= sizeof(sockaddr_un::sun_path)) return;
  if (FPath[0] != '/' && FPath[0] != '@') return;
  FFd.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

bool TServiceNotify::Send(const std::string& AState) {
  if (!FFd.Valid()) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, FPath.data(), FPath.size());
  if (FPath[0] == '@') address.sun_path[0] = '\0';
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + FPath.size());
  ssize_t sent;
  do {
    sent = ::sendto(FFd.Get(), AState.data(), AState.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), length);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(AState.size());
}

std::string NotifySocketOfEnvironment() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  return path != nullptr ? path : "";
}

bool StdoutIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat info {};
  if (stream == nullptr || ::fstat(STDOUT_FILENO, &info) < 0) return false;
  return stream == std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

}  // namespace orvane
