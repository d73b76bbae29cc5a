#include "app/gui/frm_main.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QGroupBox>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSignalSpy>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolBar>
#include <QTreeWidget>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "app/gui/fm_log_port.h"
#include "app/gui/frm_add_com_port.h"
#include "app/gui/gui_messages.h"
#include "model/config_file.h"
#include "portkit/port_kit.h"
#include "ports/port_manager.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

using test::TEchoServer;
using test::TPtyClient;
using test::TTempDir;
using test::TTestClock;
using test::VirtualParams;

constexpr int DEADLINE_MS = 10000;

// The message boxes, scripted: every message is recorded, every question
// takes the next scripted answer (a question nobody expected fails the test).
class TScriptedMessages : public IGuiMessages {
 public:
  struct TMessage {
    std::string Title;
    std::string Text;
    TMessageKind Kind = TMessageKind::Plain;
    bool Question = false;
    TQuestionIcon Icon = TQuestionIcon::Question;
  };
  void Show(const std::string& ATitle, const std::string& AText, TMessageKind AKind) override {
    Messages.push_back({ATitle, AText, AKind, false, TQuestionIcon::Question});
  }
  bool Ask(const std::string& ATitle, const std::string& AText, TQuestionIcon AIcon) override {
    Messages.push_back({ATitle, AText, TMessageKind::Plain, true, AIcon});
    if (Answers.empty()) {
      ADD_FAILURE() << "unexpected question: " << AText;
      return false;
    }
    const bool answer = Answers.front();
    Answers.pop_front();
    return answer;
  }
  std::vector<TMessage> Messages;
  std::deque<bool> Answers;
};

