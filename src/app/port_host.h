#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log/port_log_lines.h"
#include "model/config_file.h"
#include "model/lum_port_params.h"
#include "ports/port_environment.h"
#include "ports/port_manager.h"

namespace orvane {

enum class TPortKind { Virtual, Physical };

// What one port is doing, as a status view shows it.
struct TPortStatus {
  std::string ComName;
  TPortKind Kind = TPortKind::Virtual;
  std::string Protocol;
  // "<IpAddress>:<PortNumber>", or the broker and topic of an MQTT port.
  std::string RemoteEnd;
  bool Working = false;  // created and its channel up (IsActive)
  bool Opened = false;   // an application holds the port
  uint64_t BytesToNetwork = 0;
  uint64_t BytesToPort = 0;
  uint64_t DroppedBytes = 0;
  uint64_t Reconnects = 0;
  int64_t Since = 0;      // the last change of Working, seconds since the epoch
  std::string LastError;  // empty while none
  int64_t LastErrorAt = 0;
};

enum class TPortOutcome {
  Done,
  Busy,         // an application holds the port: neither edited nor deleted
  NameTaken,    // another port of this run has the ComName
  NotFound,     // the port is not in the list
  BuildFailed,  // the bridge could not be built (the program is to end)
  DeleteFailed  // removing the port raised an error
};

struct TPortResult {
  TPortOutcome Outcome = TPortOutcome::Done;
  // Add and Edit: the port now running.
  TPortManager* Port = nullptr;
  // BuildFailed and DeleteFailed: the error's own text.
  std::string Error;
  bool Ok() const { return Outcome == TPortOutcome::Done; }
};

// How a read of config.cfg ended (TPortHost::ReadConfig).
enum class TConfigRead {
  Whole,    // read to its end
  Missing,  // there is no config.cfg
  Broken    // it cannot be loaded whole; the loader has said why
};

// What a reload did.
struct TReloadCount {
  size_t Kept = 0;
  size_t Stopped = 0;  // removed or changed
  size_t Started = 0;  // new or changed
};

// Reads the port list of a data directory (LoadConfigKeeping's shape).
using TPortListLoader = std::function<bool(const std::string& ADataDir, const TPortTaker& ATaker,
                                           IUserMessages& AMessages, std::vector<std::string>& ALeftOut)>;

// What the host needs from the program around it; every hook may stay empty.
struct TPortHostSetup {
  std::string DataDir;  // config.cfg
  // The log file; called from any thread.
  std::function<void(const std::string& ALine)> WriteFile;
  // A shown line of a port ("(ComName) text"), on the main thread unless
  // ShowOnAnyThread.
  std::function<void(const TPortManager& APort, const std::string& ALine)> ShowLine;
  // ShowLine may run on the thread that logs the line (see TLogLinesOutput).
  bool ShowOnAnyThread = false;
  // A port was built and has its lines; called before it is created, so its
  // first lines find what shows them.
  std::function<void(TPortManager& APort, TPortLogLines& ALines)> PortBuilt;
  // A port and its lines were destroyed; the pointer only names it.
  std::function<void(const TPortManager* APort)> PortGone;
  // A port of the file could not be built, after its message was shown.
  std::function<void()> BuildFailed;
  // True while the program ends: lines are then dropped (besides Shutdown's own flag).
  std::function<bool()> Ending;
  // Empty: LoadConfigKeeping.
  TPortListLoader Loader;
};

// The ports of the program, for the window, the service and the tests alike:
// loads config.cfg, builds each port with its log lines, adds, edits
// (delete, then add) and deletes ports and saves config.cfg after each
// change, keeping what the load left out of the list. The questions the
// window asks come back as outcomes. Lines outlive their ports: a port is
// destroyed before its lines, at a delete and at the end alike.
// Threads: the main thread only; the ports' lines reach the hooks as
// TPortLogLines hands them over.
class TPortHost {
 public:
  TPortHost(TPortHostSetup ASetup, TPortEnvironment& AEnv, IUserMessages& AMessages);
  // Shutdown.
  ~TPortHost();
  TPortHost(const TPortHost&) = delete;
  TPortHost& operator=(const TPortHost&) = delete;

