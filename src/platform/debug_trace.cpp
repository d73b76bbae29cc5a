#include "platform/debug_trace.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/deadline.h"
#include "platform/thread_id.h"

namespace orvane {

namespace {

// The owner (uid) of the socket that the connected Unix socket AFd sends to, from
// the kernel's socket diagnostics: our socket's entry names its peer's inode,
// the peer's entry names its owner.
bool ReadDiag(uint32_t AInode, uint32_t AShow, uint32_t& APeer, uint32_t& AUid, bool& AHasUid) {
  TUniqueFd nl(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!nl.Valid()) return false;
  struct {
    nlmsghdr Header;
    unix_diag_req Request;
  } req{};
  req.Header.nlmsg_len = sizeof(req);
  req.Header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  req.Header.nlmsg_flags = NLM_F_REQUEST;
  req.Request.sdiag_family = AF_UNIX;
  req.Request.udiag_ino = AInode;
  req.Request.udiag_show = AShow;
  req.Request.udiag_cookie[0] = req.Request.udiag_cookie[1] = ~0u;  // any socket of that inode
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(nl.Get(), &req, sizeof(req), 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel)) <
      0)
    return false;
  alignas(nlmsghdr) char buf[4096];
  // The kernel answers at once; a reply that does not come in a second is no answer.
  if (PollOne(nl.Get(), POLLIN, TDeadline(1000)) <= 0) return false;
  const ssize_t n = ::recv(nl.Get(), buf, sizeof(buf), MSG_DONTWAIT);
  if (n <= 0) return false;
  auto* h = reinterpret_cast<nlmsghdr*>(buf);
  if (!NLMSG_OK(h, static_cast<unsigned>(n)) || h->nlmsg_type != SOCK_DIAG_BY_FAMILY) return false;
  const auto* msg = static_cast<const unix_diag_msg*>(NLMSG_DATA(h));
  if (h->nlmsg_len < NLMSG_LENGTH(sizeof(*msg))) return false;
  int len = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(*msg)));
  for (auto* a = reinterpret_cast<const rtattr*>(msg + 1); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
    if (RTA_PAYLOAD(a) < sizeof(uint32_t)) continue;
    uint32_t value = 0;
    std::memcpy(&value, RTA_DATA(a), sizeof(value));
    if (a->rta_type == UNIX_DIAG_PEER) APeer = value;
    if (a->rta_type == UNIX_DIAG_UID) {
      AUid = value;
      AHasUid = true;
    }
  }
  return true;
}

bool PeerOwnedByMe(int AFd) {
  struct stat own {};
  if (::fstat(AFd, &own) != 0) return false;
  uint32_t peer = 0, uid = 0;
  bool hasUid = false;
  if (!ReadDiag(uint32_t(own.st_ino), UDIAG_SHOW_PEER, peer, uid, hasUid) || peer == 0) return false;
  uint32_t unused = 0;
  // A kernel that cannot tell the owner gets nothing: the key must not leak on a guess.
  if (!ReadDiag(peer, UDIAG_SHOW_UID, unused, uid, hasUid) || !hasUid) return false;
  return uid == ::geteuid();
}

}  // namespace

TDebugTrace::TDebugTrace(bool AEnabled, std::string AName) : FEnabled(AEnabled), FName(std::move(AName)) {}

TDebugTrace::~TDebugTrace() = default;

bool TDebugTrace::ConnectToListener() {
  TUniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  // Abstract namespace: a leading zero byte, then the name without terminator.
  const size_t n = std::min(FName.size(), sizeof(addr.sun_path) - 1);
  std::memcpy(addr.sun_path + 1, FName.data(), n);
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0) return false;
  if (!PeerOwnedByMe(fd.Get())) return false;
  FFd = std::move(fd);
  return true;
}

void TDebugTrace::Send(const std::string& ALine) {
  if (!FEnabled) return;
  std::lock_guard<std::mutex> lock(FLock);
  // Looked for again with every line while none is connected: a viewer may start at any time.
  if (!FFd.Valid() && !ConnectToListener()) return;
  std::string datagram = std::to_string(CurrentThreadId());
  datagram += '\t';
  datagram += ALine;
  datagram += '\0';
  // A full queue (EAGAIN) drops the line; a listener that has gone (ECONNREFUSED) is
  // looked for again with the next line, and then checked again.
  if (::send(FFd.Get(), datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
      errno != EAGAIN && errno != EWOULDBLOCK)
    FFd.Reset();
}

}  // namespace orvane
