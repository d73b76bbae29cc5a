#include "app/gui/frm_main.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QSocketNotifier>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <exception>

#include "app/gui/fm_log_port.h"
#include "app/gui/frm_add_com_port.h"
#include "app/gui/gui_messages.h"
#include "app/gui/gui_text.h"
#include "app/gui/icons.h"
#include "app/gui/screen_fit.h"
#include "app/port_host.h"
#include "app/security_key.h"
#include "app/status_server.h"
#include "model/config_file.h"
#include "ports/port_manager.h"

namespace orvane {

namespace {

constexpr const char* DELETE_TITLE = "Удаление виртуального порта";
constexpr const char* NAME_TITLE = "Имя порта";
constexpr int STATUS_IMAGE_LEFT = 5;
constexpr int STATUS_TEXT_GAP = 10;

std::string Format(const char* AUtf8Pattern, const std::string& AValue) {
  return Text(AUtf8Pattern).arg(QString::fromStdString(AValue)).toStdString();
}

// The hourglass for a long operation on the main thread, restored on every way out.
class TBusyCursor {
 public:
  TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
  TBusyCursor(const TBusyCursor&) = delete;
  TBusyCursor& operator=(const TBusyCursor&) = delete;
};

// A port's entry: the manager is the window's only link to the port. Entries
// sort by their text as the user's locale orders it, letter case significant.
class TPortEntry : public QTreeWidgetItem {
 public:
  explicit TPortEntry(TPortManager* APort) : Port(APort) {}
  bool operator<(const QTreeWidgetItem& AOther) const override {
    return QString::localeAwareCompare(text(0), AOther.text(0)) < 0;
  }

  TPortManager* Port;
  int Image = 0;
};

TPortEntry* AsEntry(QTreeWidgetItem* AItem) {
  return static_cast<TPortEntry*>(AItem);
}

// The broker as typed; over TLS with its scheme and the port it is reached on.
std::string BrokerText(const TLumPortParams& AParams) {
  if (!AParams.MqttTls) return AParams.MqttHost;
  const bool hasPort = AParams.MqttHost.find(':') != std::string::npos;
  return "mqtts://" + AParams.MqttHost + (hasPort ? "" : ":" + std::to_string(MQTTS_DEFAULT_PORT));
}

QString EntryText(const TLumPortParams& AParams) {
  if (!AParams.Header.empty()) return QString::fromStdString(AParams.Header);
  QString text;
  if (AParams.Protocol == PROTOCOL_MQTT) {
    text =
        QString::fromStdString(AParams.ComName + "<->Mqtt " + BrokerText(AParams) + " " + AParams.MqttTopic);
  } else {
    text = QStringLiteral("%1<->%2:%3")
               .arg(QString::fromStdString(AParams.ComName), QString::fromStdString(AParams.IpAddress))
               .arg(AParams.PortNumber);
  }
  if (AParams.isRealPort) text += Text(" (физический порт)");
  return text;
}

}  // namespace

// Status panel 1: the state image and the number of ports not working.
class TStatusStatePanel : public QWidget {
 public:
  explicit TStatusStatePanel(QWidget* AParent) : QWidget(AParent) {
    setMinimumHeight(TfrmMain::STATE_IMAGE + 2);
    setMinimumWidth(STATUS_IMAGE_LEFT + TfrmMain::STATE_IMAGE + STATUS_TEXT_GAP +
                    fontMetrics().horizontalAdvance(Text("9999 некорректных портов")));
  }

  void SetInactive(int AInactive) {
    if (AInactive == FInactive) return;
    FInactive = AInactive;
    update();
  }
  int Image() const { return FInactive == 0 ? 2 : 3; }
  QString Caption() const {
    return FInactive == 0 ? Text(" все порты OK") : QString::number(FInactive) + Text(" некорректных портов");
  }

 protected:
  // sbStatusBarDrawPanel
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.eraseRect(rect());
    const QPixmap image = StateImage(static_cast<TStateImage>(Image()), TfrmMain::STATE_IMAGE);
    const int top = (height() - TfrmMain::STATE_IMAGE) / 2;
    painter.drawPixmap(STATUS_IMAGE_LEFT, top, image);
    const int textLeft = STATUS_IMAGE_LEFT + TfrmMain::STATE_IMAGE + STATUS_TEXT_GAP;
    painter.drawText(QRect(textLeft, 0, width() - textLeft, height()), Qt::AlignLeft | Qt::AlignVCenter,
                     Caption());
  }

 private:
  int FInactive = 0;
};

