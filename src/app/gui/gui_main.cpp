#include "app/gui/gui_main.h"

#include <QApplication>
#include <QPalette>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <exception>
#include <iostream>
#include <memory>

#include "app/gui/frm_add_com_port.h"
#include "app/gui/frm_main.h"
#include "app/gui/gui_messages.h"
#include "app/gui/installed_ports.h"
#include "app/gui/single_instance.h"
#include "app/headless.h"
#include "app/ver_info_res.h"
#include "log/lum_log.h"
#include "platform/pty_port.h"

namespace orvane {

namespace {

constexpr const char* SELF_EXE = "/proc/self/exe";

// "Light": Fusion with a light palette, whatever the desktop's colours are.
void SelectLightStyle(QApplication& AApp) {
  AApp.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  QPalette palette;
  palette.setColor(QPalette::Window, QColor(240, 240, 240));
  palette.setColor(QPalette::WindowText, Qt::black);
  palette.setColor(QPalette::Base, Qt::white);
  palette.setColor(QPalette::AlternateBase, QColor(246, 246, 246));
  palette.setColor(QPalette::ToolTipBase, QColor(255, 255, 220));
  palette.setColor(QPalette::ToolTipText, Qt::black);
  palette.setColor(QPalette::PlaceholderText, QColor(120, 120, 120));
  palette.setColor(QPalette::Text, Qt::black);
  palette.setColor(QPalette::Button, QColor(240, 240, 240));
  palette.setColor(QPalette::ButtonText, Qt::black);
  palette.setColor(QPalette::BrightText, Qt::red);
  palette.setColor(QPalette::Light, Qt::white);
  palette.setColor(QPalette::Midlight, QColor(227, 227, 227));
  palette.setColor(QPalette::Mid, QColor(160, 160, 160));
  palette.setColor(QPalette::Dark, QColor(160, 160, 160));
  palette.setColor(QPalette::Shadow, QColor(105, 105, 105));
  palette.setColor(QPalette::Highlight, QColor(0, 120, 215));
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Link, QColor(0, 0, 255));
  for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    palette.setColor(QPalette::Disabled, role, QColor(120, 120, 120));
  AApp.setPalette(palette);
}

}  // namespace

int RunGui(int& AArgc, char** AArgv, const TCommandLine& ACommand, int AStopFd,
           const TWindowShown& AOnShown) {
  // Qt wants its application object before any widget or socket.
  QApplication app(AArgc, AArgv);
  // No application display name: the window system would append it to every
  // title, and the titles are to read exactly as designed.
  app.setQuitOnLastWindowClosed(false);

  // A stop signal (a logout, `kill`, a service manager) ends every event loop,
  // a message box's included, without the close question: the code after the
  // loop then tears down in order, the stop banner last.
  // A box open while the window is still being built (the configuration's
  // messages) ends too, and no later box or loop starts.
  bool stopping = false;
  std::unique_ptr<QSocketNotifier> stopNotifier;
  if (AStopFd >= 0) {
    stopNotifier = std::make_unique<QSocketNotifier>(AStopFd, QSocketNotifier::Read);
    QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &app, [&stopNotifier, &stopping] {
      stopNotifier->setEnabled(false);
      stopping = true;
      QCoreApplication::exit(0);
    });
  }

  // Without its version record the program does not start.
  std::unique_ptr<TVerInfoRes> version;
  try {
    version = std::make_unique<TVerInfoRes>(SELF_EXE);
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return 1;
  }

  // Before the log: a second instance leaves log.txt, config.cfg and the ports alone.
  std::unique_ptr<TSingleInstance> guard;
  if (!ACommand.SkipInstanceGuard) {
    guard = std::make_unique<TSingleInstance>();
    if (!guard->CheckSingleInstance()) return 0;
  }

  TMessageBoxes messages;
  messages.SetStopping([&stopping] { return stopping; });
  const std::string dataDir = DataDirectory(ACommand, SELF_EXE);
  // The data directory's own lock, which the service mode takes as well: a
  // window and a service never drive the same ports and files. Also before the log.
  std::unique_ptr<TInstanceLock> dataLock;
  std::string refusal;
  if (const int code = ClaimDataDirectory(dataDir, ACommand.SkipInstanceGuard, dataLock, refusal)) {
    // Let go first: a start behind this one shows its own message instead of
    // ending silently while this box waits.
    guard.reset();
    messages.Show("", refusal, TMessageKind::Warning);
    return code;
  }
  const std::string portDir = ACommand.PortDir.empty() ? DefaultPortDirectory() : ACommand.PortDir;

  // A failing log file is told on standard error and, from the main thread, in a message box.
  const auto logFailed = [&app, &messages](const std::string& AMessage) {
    std::cerr << AMessage << std::endl;
    QMetaObject::invokeMethod(
        &app, [&messages, AMessage] { messages.ShowBox("", AMessage, TMessageKind::Warning); },
        Qt::QueuedConnection);
  };
  auto log = std::make_unique<TLumLog>(dataDir, version->FileVersion(), SELF_EXE, logFailed);
  auto editor =
      std::make_unique<TfrmAddComPort>([portDir] { return InstalledSerialPorts(portDir); }, messages);
  SelectLightStyle(app);

  int exitCode = 0;
  {
    TMainWindowSetup setup;
    setup.DataDir = dataDir;
    setup.PortDir = portDir;
    setup.DebugWindow = ACommand.DebugWindow;
    setup.VersionMajor = version->FileMajorVersion();
    setup.VersionMinor = version->FileMinorVersion();
    setup.VersionRelease = version->FileRelease();
    TLumLog* file = log.get();
    setup.WriteFile = [file](const std::string& ALine) { file->WriteLine(ALine); };
    TfrmMain window(setup, *editor, messages);
    messages.SetParent(&window);
    // The editor becomes a dialog of the window (no task-bar entry of its
    // own) until the window goes, which must not take the editor with it.
    editor->setParent(&window, editor->windowFlags());
    if (guard)
      QObject::connect(guard.get(), &TSingleInstance::RestoreRequested, &window,
                       [&window] { window.RestoreFromAnotherInstance(); });
    QObject::connect(&window, &TfrmMain::Closed, &app, &QCoreApplication::quit);
    if (window.Terminated()) {
      // A port of the file could not be built: its message has been shown.
      exitCode = 1;
    } else if (!stopping) {
      window.show();
      if (AOnShown) AOnShown(window, *editor);
      exitCode = app.exec();
    }
    messages.SetParent(nullptr);
    editor->setParent(nullptr, editor->windowFlags());
  }
  // The window and its ports are gone; then the guard, the editor and, last, the stop banner.
  guard.reset();
  editor.reset();
  log.reset();
  version.reset();
  // Kept till the log is closed: the next instance on this directory may write it.
  dataLock.reset();
  return exitCode;
}

}  // namespace orvane