std::string ReadText(const std::filesystem::path& APath) {
  std::ifstream file(APath, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Texts of the window, compared as UTF-8 so a failure prints readably.
std::string Str(const QString& AText) {
  return AText.toStdString();
}

// One window on real ports in temporary folders; the editor dialog is
// replaced by a script (the dialog itself has its own tests).
class MainWindowTest : public ::testing::Test {
 public:
  ~MainWindowTest() override { Window.reset(); }

  void Open() {
    TMainWindowSetup setup;
    setup.DataDir = DataDir.Str();
    setup.PortDir = PortDir.Str();
    setup.VersionMajor = 1;
    setup.VersionMinor = 2;
    setup.VersionRelease = 3;
    setup.WriteFile = [this](const std::string& ALine) {
      std::lock_guard<std::mutex> guard(FileLock);
      FileLines.push_back(ALine);
    };
    setup.Ticks = Clock.Source();
    setup.TrayAvailable = true;
    setup.OnTerminate = [this] { ++Terminations; };
    setup.MakeChannel = MakeChannel;
    Window = std::make_unique<TfrmMain>(setup, Editor, Messages);
    Window->ShowPortDialog = [this](TLumPortParams& APortParams, int AAction) {
      DialogActions.push_back(AAction);
      DialogRecords.push_back(APortParams);
      if (!DialogAnswer) return false;
      APortParams = DialogAnswer(APortParams);
      return true;
    };
    // As the program does; a view that is not shown keeps its lines back.
    Window->show();
  }

  void WriteConfig(const std::vector<TLumPortParams>& APorts) {
    SaveConfig(DataDir.Str(), TPortParamsVectorView(APorts), Messages);
  }
  // config.cfg as a program reading it would see it.
  std::vector<TLumPortParams> ConfigPorts() {
    std::vector<TLumPortParams> ports;
    LoadConfig(
        DataDir.Str(), [&](const TLumPortParams& APortParams) { ports.push_back(APortParams); }, Messages);
    return ports;
  }
  std::vector<std::string> ConfigNames() {
    std::vector<std::string> names;
    for (const auto& port : ConfigPorts()) names.push_back(port.ComName);
    return names;
  }
  std::string ConfigText() const { return ReadText(DataDir.Path() / CONFIG_FILE_NAME); }
  std::string Link(const std::string& AName) const { return PortDir.Str() + "/" + AName; }
  bool LinkExists(const std::string& AName) const {
    std::error_code ec;
    return std::filesystem::is_symlink(Link(AName), ec);
  }
  int EntryIndex(const std::string& AComName) const {
    for (int i = 0; i < Window->PortEntryCount(); ++i)
      if (Window->PortEntryPort(i)->PortParams().ComName == AComName) return i;
    return -1;
  }
  void Select(const std::string& AComName) {
    Window->tvPorts->setCurrentItem(Window->tvPorts->topLevelItem(EntryIndex(AComName)));
  }
  bool WaitFor(const std::function<bool()>& ACondition) { return QTest::qWaitFor(ACondition, DEADLINE_MS); }
  std::string ShownLog() const {
    TfmLogPort* view = Window->ShownLogView();
    return view == nullptr ? "" : Str(view->mmLog->toPlainText());
  }
  // Moves the ports' clock on and lets every port look at it.
  void Jump(uint32_t AMs) {
    Clock.Jump(AMs);
    for (int i = 0; Window->PortList().GetPort(i) != nullptr; ++i) Window->PortList().GetPort(i)->Wake();
  }

  TTempDir DataDir;
  TTempDir PortDir;
  TTestClock Clock;
  TScriptedMessages Messages;
  TScriptedMessages EditorMessages;
  TfrmAddComPort Editor{[] { return std::vector<std::string>{}; }, EditorMessages};
  TChannelMaker MakeChannel;
  std::function<TLumPortParams(const TLumPortParams&)> DialogAnswer;
  std::vector<int> DialogActions;
  std::vector<TLumPortParams> DialogRecords;
  std::mutex FileLock;
  std::vector<std::string> FileLines;
  int Terminations = 0;
  std::unique_ptr<TfrmMain> Window;
};

TEST_F(MainWindowTest, StartWithoutConfigShowsAnEmptyWorkingList) {
  Open();
  EXPECT_EQ(Window->PortEntryCount(), 0);
  EXPECT_EQ(Str(Window->StatusCountText()), "Кол-во портов: 0");
  EXPECT_EQ(Window->StatusStateImage(), 2);
  EXPECT_EQ(Str(Window->StatusStateText()), " все порты OK");
  EXPECT_FALSE(Window->TrayBlinking());
  EXPECT_FALSE(Window->TrayShown());
  EXPECT_FALSE(Window->actDeletePort->isEnabled());
  EXPECT_FALSE(Window->actEditPort->isEnabled());
  EXPECT_TRUE(Window->actAddPort->isEnabled());
  EXPECT_EQ(Str(Window->windowTitle()), "Порты MX40L, версия 1.2.3");
  EXPECT_EQ(Str(Window->tiTrayIcon->toolTip()), "Порты MX40L");
  EXPECT_EQ(Window->ShownLogView(), nullptr);
  EXPECT_TRUE(Messages.Messages.empty());
  EXPECT_FALSE(std::filesystem::exists(DataDir.Path() / CONFIG_FILE_NAME));
  // The designed layout, as far as the screen has room for it (see WindowFitsItsScreen).
  const QSize designed(TfrmMain::CLIENT_WIDTH, TfrmMain::CLIENT_HEIGHT);
  const QRect area = Window->screen()->availableGeometry();
  if (area.width() >= 1024 && area.height() >= 600) {
    EXPECT_EQ(Window->size(), designed);
  }
  EXPECT_EQ(Window->ToolBar1->height(), TfrmMain::TOOL_BAR_HEIGHT);
  EXPECT_EQ(Window->ToolBar1->iconSize(), QSize(32, 32));
  EXPECT_EQ(Window->Splitter2->sizes().value(0), TfrmMain::TREE_WIDTH);
  const QList<QAction*> tools = Window->ToolBar1->actions();
  ASSERT_EQ(tools.size(), 4);
  EXPECT_EQ(tools[0], Window->actAddPort);
  EXPECT_EQ(tools[1], Window->actDeletePort);
  EXPECT_TRUE(tools[2]->isSeparator());
  EXPECT_EQ(tools[3], Window->actEditPort);
  EXPECT_EQ(Str(Window->actAddPort->text()), "Добавить порт");
  EXPECT_EQ(Str(Window->actDeletePort->text()), "Удалить порт");
  EXPECT_EQ(Str(Window->actEditPort->text()), "Редактировать порт");
}

// On a small screen (800 by 600, at 1x or 2x) the whole window is on it:
// title bar, menu, tool bar, the log's buttons and the status bar.
TEST_F(MainWindowTest, WindowFitsItsScreen) {
  WriteConfig({VirtualParams("COM1", PROTOCOL_DIRECT, 1)});
  Open();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Window.get()));
  const QRect area = Window->screen()->availableGeometry();
  RecordProperty("screen", std::to_string(area.width()) + "x" + std::to_string(area.height()) + "@" +
                               std::to_string(Window->devicePixelRatio()));
  EXPECT_TRUE(area.contains(Window->frameGeometry()))
      << "screen " << area.width() << "x" << area.height() << ", window at " << Window->frameGeometry().x()
      << "," << Window->frameGeometry().y() << " " << Window->frameGeometry().width() << "x"
      << Window->frameGeometry().height();
  EXPECT_LE(Window->width(), TfrmMain::CLIENT_WIDTH);
  EXPECT_LE(Window->height(), TfrmMain::CLIENT_HEIGHT);
  TfmLogPort* view = Window->ShownLogView();
  ASSERT_NE(view, nullptr);
  const QRect client = Window->rect();
  const auto inside = [&](const QWidget* AWidget) {
    const QRect box(AWidget->mapTo(Window.get(), QPoint(0, 0)), AWidget->size());
    return AWidget->isVisible() && client.contains(box);
  };
  EXPECT_TRUE(inside(Window->menuBar()));
  EXPECT_TRUE(inside(Window->ToolBar1));
  EXPECT_TRUE(inside(Window->sbStatusBar));
  EXPECT_TRUE(inside(view));
  for (QAction* action : {view->actClear, view->actStop, view->actFollowLast}) {
    const auto widgets = action->associatedObjects();
    EXPECT_TRUE(std::any_of(widgets.begin(), widgets.end(), [&](QObject* AObject) {
      auto* button = qobject_cast<QWidget*>(AObject);
      return button != nullptr && button != view->mmLog && inside(button);
    })) << Str(action->text());
  }
}