  // Loads config.cfg and starts each port without a save. A record without
  // MQTT topic or key gets generated ones; a record whose ComName is taken is
  // refused (named in the load's notes, its element kept in the file); a port
  // that cannot be built shows "Критическая ошибка : " and calls BuildFailed.
  // True when the file was read to its end.
  bool Load();
  // Reads config.cfg into APortParams without starting anything (the loader's
  // messages go out as in Load); a record whose ComName an earlier one of the
  // file has is refused as in Load. The records and ALeftOut are for Start or
  // Reload, and only whole when Whole comes back.
  TConfigRead ReadConfig(std::vector<TLumPortParams>& APortParams, std::vector<std::string>& ALeftOut);
  // Starts the records of a whole read, as Load does, and keeps ALeftOut for saves.
  void Start(const std::vector<TLumPortParams>& APortParams, std::vector<std::string> ALeftOut);
  // Builds, connects and creates one port; saves config.cfg when ASave.
  TPortResult Add(const TLumPortParams& APortParams, bool ASave = true);
  // Replaces APort by a port of APortParams (at the end of the list) and saves.
  // Busy and NameTaken change nothing.
  TPortResult Edit(TPortManager* APort, const TLumPortParams& APortParams);
  // Stops the port's worker, deletes the port and saves; Busy changes nothing.
  TPortResult Delete(TPortManager* APort);
  // Brings the ports in line with APortParams without a save: a port whose
  // record is unchanged keeps running, the others are deleted, and the new
  // and changed records are added in their order. ALeftOut replaces what the
  // last load left out.
  TReloadCount Reload(const std::vector<TLumPortParams>& APortParams, std::vector<std::string> ALeftOut = {});
  bool Save();

  size_t Count() const { return FList->Count(); }
  // None when AIndex is out of range.
  TPortManager* Port(size_t AIndex) const;
  TPortLogLines* LinesOf(const TPortManager* APort) const;
  TPortStatus Status(const TPortManager& APort) const;
  std::vector<TPortStatus> Statuses() const;
  // An application holds one of the ports.
  bool AnyOpened() const;
  int InactiveCount() const;
  TLumPortList& List() const { return *FList; }
  // The elements of config.cfg the load left out, written back after the ports.
  const std::vector<std::string>& LeftOut() const { return FLeftOut; }

  // Lines raised from here on are dropped; every port is destroyed, first to
  // last, then every line object. Later calls do nothing.
  void Shutdown();
  bool Ending() const { return FEnding || (FSetup.Ending && FSetup.Ending()); }

  // A missing MQTT topic and key get generated ones.
  static void FillMqttIdentity(TLumPortParams& APortParams);
  // The port other than AExcept whose ComName is AName, or none.
  TPortManager* FindName(const std::string& AName, const TPortManager* AExcept = nullptr) const;

 private:
  // Load's taker: starts the record unless its name is taken (the refusal).
  std::string TakeRecord(const TLumPortParams& APortParams);
  TPortResult Build(const TLumPortParams& APortParams);
  TPortResult Remove(TPortManager* APort);
  void Forget(TPortManager* APort);

  const TPortHostSetup FSetup;
  TPortEnvironment& FEnv;
  IUserMessages& FMessages;
  std::atomic<bool> FEnding{false};
  std::vector<std::string> FLeftOut;
  // Each port's lines; freed only after its port.
  std::map<const TPortManager*, std::unique_ptr<TPortLogLines>> FLines;
  std::unique_ptr<TLumPortList> FList;
};

// The message a port that cannot be built ends the program with.
std::string CriticalErrorText(const std::string& AError);
// Why a record whose ComName another port has is skipped.
std::string NameTakenText(const std::string& AName);

}  // namespace orvane
