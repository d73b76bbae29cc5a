#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/port_host.h"
#include "platform/local_socket.h"
#include "platform/main_dispatcher.h"
#include "platform/wake_event.h"

namespace orvane {

// The socket in the data directory that "--status" asks; owner and group may ask.
inline constexpr const char* STATUS_SOCKET_NAME = "orvane.sock";
inline constexpr uint32_t STATUS_SOCKET_MODE = 0660;

// Exit codes of "--status", for monitoring checks.
inline constexpr int EXIT_STATUS_ALL_WORKING = 0;
inline constexpr int EXIT_STATUS_NOT_ALL_WORKING = 1;
inline constexpr int EXIT_STATUS_NOT_RUNNING = 3;

// The answer on the socket: a first line naming it, one line of tab-separated
// fields per port (texts escaped, so no field holds a tab or a line break),
// and "end", so a reply cut short is told from a whole one.
std::string StatusReply(const std::vector<TPortStatus>& AStatuses);
// The ports of a whole reply; false for anything else.
bool ParseStatusReply(const std::string& AReply, std::vector<TPortStatus>& AStatuses);
// One port as "--status" shows it.
std::string StatusLine(const TPortStatus& AStatus);

// "--status": asks the instance running on ADataDir and writes one line per
// port to AOut, or why it cannot to AErr. Returns EXIT_STATUS_*.
int AskStatus(const std::string& ADataDir, std::ostream& AOut, std::ostream& AErr);

// Answers "--status" for a window or a service. A thread of its own accepts
// each caller, asks the main thread for the ports' state through the
// dispatcher (the port host is the main thread's) and writes the reply with a
// time limit, so a caller that does not read holds neither the ports nor the
// window. A second instance on the same data directory does not take the
// socket over (Serving is false then).
// Threads: construction and destruction on the main thread, which must serve
// the dispatcher meanwhile; ASnapshot runs there.
class TStatusServer {
 public:
  using TSnapshot = std::function<std::vector<TPortStatus>()>;

  // The longest a caller waits for the main thread, and for its reply to be taken.
  static constexpr uint32_t ANSWER_TIMEOUT_MS = 5000;
  static constexpr uint32_t WRITE_TIMEOUT_MS = 2000;

  TStatusServer(TMainDispatcher& ADispatcher, const std::string& ADataDir, TSnapshot ASnapshot);
  // Stops the thread; a snapshot asked for and not yet run is dropped.
  ~TStatusServer();
  TStatusServer(const TStatusServer&) = delete;
  TStatusServer& operator=(const TStatusServer&) = delete;

  bool Serving() const { return FListener.Listening(); }
  // Why not: another instance serves the folder, or the socket could not be made.
  const std::string& Error() const { return FListener.Error(); }

 private:
  // What the thread and the main thread's call share; the call holds it weakly.
  struct TAnswer;

  void Run();
  void Answer(TUniqueFd AClient);

  TMainDispatcher& FDispatcher;
  TLocalListener FListener;
  TWakeEvent FStop;
  std::shared_ptr<TAnswer> FAnswer;
  std::thread FThread;
};

}  // namespace orvane
