#include "platform/debug_trace.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/thread_id.h"

namespace orvane {

TDebugTrace::TDebugTrace(bool AEnabled, std::string AName) : FEnabled(AEnabled), FName(std::move(AName)) {
  if (FEnabled) FFd.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

TDebugTrace::~TDebugTrace() = default;

void TDebugTrace::Send(const std::string& ALine) {
  if (!FEnabled || !FFd.Valid()) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  // Abstract namespace: a leading zero byte, then the name without terminator.
  const size_t n = std::min(FName.size(), sizeof(addr.sun_path) - 1);
  std::memcpy(addr.sun_path + 1, FName.data(), n);
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
  std::string datagram = std::to_string(CurrentThreadId());
  datagram += '\t';
  datagram += ALine;
  datagram += '\0';
  // No listener (ECONNREFUSED) or a full queue (EAGAIN): the line is dropped.
  (void)::sendto(FFd.Get(), datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&addr), len);
}

}  // namespace orvane