TfrmMain::TfrmMain(const TMainWindowSetup& ASetup, TfrmAddComPort& AEditor, IGuiMessages& AMessages,
                   QWidget* AParent)
    : QMainWindow(AParent), FSetup(ASetup), FEditor(AEditor), FMessages(AMessages), FEnv(FDispatcher) {
  ShowPortDialog = [this](TLumPortParams& APortParams, int AAction) {
    return FEditor.ShowPortDialog(APortParams, AAction);
  };
  FEnv.PortDir = FSetup.PortDir;
  FEnv.DebugWindow = FSetup.DebugWindow;
  FEnv.Ticks = FSetup.Ticks ? FSetup.Ticks : DefaultTickSource();
  FEnv.MakeChannel = FSetup.MakeChannel;
  FEnv.OnStateChanged = [this] { RefreshState(); };
  FDispatcherNotifier = std::make_unique<QSocketNotifier>(FDispatcher.WakeFd(), QSocketNotifier::Read);
  connect(FDispatcherNotifier.get(), &QSocketNotifier::activated, this,
          [this] { FDispatcher.ProcessPending(); });
  FTrayAvailable = FSetup.TrayAvailable ? *FSetup.TrayAvailable : QSystemTrayIcon::isSystemTrayAvailable();
  BuildControls();
  FormCreate();
}

TfrmMain::~TfrmMain() {
  FormDestroy();
}

void TfrmMain::BuildControls() {
  setWindowTitle(Text(PROGRAM_TITLE));
  setWindowIcon(ProgramIcon());

  actAddPort = new QAction(ActionIcon(TActionIcon::AddPort), Text("Добавить порт"), this);
  actDeletePort = new QAction(ActionIcon(TActionIcon::DeletePort), Text("Удалить порт"), this);
  actEditPort = new QAction(ActionIcon(TActionIcon::EditPort), Text("Редактировать порт"), this);
  for (QAction* action : {actAddPort, actDeletePort, actEditPort}) action->setToolTip(action->text());
  connect(actAddPort, &QAction::triggered, this, [this] { actAddPortExecute(); });
  connect(actDeletePort, &QAction::triggered, this, [this] { actDeletePortExecute(); });
  connect(actEditPort, &QAction::triggered, this, [this] { actEditPortExecute(); });

  mmiPort = menuBar()->addMenu(Text("Порт"));
  mmiPort->addActions({actAddPort, actDeletePort, actEditPort});

  ToolBar1 = addToolBar(QStringLiteral("ToolBar1"));
  ToolBar1->setMovable(false);
  ToolBar1->setFloatable(false);
  ToolBar1->setIconSize(QSize(TOOL_BAR_IMAGE, TOOL_BAR_IMAGE));
  ToolBar1->setFixedHeight(TOOL_BAR_HEIGHT);
  ToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
  ToolBar1->addAction(actAddPort);
  ToolBar1->addAction(actDeletePort);
  ToolBar1->addSeparator();
  ToolBar1->addAction(actEditPort);

  tvPorts = new QTreeWidget;
  tvPorts->setColumnCount(1);
  tvPorts->setHeaderHidden(true);
  tvPorts->setRootIsDecorated(false);
  tvPorts->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tvPorts->setSelectionMode(QAbstractItemView::SingleSelection);
  tvPorts->setIconSize(QSize(STATE_IMAGE, STATE_IMAGE));
  // A long entry (an MQTT topic) scrolls sideways rather than being cut short.
  tvPorts->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  tvPorts->header()->setStretchLastSection(false);
  tvPorts->setContextMenuPolicy(Qt::CustomContextMenu);
  pmTree = new QMenu(this);
  pmTree->addActions({actAddPort, actDeletePort, actEditPort});
  connect(tvPorts, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& APos) { pmTree->popup(tvPorts->viewport()->mapToGlobal(APos)); });
  connect(tvPorts, &QTreeWidget::itemSelectionChanged, this, [this] { tvPortsChange(); });
  connect(tvPorts, &QTreeWidget::itemDoubleClicked, this, [this] { actEditPortExecute(); });

  gbxLog = new QGroupBox(Text("Лог"));
  FLogLayout = new QVBoxLayout(gbxLog);

  Splitter2 = new QSplitter(Qt::Horizontal);
  Splitter2->addWidget(tvPorts);
  Splitter2->addWidget(gbxLog);
  Splitter2->setStretchFactor(0, 0);
  Splitter2->setStretchFactor(1, 1);
  Splitter2->setChildrenCollapsible(false);
  Splitter2->setSizes({TREE_WIDTH, CLIENT_WIDTH - TREE_WIDTH});
  setCentralWidget(Splitter2);

  sbStatusBar = statusBar();
  sbStatusBar->setSizeGripEnabled(true);
  FStatusCount = new QLabel;
  FStatusCount->setFixedWidth(STATUS_COUNT_WIDTH);
  FStatusState = new TStatusStatePanel(sbStatusBar);
  sbStatusBar->addWidget(FStatusCount);
  sbStatusBar->addWidget(FStatusState, 1);

  tiTrayIcon = new QSystemTrayIcon(ProgramIcon(), this);
  connect(tiTrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason AReason) {
    if (AReason == QSystemTrayIcon::Trigger || AReason == QSystemTrayIcon::DoubleClick) tiTrayIconClick();
  });
  FBlinkTimer = new QTimer(this);
  FBlinkTimer->setInterval(BLINK_INTERVAL_MS);
  connect(FBlinkTimer, &QTimer::timeout, this, [this] { TrayBlink(); });

  FitOnScreen(*this, QSize(CLIENT_WIDTH, CLIENT_HEIGHT));
  actDeletePortUpdate();
  actEditPortUpdate();
}

