#pragma once

#include <mutex>
#include <string>

#include "platform/unique_fd.h"

namespace orvane {

inline constexpr const char* DEBUG_WINDOW_NAME = "ZENDRA_DEBUG_WINDOW";

// Trace lines for an external debug viewer, switched on by "/DEBUG_WINDOW".
// Each line goes as one datagram to the Unix socket of that name in the
// abstract namespace: the sending thread's id in decimal, a tab, the text and
// one zero byte. When nothing listens, or the viewer is not keeping up, the
// line is dropped: the send never blocks. Disabled, nothing is ever sent.
// The trace carries the security key, and any user may bind an abstract name,
// so a line goes only to a listener owned by this process's user: the socket is
// connected to the listener (it then reaches that socket and no other), and the
// owner of that very socket is asked of the kernel (sock_diag) before the first
// line. SO_PEERCRED tells nothing on a datagram socket, and SCM_CREDENTIALS would
// only tell the listener who we are.
// Threads: Send may be called from any thread; FLock guards the socket.
class TDebugTrace {
 public:
  explicit TDebugTrace(bool AEnabled, std::string AName = DEBUG_WINDOW_NAME);
  ~TDebugTrace();
  TDebugTrace(const TDebugTrace&) = delete;
  TDebugTrace& operator=(const TDebugTrace&) = delete;

  bool Enabled() const { return FEnabled; }
  void Send(const std::string& ALine);

 private:
  // Connects to the listener and checks its owner; false (and no socket) otherwise.
  bool ConnectToListener();

  bool FEnabled;
  std::string FName;
  std::mutex FLock;
  TUniqueFd FFd;  // connected to a listener of our own user, or none
};

}  // namespace orvane
