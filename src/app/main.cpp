#include <unistd.h>

#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/config_check.h"
#include "app/headless.h"
#include "app/status_server.h"
#include "app/ver_info_res.h"
#include "model/config_file.h"
#include "platform/output_sink.h"
#include "platform/pty_port.h"
#include "platform/service_manager.h"
#include "platform/stop_signals.h"

#ifdef ORVANE_WITH_GUI
#include "app/gui/gui_main.h"
#include "app/gui/tsan_qt_suppressions.h"
#endif

namespace {

constexpr const char* SELF_EXE = "/proc/self/exe";

// Lines for standard output or error that never hold the program; none when
// the stream is closed.
std::unique_ptr<orvane::TOutputSink> StreamSink(int AFd, const char* AName) {
  try {
    return std::make_unique<orvane::TOutputSink>(AFd, AName);
  } catch (const std::exception&) {
    return nullptr;
  }
}

int RunService(const orvane::TCommandLine& ACommand) {
  // Before any thread exists, so that every thread inherits the signals blocked.
  orvane::TStopSignals signals;
  orvane::TReloadSignal reload;
  orvane::IgnoreBrokenPipes();
  // A reader that does not read, or went away, costs lines, never the ports or the stop.
  const auto out = StreamSink(STDOUT_FILENO, "Standard output");
  const auto err = StreamSink(STDERR_FILENO, "Standard error");
  orvane::THeadlessOptions options;
  options.DataDir = orvane::DataDirectory(ACommand, SELF_EXE);
  options.PortDir = ACommand.PortDir.empty() ? orvane::DefaultPortDirectory() : ACommand.PortDir;
  options.ExeFile = SELF_EXE;
  if (const std::string fault =
          orvane::ServicePortAccess(ACommand.PortGroup, ACommand.PortMode, options.PortAccess);
      !fault.empty()) {
    std::cerr << fault << "\n";
    return 2;
  }
  options.DebugWindow = ACommand.DebugWindow;
  options.SkipInstanceGuard = ACommand.SkipInstanceGuard;
  options.Format.Journal = orvane::StdoutIsJournal();
  options.Format.Traffic = ACommand.Traffic;
  orvane::TServiceNotify manager(orvane::NotifySocketOfEnvironment());
  orvane::THeadlessOutput output;
  output.Out = [&out](const std::string& ALine) {
    if (out) out->Add(ALine);
  };
  output.Err = [&err](const std::string& ALine) {
    if (err) err->Add(ALine);
  };
  options.Notify = [&manager](const std::string& AState) { manager.Send(AState); };
  options.ReloadFd = reload.Fd();
  // Two hang-ups before the reload ran ask for one reload.
  options.ReloadTaken = [&reload] {
    while (reload.Take() != 0) {
    }
  };
  return orvane::RunHeadless(options, orvane::LoadConfigKeeping, signals.Fd(), output);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const orvane::TCommandLine cmd = orvane::ParseCommandLine(args);
  const std::string name = argc > 0 ? argv[0] : "orvane";
  if (!cmd.Error.empty()) {
    std::cerr << cmd.Error << "\n" << orvane::UsageText(name);
    return 2;
  }
  if (cmd.CheckConfig) return orvane::CheckConfigFile(orvane::DataDirectory(cmd, SELF_EXE), std::cout);
  if (cmd.Status) return orvane::AskStatus(orvane::DataDirectory(cmd, SELF_EXE), std::cout, std::cerr);
  if (cmd.Headless) return RunService(cmd);
#ifdef ORVANE_WITH_GUI
  if (!cmd.ShowVersion && !cmd.ShowHelp) {
    // Before Qt starts any thread, as for the service.
    orvane::IgnoreHangUps();
    std::unique_ptr<orvane::TStopSignals> signals;
    try {
      signals = std::make_unique<orvane::TStopSignals>();
    } catch (const std::exception&) {
      // Without it a stop signal ends the program the default way.
    }
    return orvane::RunGui(argc, argv, cmd, signals ? signals->Fd() : -1);
  }
#endif
  // The version shown is the record the executable carries, as start-up reads it.
  std::string version;
  try {
    version = orvane::TVerInfoRes(SELF_EXE).FileVersion();
  } catch (const std::exception& e) {
    version = orvane::ProgramVersion() + " (" + e.what() + ")";
  }
  std::cout << "orvane " << version << "\n";
  if (cmd.ShowVersion) return 0;
  // --help, or a build without the window: the version and the switches.
  std::cout << orvane::UsageText(name);
  return 0;
}