void TfrmMain::FormCreate() {
  TPortHostSetup setup;
  setup.DataDir = FSetup.DataDir;
  setup.WriteFile = FSetup.WriteFile;
  setup.ShowLine = [this](const TPortManager& APort, const std::string& ALine) {
    if (TfmLogPort* view = LogViewOf(&APort)) view->ShowLogLine(ALine);
  };
  setup.PortBuilt = [this](TPortManager& APort, TPortLogLines& ALines) { AddPortNode(APort, ALines); };
  setup.PortGone = [this](const TPortManager* APort) { RemovePortNode(APort); };
  setup.BuildFailed = [this] { Terminate(); };
  setup.Ending = [this] { return FEnding.load(); };
  FHost = std::make_unique<TPortHost>(std::move(setup), FEnv, FMessages);
  tiTrayIcon->setToolTip(Text(PROGRAM_TITLE));
  setWindowTitle(QStringLiteral("%1, %2")
                     .arg(Text(PROGRAM_TITLE))
                     .arg(Text("версия %1.%2.%3")
                              .arg(FSetup.VersionMajor)
                              .arg(FSetup.VersionMinor)
                              .arg(FSetup.VersionRelease)));
  {
    TBusyCursor busy;
    FHost->Load();
  }
  if (!FSetup.DataDir.empty())
    FStatusServer =
        std::make_unique<TStatusServer>(FDispatcher, FSetup.DataDir, [this] { return FHost->Statuses(); });
  RefreshState();
}

void TfrmMain::FormDestroy() {
  // Lines and state reports raised from here on are dropped.
  FEnding = true;
  FBlinkTimer->stop();
  tiTrayIcon->hide();
  DetachLogViews();
  FStatusServer.reset();
  // Waits for every worker while serving their hand-offs; the lines go after the ports.
  FHost.reset();
  FreeLogs();
  FDispatcherNotifier.reset();
}

TLumPortList& TfrmMain::PortList() const {
  return FHost->List();
}

bool TfrmMain::FormCloseQuery() {
  if (!FHost->AnyOpened()) return true;
  return FMessages.Ask(Text("Закрытие программы").toStdString(),
                       Text("Порты созданные программой заняты.\r\n"
                            "Для корректного завершения отключитесь от всех портов программы.\r\n"
                            "Все равно закрыть программу ?")
                           .toStdString(),
                       IGuiMessages::TQuestionIcon::Warning);
}

void TfrmMain::closeEvent(QCloseEvent* AEvent) {
  if (FormCloseQuery()) {
    AEvent->accept();
    emit Closed();
  } else {
    AEvent->ignore();
  }
}

void TfrmMain::changeEvent(QEvent* AEvent) {
  QMainWindow::changeEvent(AEvent);
  if (AEvent->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) && !FInTray)
    AppMinimize();
}

void TfrmMain::AppMinimize() {
  // Without a notification area a hidden window could not be brought back.
  if (!FTrayAvailable) return;
  FInTray = true;
  tiTrayIcon->show();
  // Hidden once the state change is over: no task-bar button while in the tray.
  QTimer::singleShot(0, this, [this] {
    if (FInTray) hide();
  });
}

void TfrmMain::tiTrayIconClick() {
  FInTray = false;
  showNormal();
  raise();
  activateWindow();
  tiTrayIcon->hide();
}