TEST_F(MainWindowTest, AddedPortRunsIsSelectedShowsItsLogAndIsSaved) {
  TEchoServer converter;
  Open();
  DialogAnswer = [&](TLumPortParams AOffered) {
    TLumPortParams p = VirtualParams("COM7", PROTOCOL_DIRECT, converter.Port());
    p.MqttTopic = AOffered.MqttTopic;
    p.MqttSecurityKey = AOffered.MqttSecurityKey;
    return p;
  };
  Window->actAddPort->trigger();

  // The editor was offered a new record with a fresh topic and key, in add mode.
  ASSERT_EQ(DialogActions, std::vector<int>{TfrmAddComPort::ACTION_ADD});
  TLumPortParams offered;
  offered.Init();
  EXPECT_EQ(DialogRecords[0].Protocol, offered.Protocol);
  EXPECT_EQ(DialogRecords[0].ComName, offered.ComName);
  EXPECT_NE(DialogRecords[0].MqttSecurityKey, 0u);
  EXPECT_EQ(DialogRecords[0].MqttTopic.rfind("/Orvane/", 0), 0u);
  EXPECT_EQ(DialogRecords[0].MqttTopic.size(), 14u);

  ASSERT_EQ(Window->PortEntryCount(), 1);
  TPortManager* port = Window->PortEntryPort(0);
  EXPECT_EQ(Window->SelectedPort(), port);
  EXPECT_TRUE(Window->actDeletePort->isEnabled());
  EXPECT_TRUE(Window->actEditPort->isEnabled());
  EXPECT_EQ(Str(Window->PortEntryText(0)), "COM7<->127.0.0.1:" + std::to_string(converter.Port()));
  EXPECT_EQ(Window->ShownLogView(), Window->LogViewOf(port));
  EXPECT_EQ(Window->ShownLogView()->parentWidget(), static_cast<QWidget*>(Window->gbxLog));
  EXPECT_TRUE(WaitFor([&] {
    return ShownLog().find("(COM7) Create COM port - OK, ComName=COM7") != std::string::npos;
  })) << ShownLog();
  EXPECT_EQ(Str(Window->StatusCountText()), "Кол-во портов: 1");
  EXPECT_TRUE(LinkExists("COM7"));

  const std::vector<TLumPortParams> saved = ConfigPorts();
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0], port->PortParams());
  EXPECT_EQ(saved[0].MqttTopic, DialogRecords[0].MqttTopic);

  // The port carries data both ways: the view hands the application's bytes on.
  ASSERT_TRUE(WaitFor([&] { return Window->PortEntryImage(0) == 0; }));
  EXPECT_TRUE(port->IsActive());
  TPtyClient application(Link("COM7"));
  ASSERT_TRUE(application.Valid());
  ASSERT_TRUE(application.Write("ping"));
  std::string echoed;
  EXPECT_TRUE(WaitFor([&] {
    echoed += application.Read(4 - echoed.size(), 1);
    return echoed.size() >= 4;
  }));
  EXPECT_EQ(echoed, "ping");
  // Every line also went to the log file.
  std::lock_guard<std::mutex> guard(FileLock);
  EXPECT_FALSE(FileLines.empty());
}

TEST_F(MainWindowTest, CancelledAddChangesNothing) {
  Open();
  Window->actAddPort->trigger();
  EXPECT_EQ(DialogActions.size(), 1u);
  EXPECT_EQ(Window->PortEntryCount(), 0);
  EXPECT_FALSE(std::filesystem::exists(DataDir.Path() / CONFIG_FILE_NAME));
}

