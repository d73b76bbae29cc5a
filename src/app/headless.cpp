#include "app/headless.h"

#include <exception>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "app/port_host.h"
#include "app/status_server.h"
#include "app/ver_info_res.h"
#include "log/lum_log.h"
#include "log/port_log_lines.h"
#include "platform/deadline.h"
#include "platform/main_dispatcher.h"
#include "ports/port_environment.h"

namespace orvane {

namespace {

// Message boxes of the window become lines on standard error.
class TErrorLines : public IUserMessages {
 public:
  TErrorLines(const THeadlessOutput& AOutput, const TShownLineFormat& AFormat)
      : FOutput(AOutput), FFormat(AFormat) {}
  void Show(const std::string& ATitle, const std::string& AText, TMessageKind) override {
    FOutput.Err(FFormat.ServiceLine(ATitle.empty() ? AText : ATitle + ": " + AText, TLinePriority::Error));
  }

 private:
  const THeadlessOutput& FOutput;
  const TShownLineFormat& FFormat;
};

// What the service manager shows as the service's state.
std::string PortsStatus(const TPortHost& AHost) {
  return "STATUS=" + std::to_string(AHost.Count()) + " ports, " + std::to_string(AHost.InactiveCount()) +
         " not working";
}

// Reads config.cfg again and brings the running ports in line with it; a
// file that cannot be read whole changes nothing.
void ReloadConfig(TPortHost& AHost, const THeadlessOptions& AOptions, const THeadlessOutput& AOutput,
                  TLumLog& ALog) {
  std::vector<TLumPortParams> records;
  std::vector<std::string> leftOut;
  const std::string file = ConfigFileName(AOptions.DataDir);
  std::string line;
  switch (AHost.ReadConfig(records, leftOut)) {
    case TConfigRead::Whole: {
      const TReloadCount count = AHost.Reload(records, std::move(leftOut));
      line = "Reload " + file + ": " + std::to_string(count.Kept) + " ports kept, " +
             std::to_string(count.Stopped) + " stopped, " + std::to_string(count.Started) + " started";
      AOutput.Out(AOptions.Format.ServiceLine(line, TLinePriority::State));
      break;
    }
    case TConfigRead::Missing:
      line = "Reload " + file + ": not found, nothing changed";
      AOutput.Err(AOptions.Format.ServiceLine(line, TLinePriority::Error));
      break;
    case TConfigRead::Broken:
      // The loader's message has said why.
      line = "Reload " + file + ": cannot be loaded whole, nothing changed";
      AOutput.Err(AOptions.Format.ServiceLine(line, TLinePriority::Error));
      break;
  }
  ALog.WriteLine(line);
}

std::string VersionOf(const std::string& AExeFile) {
  try {
    return TVerInfoRes(AExeFile).FileVersion();
  } catch (const std::exception&) {
    return "";
  }
}

}  // namespace

int ClaimDataDirectory(const std::string& ADataDir, bool ASkipGuard, std::unique_ptr<TInstanceLock>& ALock,
                       std::string& AMessage) {
  std::error_code ec;
  if (!std::filesystem::is_directory(ADataDir, ec)) {
    AMessage = "Каталог данных не найден: " + ADataDir;
    return EXIT_NO_DATA_DIR;
  }
  if (ASkipGuard) return 0;
  ALock = std::make_unique<TInstanceLock>(ADataDir + "/" + INSTANCE_LOCK_NAME);
  if (!ALock->HeldElsewhere()) return 0;
  ALock.reset();
  AMessage =
      "Программа уже запущена с каталогом данных " + ADataDir + " (ключ /I запускает ещё один экземпляр)";
  return EXIT_DATA_DIR_HELD;
}

int RunHeadless(const THeadlessOptions& AOptions, const TPortLoader& ALoader, int AStopFd,
                const THeadlessOutput& AOutput) {
  std::unique_ptr<TInstanceLock> guard;
  std::string refusal;
  if (const int code = ClaimDataDirectory(AOptions.DataDir, AOptions.SkipInstanceGuard, guard, refusal)) {
    AOutput.Err(AOptions.Format.ServiceLine(refusal, TLinePriority::Error));
    return code;
  }

  TLumLog log(AOptions.DataDir, VersionOf(AOptions.ExeFile), AOptions.ExeFile, AOutput.Err);
  TMainDispatcher dispatcher;
  TPortEnvironment env(dispatcher);
  env.PortDir = AOptions.PortDir;
  env.PortAccess = AOptions.PortAccess;
  env.DebugWindow = AOptions.DebugWindow;

  bool failed = false;
  TPortHostSetup setup;
  setup.DataDir = AOptions.DataDir;
  setup.WriteFile = [&log](const std::string& ALine) { log.WriteLine(ALine); };
  setup.ShowLine = [&AOutput, &AOptions](const TPortManager&, const std::string& ALine) {
    if (auto shown = AOptions.Format.PortLine(ALine)) AOutput.Out(*shown);
  };
  // Standard output batches lines on a thread of its own: a port's line goes
  // there from the thread that logs it, not through the main thread.
  setup.ShowOnAnyThread = true;
  // A port that cannot be built ends the program, as the window does.
  setup.BuildFailed = [&failed] { failed = true; };
  setup.Loader = ALoader;
  TErrorLines messages(AOutput, AOptions.Format);
  TPortHost host(std::move(setup), env, messages);
  const auto errorLine = [&AOutput, &AOptions](const std::string& ALine) {
    AOutput.Err(AOptions.Format.ServiceLine(ALine, TLinePriority::Error));
  };
  std::vector<TLumPortParams> records;
  std::vector<std::string> leftOut;
  switch (host.ReadConfig(records, leftOut)) {
    case TConfigRead::Whole: host.Start(records, std::move(leftOut)); break;
    case TConfigRead::Missing:
      errorLine(ConfigFileName(AOptions.DataDir) + " not found: the service runs with no ports");
      break;
    case TConfigRead::Broken:
      // Some ports and not others would hide the fault until someone misses one.
      return EXIT_BROKEN_CONFIG;
  }

  // Answers --status from here on; it goes before the host, so no question finds the ports gone.
  const TStatusServer statusServer(dispatcher, AOptions.DataDir, [&host] { return host.Statuses(); });
  if (!statusServer.Serving())
    AOutput.Err(AOptions.Format.ServiceLine("--status will not be answered: " + statusServer.Error(),
                                            TLinePriority::Warning));

  const auto notify = [&AOptions](const std::string& AState) {
    if (AOptions.Notify) AOptions.Notify(AState);
  };
  if (!failed) {
    AOutput.Out(AOptions.Format.ServiceLine("Ready", TLinePriority::State));
    std::string told = PortsStatus(host);
    notify("READY=1\n" + told);
    // A flip the ready line already counted is not told twice.
    env.OnStateChanged = [&] {
      std::string status = PortsStatus(host);
      if (status != told) notify(told = std::move(status));
    };
    for (;;) {
      // The stop comes first, so a busy dispatcher cannot hold it off.
      const int ready = WaitReadable({AStopFd, dispatcher.WakeFd(), AOptions.ReloadFd}, TDeadline::Never());
      if (ready == 0) break;
      if (ready == 2) {
        if (AOptions.ReloadTaken) AOptions.ReloadTaken();
        notify("RELOADING=1");
        ReloadConfig(host, AOptions, AOutput, log);
        told = PortsStatus(host);
        notify("READY=1\n" + told);
      }
      dispatcher.ProcessPending();
    }
    env.OnStateChanged = nullptr;
  }
  notify("STOPPING=1");
  host.Shutdown();
  return failed ? 1 : 0;
}

}  // namespace orvane