void TfrmMain::RestoreFromAnotherInstance() {
  // The tray icon stays until it is clicked.
  if (!FInTray && !isMinimized()) return;
  FInTray = false;
  showNormal();
  raise();
  activateWindow();
}

bool TfrmMain::AddPort(const TLumPortParams& APortParams) {
  TBusyCursor busy;
  const TPortResult result = FHost->Add(APortParams);
  RefreshState();
  return Answer(result, APortParams.ComName);
}

bool TfrmMain::Answer(const TPortResult& AResult, const std::string& AComName) {
  switch (AResult.Outcome) {
    case TPortOutcome::Done:
    case TPortOutcome::NotFound: return AResult.Outcome == TPortOutcome::Done;
    case TPortOutcome::Busy:
      FMessages.Show(DELETE_TITLE, Format("Порт %1 занят.\r\nОтключитесь от COM порта.", AComName),
                     TMessageKind::Warning);
      return false;
    case TPortOutcome::NameTaken:
      FMessages.Show(NAME_TITLE, Format("Порт %1 уже есть в списке.\r\nУкажите другое имя порта.", AComName),
                     TMessageKind::Warning);
      return false;
    case TPortOutcome::BuildFailed:
      FMessages.Show("", CriticalErrorText(AResult.Error), TMessageKind::Plain);
      Terminate();
      return false;
    case TPortOutcome::DeleteFailed:
      FMessages.Show("Удаление порта",
                     Text("Ошибка при удалении порта\r\n%1\r\n%2")
                         .arg(QString::fromStdString(AComName), QString::fromUtf8(AResult.Error.c_str()))
                         .toStdString(),
                     TMessageKind::Warning);
      return false;
  }
  return false;
}

