#pragma once

#include <QMainWindow>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "model/lum_port_params.h"
#include "platform/main_dispatcher.h"
#include "platform/tick_counter.h"
#include "ports/port_environment.h"

class QAction;
class QGroupBox;
class QLabel;
class QMenu;
class QSocketNotifier;
class QSplitter;
class QStatusBar;
class QSystemTrayIcon;
class QTimer;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class QVBoxLayout;

namespace orvane {

class IGuiMessages;
class TfmLogPort;
class TfrmAddComPort;
class TLumPortList;
class TPortHost;
class TPortLogLines;
class TPortManager;
class TStatusServer;
class TStatusStatePanel;
struct TPortResult;

// What the window needs from the program around it.
struct TMainWindowSetup {
  std::string DataDir;  // config.cfg
  std::string PortDir;  // the links of virtual ports
  bool DebugWindow = false;
  // The file version shown in the caption (major, minor, release).
  uint16_t VersionMajor = 0;
  uint16_t VersionMinor = 0;
  uint16_t VersionRelease = 0;
  // The log file (TLumLog::WriteLine), called from any thread; empty: no file.
  std::function<void(const std::string& ALine)> WriteFile;
  // The clock of the ports' schedules; tests move it on.
  TTickSource Ticks = DefaultTickSource();
  // Empty: the channel of the record's protocol.
  TChannelMaker MakeChannel;
  // Empty: whatever Qt says of the desktop. Tests set it, as the offscreen
  // platform has no notification area.
  std::optional<bool> TrayAvailable;
  // Ends the application after a port could not be built; empty: the event
  // loop leaves with exit code 1.
  std::function<void()> OnTerminate;
};

// The program's main window: owns the port host, shows each port as an entry
// of tvPorts with its state, the selected port's log view, the port count and
// the number of ports not working, adds, edits and deletes ports through the
// editor (the host saves config.cfg after each change), and hides in the
// notification area when minimised.
// Threads: the main thread only. The ports reach it through the dispatcher,
// which the Qt event loop serves; their lines reach the log views from any
// thread (TPortLogLines hands them over).
class TfrmMain : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int CLIENT_WIDTH = 897;
  static constexpr int CLIENT_HEIGHT = 457;
  static constexpr int TREE_WIDTH = 281;
  static constexpr int TOOL_BAR_HEIGHT = 39;
  static constexpr int TOOL_BAR_IMAGE = 32;
  static constexpr int STATE_IMAGE = 24;
  static constexpr int STATUS_COUNT_WIDTH = 200;
  static constexpr int BLINK_INTERVAL_MS = 500;

  // The editor dialog: the record and ACTION_ADD or ACTION_EDIT; true when
  // the user confirmed the edited record.
  using TPortDialog = std::function<bool(TLumPortParams& APortParams, int AAction)>;

  // Loads config.cfg and starts every port before it returns.
  TfrmMain(const TMainWindowSetup& ASetup, TfrmAddComPort& AEditor, IGuiMessages& AMessages,
           QWidget* AParent = nullptr);
  // Shuts every port down, then frees the log views.
  ~TfrmMain() override;

  // Creates and shows one port and saves config.cfg; false when the host
  // refused it (the user was told why).
  bool AddPort(const TLumPortParams& APortParams);
  // Recomputes the state images, the status bar and the tray icon's blinking.
  void RefreshState();

  void actAddPortExecute();
  void actDeletePortExecute();
  void actEditPortExecute();
  void actDeletePortUpdate();
  void actEditPortUpdate();
  void tvPortsChange();
  void tiTrayIconClick();
  void AppMinimize();
  // Another start of the program announced itself: back from the minimised
  // state or the notification area.
  void RestoreFromAnotherInstance();
  // The close question; true when the window may close.
  bool FormCloseQuery();

  // The manager of the selected entry, or none.
  TPortManager* SelectedPort() const;
  int InactivePortCount() const;

  // What the window shows, for tests and the screenshots.
  int PortEntryCount() const;
  QString PortEntryText(int AIndex) const;
  TPortManager* PortEntryPort(int AIndex) const;
  // 0 working, 1 not working (the state image list's numbers).
  int PortEntryImage(int AIndex) const;
  QString StatusCountText() const;
  QString StatusStateText() const;
  // 2 all working, 3 some not working.
  int StatusStateImage() const;
  bool TrayBlinking() const;
  bool TrayShown() const;
  bool InTray() const { return FInTray; }
  // The log view placed in gbxLog, or none.
  TfmLogPort* ShownLogView() const;
  TfmLogPort* LogViewOf(const TPortManager* APort) const;
  TLumPortList& PortList() const;
  TPortHost& Host() const { return *FHost; }
  // A port could not be built: the application is to end.
  bool Terminated() const { return FTerminated; }

  // The editor as the actions open it; tests may put a scripted one here.
  TPortDialog ShowPortDialog;

  QMenu* mmiPort = nullptr;
  QToolBar* ToolBar1 = nullptr;
  QAction* actAddPort = nullptr;
  QAction* actDeletePort = nullptr;
  QAction* actEditPort = nullptr;
  QTreeWidget* tvPorts = nullptr;
  QMenu* pmTree = nullptr;
  QSplitter* Splitter2 = nullptr;
  QGroupBox* gbxLog = nullptr;
  QStatusBar* sbStatusBar = nullptr;
  QSystemTrayIcon* tiTrayIcon = nullptr;

 signals:
  // The user closed the window (and confirmed when asked): the program ends.
  void Closed();

 protected:
  void closeEvent(QCloseEvent* AEvent) override;
  void changeEvent(QEvent* AEvent) override;

 private:
  void BuildControls();
  void FormCreate();
  void FormDestroy();
  void AddPortNode(TPortManager& APort, TPortLogLines& ALines);
  QTreeWidgetItem* InsertEntry(TPortManager* APort);
  // Tells the user why the host did not do what was asked; false then.
  bool Answer(const TPortResult& AResult, const std::string& AComName);
  void RemovePortNode(const TPortManager* APort);
  void DetachLogViews();
  void FreeLogs();
  void SortEntries();
  QTreeWidgetItem* EntryOf(const TPortManager* APort) const;
  void SetTrayBlinking(bool ABlinking);
  void TrayBlink();
  void Terminate();

  const TMainWindowSetup FSetup;
  TfrmAddComPort& FEditor;
  IGuiMessages& FMessages;
  // The ports' main-thread hand-offs, served from the event loop.
  TMainDispatcher FDispatcher;
  TPortEnvironment FEnv;
  // Goes before the dispatcher whose descriptor it watches.
  std::unique_ptr<QSocketNotifier> FDispatcherNotifier;
  std::unique_ptr<TPortHost> FHost;
  // Answers --status; goes before the host.
  std::unique_ptr<TStatusServer> FStatusServer;
  // Each port's view; freed only after its port is gone.
  std::map<const TPortManager*, std::unique_ptr<TfmLogPort>> FLogViews;
  QVBoxLayout* FLogLayout = nullptr;
  TfmLogPort* FShownLog = nullptr;
  QLabel* FStatusCount = nullptr;
  TStatusStatePanel* FStatusState = nullptr;
  QTimer* FBlinkTimer = nullptr;
  int FBlinkPhase = 0;
  bool FTrayAvailable = false;
  bool FInTray = false;
  bool FTerminated = false;
  // Read by the log views from the ports' threads.
  std::atomic<bool> FEnding{false};
};

}  // namespace orvane