TEST_F(MainWindowTest, EditRebuildsThePortAtTheEndOfTheFile) {
  TEchoServer converter;
  WriteConfig({VirtualParams("COM1", PROTOCOL_DIRECT, converter.Port()),
               VirtualParams("COM2", PROTOCOL_DIRECT, converter.Port())});
  Open();
  ASSERT_EQ(Window->PortEntryCount(), 2);
  Select("COM1");
  TPortManager* old = Window->SelectedPort();
  const TLumPortParams oldParams = old->PortParams();
  TfmLogPort* oldView = Window->ShownLogView();
  ASSERT_NE(oldView, nullptr);
  DialogAnswer = [](TLumPortParams ARecord) {
    ARecord.Header = "Весы";
    return ARecord;
  };
  Window->actEditPort->trigger();

  ASSERT_EQ(DialogActions, std::vector<int>{TfrmAddComPort::ACTION_EDIT});
  EXPECT_EQ(DialogRecords[0], oldParams);
  EXPECT_EQ(ConfigNames(), (std::vector<std::string>{"COM2", "COM1"}));
  EXPECT_EQ(ConfigPorts()[1].Header, "Весы");
  ASSERT_EQ(Window->PortEntryCount(), 2);
  // The new port is selected, its entry sorted by its header.
  EXPECT_EQ(Str(Window->PortEntryText(0)), "COM2<->127.0.0.1:" + std::to_string(converter.Port()));
  EXPECT_EQ(Str(Window->PortEntryText(1)), "Весы");
  EXPECT_EQ(Window->SelectedPort(), Window->PortEntryPort(1));
  EXPECT_EQ(Window->ShownLogView(), Window->LogViewOf(Window->PortEntryPort(1)));
  // The old port's COM port was deleted, so the new one creates it afresh.
  EXPECT_TRUE(WaitFor([&] {
    return ShownLog().find("(COM1) Create COM port - OK, ComName=COM1") != std::string::npos;
  })) << ShownLog();
  EXPECT_TRUE(LinkExists("COM1"));
  EXPECT_TRUE(Messages.Messages.empty());
}

TEST_F(MainWindowTest, DeleteAsksAndRemovesPortLinkEntryAndRecord) {
  struct TCase {
    const char* Name;
    bool Answer;
  };
  for (const TCase& c : {TCase{"cancel", false}, TCase{"ok", true}}) {
    SCOPED_TRACE(c.Name);
    TEchoServer converter;
    WriteConfig({VirtualParams("COM3", PROTOCOL_DIRECT, converter.Port())});
    Messages.Messages.clear();
    Open();
    Select("COM3");
    const std::string before = ConfigText();
    Messages.Answers = {c.Answer};
    Window->actDeletePort->trigger();

    ASSERT_EQ(Messages.Messages.size(), 1u);
    EXPECT_TRUE(Messages.Messages[0].Question);
    EXPECT_EQ(Messages.Messages[0].Title, "Удаление виртуального порта");
    EXPECT_EQ(Messages.Messages[0].Text, "Удалить порт COM3 ?");
    EXPECT_EQ(Messages.Messages[0].Icon, IGuiMessages::TQuestionIcon::Question);
    if (c.Answer) {
      EXPECT_EQ(Window->PortEntryCount(), 0);
      EXPECT_EQ(Window->PortList().Count(), 0u);
      EXPECT_FALSE(LinkExists("COM3"));
      EXPECT_TRUE(ConfigPorts().empty());
      EXPECT_TRUE(std::filesystem::exists(DataDir.Path() / CONFIG_FILE_NAME));
      EXPECT_EQ(Str(Window->StatusCountText()), "Кол-во портов: 0");
      EXPECT_EQ(Window->ShownLogView(), nullptr);
      EXPECT_FALSE(Window->actDeletePort->isEnabled());
      EXPECT_FALSE(Window->actEditPort->isEnabled());
    } else {
      EXPECT_EQ(Window->PortEntryCount(), 1);
      EXPECT_TRUE(LinkExists("COM3"));
      EXPECT_EQ(ConfigText(), before);
    }
    Window.reset();
  }
}

// A load that stopped at a bad element, then an edit without a change: the
// elements from the bad one on are written back as they stood.
TEST_F(MainWindowTest, AnEditAfterAStoppedLoadKeepsTheElementsThatWereNotLoaded) {
  TEchoServer converter;
  const std::string port = std::to_string(converter.Port());
  const std::string com32 =
      "<Port ComName=\"COM32\" IpAddress=\"127.0.0.1\" PortNumber=\"" + port + "\" isRealPort=\"yes\"/>";
  const std::string com33 = "<Port ComName=\"COM33\" IpAddress=\"127.0.0.1\" PortNumber=\"" + port +
                            "\" Protocol=\"Сквозной режим\"/>";
  std::ofstream(DataDir.Path() / CONFIG_FILE_NAME)
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Orvane Description=\"Orvane config file\">\n"
      << "  <Port ComName=\"COM31\" IpAddress=\"127.0.0.1\" PortNumber=\"" << port
      << "\" Protocol=\"Сквозной режим\"/>\n  " << com32 << "\n  " << com33 << "\n</Orvane>\n";
  Open();
  ASSERT_EQ(Window->PortEntryCount(), 1);
  ASSERT_EQ(Messages.Messages.size(), 1u);
  EXPECT_EQ(Messages.Messages[0].Title, "Загрузка конфигурации");
  Messages.Messages.clear();

  Select("COM31");
  DialogAnswer = [](TLumPortParams ARecord) { return ARecord; };
  Window->actEditPort->trigger();

  const std::string text = ConfigText();
  EXPECT_NE(text.find("ComName=\"COM31\""), std::string::npos) << text;
  EXPECT_NE(text.find(com32 + "\n  " + com33), std::string::npos) << text;
  EXPECT_LT(text.find("COM31"), text.find("COM32"));
  EXPECT_TRUE(Messages.Messages.empty());
}

