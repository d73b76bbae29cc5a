#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "log/shown_line_format.h"
#include "model/config_file.h"
#include "model/lum_port_params.h"
#include "platform/instance_lock.h"
#include "platform/pty_port.h"

namespace orvane {

// Loads the port list of ADataDir (LoadConfigKeeping): each record goes to
// the taker in file order, user messages to the message sink.
using TPortLoader = std::function<bool(const std::string& ADataDir, const TPortTaker& ATaker,
                                       IUserMessages& AMessages, std::vector<std::string>& ALeftOut)>;

struct THeadlessOptions {
  std::string DataDir;     // config.cfg, log.txt and the instance lock
  std::string PortDir;     // the links of virtual ports
  TPortAccess PortAccess;  // who besides us may open them
  std::string ExeFile;     // whose version record and date the start banner gives
  bool DebugWindow = false;
  bool SkipInstanceGuard = false;  // "/I"
  TShownLineFormat Format;         // how lines look on standard output and error
  // When set, tells the service manager the state ("READY=1",
  // "STATUS=N ports, M not working", "STOPPING=1").
  std::function<void(const std::string& AState)> Notify;
  // Readable when config.cfg is to be read again (SIGHUP through a signal
  // descriptor); -1: never.
  int ReloadFd = -1;
  // Called once the reload request was read from ReloadFd, so it turns unreadable again.
  std::function<void()> ReloadTaken;
};

// Where the service mode writes: shown log lines and "Ready" (standard output),
// user messages (standard error). Each call is one line, without its end.
struct THeadlessOutput {
  std::function<void(const std::string& ALine)> Out;
  std::function<void(const std::string& ALine)> Err;
};

// The name of the lock file in the data directory that keeps a second
// instance, window or service, off the same data.
inline constexpr const char* INSTANCE_LOCK_NAME = "orvane.lock";
// The exit code of a start refused because another instance holds the data directory.
inline constexpr int EXIT_DATA_DIR_HELD = 3;

// The exit code of a start whose data directory does not exist.
inline constexpr int EXIT_NO_DATA_DIR = 2;

// The exit code of a service whose config.cfg cannot be loaded whole: it
// starts no port rather than some of them.
inline constexpr int EXIT_BROKEN_CONFIG = 4;

// What the window and the service check of ADataDir before they write its log:
// that it exists (a mistyped --data-dir would otherwise run every port without
// config or log), and, unless ASkipGuard, that no other instance holds it.
// The lock is the same for both modes, so only one of them drives the ports and
// writes config.cfg and log.txt of ADataDir. Returns 0 with the lock in ALock
// (kept for the instance's life), or the exit code with the user's message in
// AMessage. A directory where no lock file can be made cannot be shared
// either: the lock then comes back not held and the start goes on.
int ClaimDataDirectory(const std::string& ADataDir, bool ASkipGuard, std::unique_ptr<TInstanceLock>& ALock,
                       std::string& AMessage);

// The program without windows: refuses to start when another instance holds
// the data directory (unless SkipInstanceGuard; exit code EXIT_DATA_DIR_HELD), opens the log, reads
// config.cfg whole (else ends with EXIT_BROKEN_CONFIG after the loader's
// message; a missing file is one line on standard error and no ports) and
// starts each port through the port host as the window does (a missing
// MQTT topic and key are generated), says "Ready", then serves the
// ports until AStopFd turns readable (SIGINT or SIGTERM through a signal
// descriptor). ReloadFd readable reads config.cfg again: unchanged ports
// run on untouched, removed and changed ones stop, new and changed ones
// start; a file that cannot be read whole changes nothing. Ends in the
// window's order: the port list, then the stop banner. Returns the exit
// code. Runs on the calling thread, which becomes the ports' main thread.
int RunHeadless(const THeadlessOptions& AOptions, const TPortLoader& ALoader, int AStopFd,
                const THeadlessOutput& AOutput);

}  // namespace orvane
