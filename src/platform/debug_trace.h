#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace orvane {

inline constexpr const char* DEBUG_WINDOW_NAME = "ZENDRA_DEBUG_WINDOW";

// Trace lines for an external debug viewer, switched on by "/DEBUG_WINDOW".
// Each line goes as one datagram to the Unix socket of that name in the
// abstract namespace: the sending thread's id in decimal, a tab, the text and
// one zero byte. When nothing listens, or the viewer is not keeping up, the
// line is dropped: the send never blocks. Disabled, nothing is ever sent.
// Threads: Send may be called from any thread.
class TDebugTrace {
 public:
  explicit TDebugTrace(bool AEnabled, std::string AName = DEBUG_WINDOW_NAME);
  ~TDebugTrace();
  TDebugTrace(const TDebugTrace&) = delete;
  TDebugTrace& operator=(const TDebugTrace&) = delete;

  bool Enabled() const { return FEnabled; }
  void Send(const std::string& ALine);

 private:
  bool FEnabled;
  std::string FName;
  TUniqueFd FFd;
};

}  // namespace orvane