// A second port of a name already running would take over the first's link:
// the load refuses it and keeps its element, the editor says so and opens
// again, and the port the user selected is the one deleted.
TEST_F(MainWindowTest, ASecondPortOfATakenNameIsRefusedEverywhere) {
  TEchoServer firstConverter;
  TEchoServer secondConverter;
  WriteConfig({VirtualParams("COM8", PROTOCOL_DIRECT, firstConverter.Port()),
               VirtualParams("COM8", PROTOCOL_DIRECT, secondConverter.Port()),
               VirtualParams("COM9", PROTOCOL_DIRECT, secondConverter.Port())});
  Messages.Messages.clear();
  Open();
  ASSERT_EQ(Window->PortList().Count(), 2u);
  EXPECT_EQ(Window->PortList().GetPort(0)->PortParams().PortNumber, firstConverter.Port());
  ASSERT_EQ(Messages.Messages.size(), 1u);
  EXPECT_EQ(Messages.Messages[0].Title, "Загрузка конфигурации");
  EXPECT_NE(Messages.Messages[0].Text.find("<Port> at line 4: ComName \"COM8\" is taken by another port"),
            std::string::npos)
      << Messages.Messages[0].Text;
  Messages.Messages.clear();

  // Adding a third COM8: the editor comes back with the user's record until cancelled.
  int shown = 0;
  DialogAnswer = [&](TLumPortParams ARecord) {
    ++shown;
    ARecord.ComName = "COM8";
    return ARecord;
  };
  Window->ShowPortDialog = [&](TLumPortParams& APortParams, int AAction) {
    DialogActions.push_back(AAction);
    DialogRecords.push_back(APortParams);
    if (shown == 2) return false;
    APortParams = DialogAnswer(APortParams);
    return true;
  };
  Window->actAddPortExecute();
  EXPECT_EQ(shown, 2);
  ASSERT_EQ(DialogRecords.size(), 3u);
  EXPECT_EQ(DialogRecords[1].ComName, "COM8");
  ASSERT_EQ(Messages.Messages.size(), 2u);
  EXPECT_EQ(Messages.Messages[0].Text, "Порт COM8 уже есть в списке.\r\nУкажите другое имя порта.");
  EXPECT_EQ(Window->PortList().Count(), 2u);
  Messages.Messages.clear();

  // Editing COM9 into COM8 is refused the same way and leaves COM9 running.
  DialogRecords.clear();
  shown = 0;
  Select("COM9");
  TPortManager* com9 = Window->SelectedPort();
  Window->actEditPortExecute();
  ASSERT_EQ(Window->PortList().Count(), 2u);
  EXPECT_EQ(Window->PortList().GetPort(1), com9);
  EXPECT_EQ(ConfigNames(), (std::vector<std::string>{"COM8", "COM8", "COM9"}));
  Messages.Messages.clear();

  // The selected port goes, with its entry and view; the refused element stays in the file.
  Select("COM9");
  Messages.Answers = {true};
  Window->actDeletePort->trigger();
  ASSERT_EQ(Window->PortList().Count(), 1u);
  EXPECT_EQ(Window->PortList().GetPort(0)->PortParams().ComName, "COM8");
  EXPECT_EQ(Window->PortEntryCount(), 1);
  EXPECT_EQ(Window->LogViewOf(com9), nullptr);
  const std::vector<TLumPortParams> saved = ConfigPorts();
  ASSERT_EQ(saved.size(), 2u);
  EXPECT_EQ(saved[0].PortNumber, firstConverter.Port());
  EXPECT_EQ(saved[1].PortNumber, secondConverter.Port());
  Window.reset();
}