void TfrmMain::Terminate() {
  FTerminated = true;
  if (FSetup.OnTerminate) {
    FSetup.OnTerminate();
  } else {
    // A quit posted before the loop runs ends it as soon as it starts.
    QMetaObject::invokeMethod(
        qApp, [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
  }
}

QTreeWidgetItem* TfrmMain::InsertEntry(TPortManager* APort) {
  auto* entry = new TPortEntry(APort);
  entry->setText(0, EntryText(APort->PortParams()));
  entry->setToolTip(0, entry->text(0));
  entry->setIcon(0, StateIcon(TStateImage::PortWorking));
  tvPorts->addTopLevelItem(entry);
  return entry;
}

void TfrmMain::AddPortNode(TPortManager& APort, TPortLogLines& ALines) {
  QTreeWidgetItem* entry = InsertEntry(&APort);
  FLogViews[&APort] = std::make_unique<TfmLogPort>(ALines);
  tvPorts->setCurrentItem(entry);
  SortEntries();
}

TPortManager* TfrmMain::SelectedPort() const {
  QTreeWidgetItem* current = tvPorts->currentItem();
  if (current == nullptr || !current->isSelected()) return nullptr;
  return AsEntry(current)->Port;
}

void TfrmMain::actAddPortExecute() {
  TLumPortParams params;
  params.Init();
  params.MqttSecurityKey = GenerateSecurityKey();
  params.MqttTopic = GenerateTopic();
  // A refused name opens the editor again with what the user gave.
  while (ShowPortDialog(params, TfrmAddComPort::ACTION_ADD)) {
    TBusyCursor busy;
    const TPortResult result = FHost->Add(params);
    RefreshState();
    Answer(result, params.ComName);
    if (result.Outcome != TPortOutcome::NameTaken) return;
  }
}

void TfrmMain::actDeletePortExecute() {
  TPortManager* port = SelectedPort();
  if (port == nullptr) return;
  const std::string comName = port->PortParams().ComName;
  if (!FMessages.Ask(DELETE_TITLE, Format("Удалить порт %1 ?", comName),
                     IGuiMessages::TQuestionIcon::Question))
    return;
  TBusyCursor busy;
  const TPortResult result = FHost->Delete(port);
  RefreshState();
  Answer(result, comName);
}

void TfrmMain::actEditPortExecute() {
  TPortManager* port = SelectedPort();
  if (port == nullptr) return;
  TLumPortParams params = port->PortParams();
  const std::string comName = params.ComName;
  while (ShowPortDialog(params, TfrmAddComPort::ACTION_EDIT)) {
    TBusyCursor busy;
    const TPortResult result = FHost->Edit(port, params);
    RefreshState();
    Answer(result, result.Outcome == TPortOutcome::NameTaken ? params.ComName : comName);
    if (result.Outcome != TPortOutcome::NameTaken) return;
  }
}

void TfrmMain::actDeletePortUpdate() {
  actDeletePort->setEnabled(SelectedPort() != nullptr);
}

void TfrmMain::actEditPortUpdate() {
  actEditPort->setEnabled(SelectedPort() != nullptr);
}

void TfrmMain::RemovePortNode(const TPortManager* APort) {
  auto view = FLogViews.find(APort);
  if (view != FLogViews.end() && view->second.get() == FShownLog) DetachLogViews();
  if (QTreeWidgetItem* entry = EntryOf(APort)) {
    AsEntry(entry)->Port = nullptr;
    delete entry;
  }
  if (view != FLogViews.end()) FLogViews.erase(view);
  SortEntries();
  tvPortsChange();
}

QTreeWidgetItem* TfrmMain::EntryOf(const TPortManager* APort) const {
  for (int i = 0; i < tvPorts->topLevelItemCount(); ++i)
    if (AsEntry(tvPorts->topLevelItem(i))->Port == APort) return tvPorts->topLevelItem(i);
  return nullptr;
}

void TfrmMain::SortEntries() {
  tvPorts->sortItems(0, Qt::AscendingOrder);
}

void TfrmMain::DetachLogViews() {
  if (FShownLog == nullptr) return;
  FLogLayout->removeWidget(FShownLog);
  FShownLog->hide();
  FShownLog->setParent(nullptr);
  FShownLog = nullptr;
}

void TfrmMain::tvPortsChange() {
  DetachLogViews();
  if (TPortManager* port = SelectedPort()) {
    auto view = FLogViews.find(port);
    if (view != FLogViews.end()) {
      FShownLog = view->second.get();
      FLogLayout->addWidget(FShownLog);
      FShownLog->show();
    }
  }
  actDeletePortUpdate();
  actEditPortUpdate();
}

void TfrmMain::FreeLogs() {
  DetachLogViews();
  FLogViews.clear();
}

int TfrmMain::InactivePortCount() const {
  return FHost->InactiveCount();
}

void TfrmMain::RefreshState() {
  if (FEnding || !FHost) return;
  for (int i = 0; i < tvPorts->topLevelItemCount(); ++i) {
    auto* entry = AsEntry(tvPorts->topLevelItem(i));
    if (entry->Port == nullptr) continue;
    const int image = entry->Port->IsActive() ? 0 : 1;
    if (image == entry->Image) continue;
    entry->Image = image;
    entry->setIcon(0, StateIcon(static_cast<TStateImage>(image)));
  }
  const int inactive = InactivePortCount();
  SetTrayBlinking(inactive > 0);
  FStatusCount->setText(Text("Кол-во портов: ") + QString::number(FHost->Count()));
  FStatusState->SetInactive(inactive);
}

void TfrmMain::SetTrayBlinking(bool ABlinking) {
  if (ABlinking == FBlinkTimer->isActive()) return;
  if (ABlinking) {
    FBlinkPhase = 0;
    tiTrayIcon->setIcon(TrayBlinkIcon(FBlinkPhase));
    FBlinkTimer->start();
  } else {
    FBlinkTimer->stop();
    tiTrayIcon->setIcon(ProgramIcon());
  }
}

void TfrmMain::TrayBlink() {
  FBlinkPhase = 1 - FBlinkPhase;
  tiTrayIcon->setIcon(TrayBlinkIcon(FBlinkPhase));
}

int TfrmMain::PortEntryCount() const {
  return tvPorts->topLevelItemCount();
}

QString TfrmMain::PortEntryText(int AIndex) const {
  return tvPorts->topLevelItem(AIndex)->text(0);
}

TPortManager* TfrmMain::PortEntryPort(int AIndex) const {
  return AsEntry(tvPorts->topLevelItem(AIndex))->Port;
}

int TfrmMain::PortEntryImage(int AIndex) const {
  return AsEntry(tvPorts->topLevelItem(AIndex))->Image;
}

QString TfrmMain::StatusCountText() const {
  return FStatusCount->text();
}

QString TfrmMain::StatusStateText() const {
  return FStatusState->Caption();
}

int TfrmMain::StatusStateImage() const {
  return FStatusState->Image();
}

bool TfrmMain::TrayBlinking() const {
  return FBlinkTimer->isActive();
}

bool TfrmMain::TrayShown() const {
  return tiTrayIcon->isVisible();
}

TfmLogPort* TfrmMain::ShownLogView() const {
  return FShownLog;
}

TfmLogPort* TfrmMain::LogViewOf(const TPortManager* APort) const {
  auto view = FLogViews.find(APort);
  return view == FLogViews.end() ? nullptr : view->second.get();
}

}  // namespace orvane
