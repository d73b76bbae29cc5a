#include "platform/debug_trace.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace orvane {

TDebugTrace::TDebugTrace(bool AEnabled, std::string AName) : FEnabled(AEnabled), FName(std::move(AName)) {
  if (FEnabled) FFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

TDebugTrace::~TDebugTrace() {
  if (FFd >= 0) ::close(FFd);
}

void TDebugTrace::Send(const std::string& ALine) {
  if (!FEnabled || FFd < 0) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  // Abstract namespace: a leading zero byte, then the name without terminator.
  const size_t n = std::min(FName.size(), sizeof(addr.sun_path) - 1);
  std::memcpy(addr.sun_path + 1, FName.data(), n);
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
  std::string datagram = std::to_string(static_cast<long>(::syscall(SYS_gettid)));
  datagram += '\t';
  datagram += ALine;
  datagram += '\0';
  // No listener (ECONNREFUSED) or a full queue (EAGAIN): the line is dropped.
  (void)::sendto(FFd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&addr), len);
}

}  // namespace orvane