TEST_F(MainWindowTest, PortHeldByAnApplicationIsNeitherEditedNorDeleted) {
  struct TCase {
    const char* Name;
    std::function<void(MainWindowTest&)> Act;
  };
  const std::vector<TCase> cases = {
      {"edit",
       [](MainWindowTest& ATest) {
         ATest.DialogAnswer = [](TLumPortParams ARecord) {
           ARecord.PortNumber = 1;
           return ARecord;
         };
         ATest.Window->actEditPort->trigger();
       }},
      {"delete",
       [](MainWindowTest& ATest) {
         ATest.Messages.Answers = {true};
         ATest.Window->actDeletePort->trigger();
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    // A converter serves one client at a time, so each port gets its own.
    TEchoServer converter;
    TEchoServer otherConverter;
    WriteConfig({VirtualParams("COM4", PROTOCOL_DIRECT, converter.Port()),
                 VirtualParams("COM5", PROTOCOL_DIRECT, otherConverter.Port())});
    Messages.Messages.clear();
    Open();
    Select("COM4");
    TPortManager* held = Window->SelectedPort();
    const TLumPortParams params = held->PortParams();
    const std::string config = ConfigText();
    TPtyClient application(Link("COM4"));
    ASSERT_TRUE(application.Valid());
    ASSERT_TRUE(WaitFor([&] { return held->IsOpened(); }));

    c.Act(*this);

    const auto warning = std::find_if(Messages.Messages.begin(), Messages.Messages.end(),
                                      [](const auto& AMessage) { return !AMessage.Question; });
    ASSERT_NE(warning, Messages.Messages.end());
    EXPECT_EQ(warning->Title, "Удаление виртуального порта");
    EXPECT_EQ(warning->Text, "Порт COM4 занят.\r\nОтключитесь от COM порта.");
    EXPECT_EQ(warning->Kind, TMessageKind::Warning);
    EXPECT_EQ(Window->PortList().Count(), 2u);
    EXPECT_EQ(Window->PortList().GetPort("COM4"), held);
    EXPECT_EQ(held->PortParams(), params);
    EXPECT_EQ(Window->PortEntryCount(), 2);
    EXPECT_EQ(Window->SelectedPort(), held);
    EXPECT_EQ(Window->ShownLogView(), Window->LogViewOf(held));
    EXPECT_EQ(ConfigText(), config);
    EXPECT_TRUE(LinkExists("COM4"));
    // The application still talks through the port.
    ASSERT_TRUE(WaitFor([&] { return held->IsActive(); }));
    ASSERT_TRUE(application.Write("x"));
    std::string echoed;
    EXPECT_TRUE(WaitFor([&] { return (echoed += application.Read(1, 1)) == "x"; }));
    application.Close();
    Window.reset();
  }
}

TEST_F(MainWindowTest, PortWhoseConverterIsDownCountsUntilItReconnects) {
  TEchoServer converter;
  converter.Stop();
  WriteConfig({VirtualParams("COM6", PROTOCOL_DIRECT, converter.Port())});
  Open();
  ASSERT_EQ(Window->PortEntryCount(), 1);
  TPortManager* port = Window->PortEntryPort(0);
  ASSERT_TRUE(WaitFor([&] { return Window->PortEntryImage(0) == 1; }));
  EXPECT_FALSE(port->IsActive());
  EXPECT_EQ(Window->InactivePortCount(), 1);
  EXPECT_EQ(Window->StatusStateImage(), 3);
  EXPECT_EQ(Str(Window->StatusStateText()), "1 некорректных портов");
  EXPECT_TRUE(Window->TrayBlinking());
  // The icon alternates while the port is down.
  const qint64 first = Window->tiTrayIcon->icon().cacheKey();
  EXPECT_TRUE(WaitFor([&] { return Window->tiTrayIcon->icon().cacheKey() != first; }));

  converter.Start();
  Jump(60000);
  ASSERT_TRUE(WaitFor([&] { return Window->PortEntryImage(0) == 0; }));
  EXPECT_TRUE(port->IsActive());
  EXPECT_EQ(Window->StatusStateImage(), 2);
  EXPECT_EQ(Str(Window->StatusStateText()), " все порты OK");
  EXPECT_FALSE(Window->TrayBlinking());
}

TEST_F(MainWindowTest, EntriesShowTheirEndAndSortAsTextWithTheUsersLocale) {
  TTempDir devices;
  test::TDeviceStandIn device(devices.Str() + "/ttyS9");
  TLumPortParams mqtt = test::MqttParams("COM5", 1, "/Orvane/Ab3xY9");
  mqtt.MqttHost = "localhost:1";
  TLumPortParams physical = VirtualParams(device.Link(), PROTOCOL_IP485, 1);
  physical.isRealPort = true;
  TLumPortParams physicalWithHeader = physical;
  physicalWithHeader.ComName = devices.Str() + "/missing";
  physicalWithHeader.Header = "Alpha";
  WriteConfig({VirtualParams("COM2", PROTOCOL_DIRECT, 1), mqtt, physical,
               VirtualParams("COM10", PROTOCOL_IP485, 1), physicalWithHeader});
  Open();

  const std::vector<std::string> expected = {
      device.Link() + "<->127.0.0.1:1 (физический порт)",
      "Alpha",
      "COM10<->127.0.0.1:1",
      "COM2<->127.0.0.1:1",
      "COM5<->Mqtt localhost:1 /Orvane/Ab3xY9",
  };
  std::vector<std::string> texts;
  for (int i = 0; i < Window->PortEntryCount(); ++i) texts.push_back(Str(Window->PortEntryText(i)));
  EXPECT_EQ(texts, expected);
  EXPECT_EQ(Str(Window->StatusCountText()), "Кол-во портов: 5");

  // A new port takes its place in the order and is selected.
  DialogAnswer = [](TLumPortParams) { return VirtualParams("COM3", PROTOCOL_DIRECT, 1); };
  Window->actAddPort->trigger();
  ASSERT_EQ(Window->PortEntryCount(), 6);
  EXPECT_EQ(Str(Window->PortEntryText(4)), "COM3<->127.0.0.1:1");
  EXPECT_EQ(Window->SelectedPort(), Window->PortEntryPort(4));
  // The file keeps the order the ports were added in.
  EXPECT_EQ(ConfigNames().back(), "COM3");

  // Each selection shows that port's own view, physical ones included.
  for (const int index : {0, 1, 0, 3}) {
    Window->tvPorts->setCurrentItem(Window->tvPorts->topLevelItem(index));
    EXPECT_EQ(Window->ShownLogView(), Window->LogViewOf(Window->PortEntryPort(index))) << index;
  }
  Window->tvPorts->clearSelection();
  EXPECT_EQ(Window->ShownLogView(), nullptr);
  EXPECT_FALSE(Window->actEditPort->isEnabled());
}

// Over TLS the entry names the scheme and the port the broker is reached on.
TEST_F(MainWindowTest, TlsEntriesShowTheSchemeAndThePort) {
  TLumPortParams tls = test::MqttParams("COM6", 1, "/t6");
  tls.MqttHost = "localhost";
  tls.MqttTls = true;
  TLumPortParams tlsWithPort = test::MqttParams("COM7", 1, "/t7");
  tlsWithPort.MqttHost = "localhost:1";
  tlsWithPort.MqttTls = true;
  TLumPortParams plain = test::MqttParams("COM8", 1, "/t8");
  plain.MqttHost = "localhost:1";
  WriteConfig({tls, tlsWithPort, plain});
  Open();
  std::vector<std::string> texts;
  for (int i = 0; i < Window->PortEntryCount(); ++i) texts.push_back(Str(Window->PortEntryText(i)));
  EXPECT_EQ(texts,
            (std::vector<std::string>{"COM6<->Mqtt mqtts://localhost:8883 /t6",
                                      "COM7<->Mqtt mqtts://localhost:1 /t7", "COM8<->Mqtt localhost:1 /t8"}));
}

TEST_F(MainWindowTest, LoadedPortWithoutTopicAndKeyGetsThemAndTheNextSaveWritesThem) {
  TLumPortParams bare = VirtualParams("COM8", PROTOCOL_DIRECT, 1);
  bare.MqttTopic.clear();
  bare.MqttSecurityKey = 0;
  WriteConfig({bare});
  Open();
  ASSERT_EQ(Window->PortList().Count(), 1u);
  const TLumPortParams given = Window->PortList().GetPort(0)->PortParams();
  EXPECT_NE(given.MqttSecurityKey, 0u);
  EXPECT_EQ(given.MqttTopic.rfind("/Orvane/", 0), 0u);
  // Loading alone does not write the file.
  EXPECT_EQ(ConfigPorts()[0].MqttTopic, "");

  DialogAnswer = [](TLumPortParams) { return VirtualParams("COM9", PROTOCOL_DIRECT, 1); };
  Window->actAddPort->trigger();
  const std::vector<TLumPortParams> saved = ConfigPorts();
  ASSERT_EQ(saved.size(), 2u);
  EXPECT_EQ(saved[0].MqttTopic, given.MqttTopic);
  EXPECT_EQ(saved[0].MqttSecurityKey, given.MqttSecurityKey);
}

TEST_F(MainWindowTest, ClosingWithAPortHeldOpenAsksFirst) {
  struct TCase {
    const char* Name;
    bool Held;
    std::deque<bool> Answers;
    bool Closes;
  };
  for (const TCase& c : {TCase{"held, cancel", true, {false}, false}, TCase{"held, ok", true, {true}, true},
                         TCase{"not held", false, {}, true}}) {
    SCOPED_TRACE(c.Name);
    TEchoServer converter;
    WriteConfig({VirtualParams("COM11", PROTOCOL_DIRECT, converter.Port())});
    Messages.Messages.clear();
    Open();
    Window->show();
    QSignalSpy closed(Window.get(), &TfrmMain::Closed);
    std::unique_ptr<TPtyClient> application;
    if (c.Held) {
      application = std::make_unique<TPtyClient>(Link("COM11"));
      ASSERT_TRUE(WaitFor([&] { return Window->PortList().GetPort(0)->IsOpened(); }));
    }
    Messages.Answers = c.Answers;
    Window->close();

    if (c.Held) {
      ASSERT_EQ(Messages.Messages.size(), 1u);
      EXPECT_EQ(Messages.Messages[0].Title, "Закрытие программы");
      EXPECT_EQ(Messages.Messages[0].Text,
                "Порты созданные программой заняты.\r\n"
                "Для корректного завершения отключитесь от всех портов программы.\r\n"
                "Все равно закрыть программу ?");
      EXPECT_EQ(Messages.Messages[0].Icon, IGuiMessages::TQuestionIcon::Warning);
    } else {
      EXPECT_TRUE(Messages.Messages.empty());
    }
    EXPECT_EQ(closed.count(), c.Closes ? 1 : 0);
    EXPECT_EQ(Window->isVisible(), !c.Closes);
    if (!c.Closes) {
      // Everything keeps running.
      EXPECT_EQ(Window->PortList().Count(), 1u);
      ASSERT_TRUE(WaitFor([&] { return Window->PortList().GetPort(0)->IsActive(); }));
      ASSERT_TRUE(application->Write("k"));
      std::string echoed;
      EXPECT_TRUE(WaitFor([&] { return (echoed += application->Read(1, 1)) == "k"; }));
    }
    Window.reset();
  }
}

TEST_F(MainWindowTest, PortThatCannotBeBuiltEndsTheApplicationAfterEveryMessage) {
  MakeChannel = [](const TPortEnvironment&, const TLumPortParams& APortParams, TOnReceiveDataEvent,
                   TCancelCheck) -> IServerInterfacePtr {
    throw std::runtime_error("no channel for " + APortParams.ComName);
  };
  WriteConfig({VirtualParams("COM12", PROTOCOL_DIRECT, 1), VirtualParams("COM13", PROTOCOL_DIRECT, 1)});
  Open();
  EXPECT_TRUE(Window->Terminated());
  EXPECT_EQ(Terminations, 2);
  ASSERT_EQ(Messages.Messages.size(), 2u);
  EXPECT_EQ(Messages.Messages[0].Text, "Критическая ошибка : no channel for COM12");
  EXPECT_EQ(Messages.Messages[0].Kind, TMessageKind::Plain);
  EXPECT_EQ(Messages.Messages[1].Text, "Критическая ошибка : no channel for COM13");
  EXPECT_EQ(Window->PortEntryCount(), 0);
  EXPECT_EQ(Str(Window->StatusCountText()), "Кол-во портов: 0");
}

TEST_F(MainWindowTest, MinimisedWindowWaitsInTheTrayUntilClicked) {
  Open();
  Window->show();
  Window->showMinimized();
  ASSERT_TRUE(WaitFor([&] { return !Window->isVisible(); }));
  EXPECT_TRUE(Window->InTray());
  EXPECT_TRUE(Window->TrayShown());

  Window->tiTrayIconClick();
  EXPECT_TRUE(Window->isVisible());
  EXPECT_FALSE(Window->isMinimized());
  EXPECT_FALSE(Window->TrayShown());

  // Brought back by another start, the icon stays until clicked.
  Window->showMinimized();
  ASSERT_TRUE(WaitFor([&] { return !Window->isVisible(); }));
  Window->RestoreFromAnotherInstance();
  EXPECT_TRUE(Window->isVisible());
  EXPECT_FALSE(Window->isMinimized());
  EXPECT_TRUE(Window->TrayShown());
  // A window in its normal state shows no change.
  const QRect geometry = Window->geometry();
  Window->RestoreFromAnotherInstance();
  EXPECT_EQ(Window->geometry(), geometry);
}

TEST_F(MainWindowTest, WithoutANotificationAreaMinimisingKeepsTheWindow) {
  Open();
  // Rebuilt without a tray: a hidden window could not be brought back.
  Window.reset();
  TMainWindowSetup setup;
  setup.DataDir = DataDir.Str();
  setup.PortDir = PortDir.Str();
  setup.TrayAvailable = false;
  Window = std::make_unique<TfrmMain>(setup, Editor, Messages);
  Window->show();
  Window->showMinimized();
  QCoreApplication::processEvents();
  EXPECT_FALSE(Window->InTray());
  EXPECT_FALSE(Window->TrayShown());
  EXPECT_TRUE(Window->isVisible());
}

}  // namespace
}  // namespace orvane
