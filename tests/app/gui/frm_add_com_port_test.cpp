#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/gui/frm_add_com_port.h"
#include "app/gui/gui_messages.h"
#include "app/gui/installed_ports.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

using TDialog = TfrmAddComPort;

class TRecordedMessages : public IGuiMessages {
 public:
  struct TShown {
    std::string Title;
    std::string Text;
    TMessageKind Kind;
  };
  void Show(const std::string& ATitle, const std::string& AText, TMessageKind AKind) override {
    Shown.push_back({ATitle, AText, AKind});
  }
  bool Ask(const std::string&, const std::string& AText, TQuestionIcon) override {
    ADD_FAILURE() << "the editor asked: " << AText;
    return false;
  }
  std::vector<TShown> Shown;
};

// One line per field, so that a failed comparison names the field.
std::string Describe(const TLumPortParams& A) {
  std::ostringstream out;
  out << "ComName=" << A.ComName << "\nIpAddress=" << A.IpAddress << "\nPortNumber=" << A.PortNumber
      << "\nLineNumber=" << int{A.LineNumber} << "\nProtocol=" << A.Protocol
      << "\nReadPacketTimeout=" << A.ReadPacketTimeout << "\nReadIntervalTimeout=" << A.ReadIntervalTimeout
      << "\nHeader=" << A.Header << "\nComment=" << A.Comment << "\nisRealPort=" << A.isRealPort
      << "\nRealPortBaudRate=" << int{A.RealPortBaudRate} << "\nRealPortBitData=" << int{A.RealPortBitData}
      << "\nRealPortParityBits=" << static_cast<int>(A.RealPortParityBits)
      << "\nRealPortStopBits=" << static_cast<int>(A.RealPortStopBits)
      << "\nRealPortTunnelMode=" << A.RealPortTunnelMode << "\nMqttHost=" << A.MqttHost
      << "\nMqttTopic=" << A.MqttTopic << "\nMqttUserName=" << A.MqttUserName
      << "\nMqttPassword=" << A.MqttPassword << "\nMqttSecurityKey=" << A.MqttSecurityKey
      << "\nSendPause=" << A.SendPause << "\nMqttTls=" << A.MqttTls << "\nMqttCaFile=" << A.MqttCaFile
      << "\nMqttVerifyCert=" << A.MqttVerifyCert << "\n";
  return out.str();
}

TLumPortParams Changed(TLumPortParams ARecord, const std::function<void(TLumPortParams&)>& AChange) {
  AChange(ARecord);
  return ARecord;
}

QStringList Items(const QComboBox* ABox) {
  QStringList items;
  for (int i = 0; i < ABox->count(); ++i) items.append(ABox->itemText(i));
  return items;
}

QStringList ComNames(std::initializer_list<int> AExcept) {
  QStringList names;
  for (int i = 1; i <= 999; ++i)
    if (std::find(AExcept.begin(), AExcept.end(), i) == AExcept.end())
      names.append(QStringLiteral("COM%1").arg(i));
  return names;
}

// Devices by path; bare names are the program's own virtual ports.
const std::vector<std::string> INSTALLED = {"/dev/ttyS1", "COM1", "COM3", "/dev/ttyUSB0"};

// What the main window hands over when the user starts adding a port.
TLumPortParams NewPort(const std::string& ATopic, uint32_t AKey) {
  TLumPortParams p;
  p.Init();
  p.MqttTopic = ATopic;
  p.MqttSecurityKey = AKey;
  return p;
}

// What a first add yields untouched, with the topic and key it was given.
TLumPortParams FirstAddResult(const std::string& ATopic, uint32_t AKey) {
  TLumPortParams p;
  p.ComName = "/dev/ttyS1(r)";  // the "Существующий" tab is the one shown at first
  p.IpAddress = "127.0.0.1";
  p.PortNumber = 0;
  p.LineNumber = 0;
  p.Protocol = PROTOCOL_IP485;
  p.ReadPacketTimeout = 0;
  p.ReadIntervalTimeout = 4;
  p.isRealPort = true;
  p.RealPortBaudRate = br9600;
  p.RealPortBitData = dbEight;
  p.RealPortParityBits = TParityBits::None;
  p.RealPortStopBits = TStopBits::One;
  p.RealPortTunnelMode = false;
  p.MqttHost = "localhost";
  p.MqttTopic = ATopic;
  p.MqttSecurityKey = AKey;
  return p;
}

TLumPortParams VirtualMqttPort() {
  TLumPortParams p;
  p.ComName = "COM3";  // among the installed ports: its own link
  p.IpAddress = "10.0.0.5";
  p.PortNumber = 4660;
  p.LineNumber = 2;
  p.Protocol = PROTOCOL_MQTT;
  p.ReadPacketTimeout = 250;
  p.ReadIntervalTimeout = 20;
  p.Header = "Котельная";
  p.Comment = "первая~вторая";
  p.isRealPort = false;
  p.RealPortBaudRate = br19200;
  p.RealPortBitData = dbSeven;
  p.RealPortParityBits = TParityBits::Even;
  p.RealPortStopBits = TStopBits::Two;
  p.RealPortTunnelMode = false;
  p.MqttHost = "broker.lan:1884";
  p.MqttTopic = "/plant/7";
  p.MqttUserName = "op";
  p.MqttPassword = "секрет";
  p.MqttSecurityKey = 4000000000u;  // above the largest signed 32-bit number
  return p;
}

TLumPortParams TlsPort() {
  TLumPortParams p = VirtualMqttPort();
  p.MqttTls = true;
  p.MqttCaFile = "/etc/orvane/ca.pem";
  p.MqttVerifyCert = false;
  return p;
}

TLumPortParams PhysicalIp485Port() {
  TLumPortParams p;
  p.ComName = "/dev/ttyUSB0(r)";
  p.IpAddress = "converter.lan";
  p.PortNumber = 4001;
  p.LineNumber = 3;
  p.Protocol = PROTOCOL_IP485;
  p.ReadPacketTimeout = 10000;
  p.ReadIntervalTimeout = 1000;
  p.isRealPort = true;
  p.RealPortBaudRate = br115200;
  p.RealPortBitData = dbEight;
  p.RealPortParityBits = TParityBits::Odd;
  p.RealPortStopBits = TStopBits::OneAndHalf;
  p.RealPortTunnelMode = true;
  p.MqttHost = "127.0.0.1";
  p.MqttTopic = "/t";
  p.MqttUserName = "user";
  p.MqttSecurityKey = 17;
  return p;
}

void Confirm(TDialog& ADialog) {
  ADialog.btnOKClick();
  ASSERT_EQ(ADialog.result(), QDialog::Accepted);
  ASSERT_FALSE(ADialog.isVisible());
}

struct TUseCase {
  const char* Name;
  std::function<void(TDialog&)> Earlier;  // earlier uses of the same dialog
  TLumPortParams Given;
  int Action;
  std::function<void(TDialog&)> Edit;  // what the user does before "ОК"
  TLumPortParams Expected;
};

TEST(TfrmAddComPort, ConfirmedRecordFollowsModeCarryOverAndControls) {
  const auto none = [](TDialog&) {};
  const TUseCase cases[] = {
      {"first add: the dialog's own values on the existing-port tab", none, NewPort("/a", 11),
       TDialog::ACTION_ADD, none, FirstAddResult("/a", 11)},
      {"first add on the virtual tab: the first free name", none, NewPort("/a", 11), TDialog::ACTION_ADD,
       [](TDialog& d) { d.pcPortType->setCurrentWidget(d.tsVirtual); },
       Changed(FirstAddResult("/a", 11),
               [](TLumPortParams& p) {
                 p.ComName = "COM2";
                 p.isRealPort = false;
               })},
      {"second add keeps what the first left, except name, fixed settings, topic and key",
       [](TDialog& d) {
         d.Init(NewPort("/a", 11), TDialog::ACTION_ADD);
         d.open();
         d.pcPortType->setCurrentWidget(d.tsVirtual);
         d.cbxPort->setCurrentText("COM9");
         d.cbxProtocol->setCurrentText(PROTOCOL_MQTT);
         d.edMqttAddr->setText("broker.lan");
         d.edMqttUsername->setText("op");
         d.edMqttPassw->setText("pw");
         d.cbMqttTls->setChecked(true);
         d.edMqttCaFile->setText("ca.pem");
         d.edtHeader->setText("H");
         d.mmComment->setPlainText("c");
         d.speReadPacketTimeout->setValue(300);
         d.cbRealPortTunnelMode->setChecked(true);
         d.cbRealPortBaudRate->setCurrentIndex(br115200);
         Confirm(d);
       },
       NewPort("/b", 22), TDialog::ACTION_ADD, none,
       Changed(FirstAddResult("/b", 22),
               [](TLumPortParams& p) {
                 p.ComName = "COM2";
                 p.isRealPort = false;
                 p.Protocol = PROTOCOL_MQTT;
                 p.MqttHost = "broker.lan";
                 p.MqttUserName = "op";
                 p.MqttPassword = "pw";
                 p.MqttTls = true;
                 p.MqttCaFile = "ca.pem";
                 p.Header = "H";
                 p.Comment = "c";
                 p.ReadPacketTimeout = 300;
                 p.RealPortBaudRate = br115200;
               })},
      {"add after editing a physical port: the existing-port list is a choice again",
       [](TDialog& d) {
         d.Init(PhysicalIp485Port(), TDialog::ACTION_EDIT);
         d.open();
         Confirm(d);
       },
       NewPort("/c", 33), TDialog::ACTION_ADD, none,
       Changed(PhysicalIp485Port(),
               [](TLumPortParams& p) {
                 p.ComName = "/dev/ttyS1(r)";
                 p.RealPortTunnelMode = false;
                 p.MqttTopic = "/c";
                 p.MqttSecurityKey = 33;
               })},
      {"edit of a virtual MQTT port, untouched", none, VirtualMqttPort(), TDialog::ACTION_EDIT, none,
       VirtualMqttPort()},
      {"edit of a physical IP485 port, untouched", none, PhysicalIp485Port(), TDialog::ACTION_EDIT, none,
       PhysicalIp485Port()},
      {"edit of a physical port whose suffix is in upper case", none,
       Changed(PhysicalIp485Port(), [](TLumPortParams& p) { p.ComName = "/dev/ttyUSB0(R)"; }),
       TDialog::ACTION_EDIT, none, PhysicalIp485Port()},
      {"edit of a virtual port named in other letter case takes the list's name", none,
       Changed(VirtualMqttPort(), [](TLumPortParams& p) { p.ComName = "com3"; }), TDialog::ACTION_EDIT, none,
       VirtualMqttPort()},
      {"edit after an earlier use: every control comes from the record",
       [](TDialog& d) {
         d.Init(NewPort("/a", 11), TDialog::ACTION_ADD);
         d.open();
         d.edtHeader->setText("left over");
         d.edMqttPassw->setText("left over");
         d.cbMqttTls->setChecked(true);
         d.edMqttCaFile->setText("left over");
         d.cbMqttVerifyCert->setChecked(false);
         d.cbRealPortTunnelMode->setChecked(true);
         Confirm(d);
       },
       VirtualMqttPort(), TDialog::ACTION_EDIT, none, VirtualMqttPort()},
      {"edit of a virtual port with fixed line settings and no send pause, untouched", none,
       Changed(VirtualMqttPort(),
               [](TLumPortParams& p) {
                 p.Protocol = PROTOCOL_IP485;
                 p.RealPortTunnelMode = true;
                 p.SendPause = 0;
               }),
       TDialog::ACTION_EDIT, none,
       Changed(VirtualMqttPort(),
               [](TLumPortParams& p) {
                 p.Protocol = PROTOCOL_IP485;
                 p.RealPortTunnelMode = true;
                 p.SendPause = 0;
               })},
      {"fixed line settings set on the virtual tab", none, NewPort("/f", 5), TDialog::ACTION_ADD,
       [](TDialog& d) {
         d.pcPortType->setCurrentWidget(d.tsVirtual);
         d.cbRealPortTunnelMode->setChecked(true);
         d.cbRealPortParityBits->setCurrentIndex(static_cast<int>(TParityBits::Even));
         d.speSendPause->setValue(1000);
       },
       Changed(FirstAddResult("/f", 5),
               [](TLumPortParams& p) {
                 p.ComName = "COM2";
                 p.isRealPort = false;
                 p.RealPortTunnelMode = true;
                 p.RealPortParityBits = TParityBits::Even;
                 p.SendPause = 1000;
               })},
      {"edit of a TLS port, untouched", none, TlsPort(), TDialog::ACTION_EDIT, none, TlsPort()},
      {"TLS ticked with a CA file and the check off", none, VirtualMqttPort(), TDialog::ACTION_EDIT,
       [](TDialog& d) {
         d.cbMqttTls->setChecked(true);
         d.edMqttCaFile->setText("/etc/orvane/ca.pem");
         d.cbMqttVerifyCert->setChecked(false);
       },
       TlsPort()},
      {"TLS unticked keeps the CA file and the check for later", none, TlsPort(), TDialog::ACTION_EDIT,
       [](TDialog& d) { d.cbMqttTls->setChecked(false); },
       Changed(TlsPort(), [](TLumPortParams& p) { p.MqttTls = false; })},
      {"emptied key stores 0", none, VirtualMqttPort(), TDialog::ACTION_EDIT,
       [](TDialog& d) { d.edMqttSeqKey->clear(); },
       Changed(VirtualMqttPort(), [](TLumPortParams& p) { p.MqttSecurityKey = 0; })},
      {"typed key keeps its low 32 bits", none, VirtualMqttPort(), TDialog::ACTION_EDIT,
       [](TDialog& d) { d.edMqttSeqKey->setText("4294967297"); },
       Changed(VirtualMqttPort(), [](TLumPortParams& p) { p.MqttSecurityKey = 1; })},
      {"typed key beyond 64 bits is no number: 0", none, VirtualMqttPort(), TDialog::ACTION_EDIT,
       [](TDialog& d) { d.edMqttSeqKey->setText("99999999999999999999"); },
       Changed(VirtualMqttPort(), [](TLumPortParams& p) { p.MqttSecurityKey = 0; })},
      {"TCP port text that is no whole number stores 0", none, PhysicalIp485Port(), TDialog::ACTION_EDIT,
       [](TDialog& d) { d.cbxPortNumber->setEditText("40o1"); },
       Changed(PhysicalIp485Port(), [](TLumPortParams& p) { p.PortNumber = 0; })},
      {"typed comment lines and a typed ~ are stored as one line", none, VirtualMqttPort(),
       TDialog::ACTION_EDIT, [](TDialog& d) { d.mmComment->setPlainText("a\nb~c"); },
       Changed(VirtualMqttPort(), [](TLumPortParams& p) { p.Comment = "a~b~c"; })},
      {"unticked fixed settings still store the list positions", none, PhysicalIp485Port(),
       TDialog::ACTION_EDIT,
       [](TDialog& d) {
         d.cbRealPortTunnelMode->setChecked(false);
         d.cbRealPortBaudRate->setCurrentIndex(br600);
       },
       Changed(PhysicalIp485Port(),
               [](TLumPortParams& p) {
                 p.RealPortTunnelMode = false;
                 p.RealPortBaudRate = br600;
               })},
      {"line-setting ordinals beyond the lists are kept, not stored as 255", none,
       Changed(PhysicalIp485Port(),
               [](TLumPortParams& p) {
                 p.RealPortBaudRate = static_cast<TBaudRate>(20);
                 p.RealPortParityBits = static_cast<TParityBits>(9);
               }),
       TDialog::ACTION_EDIT, none,
       Changed(PhysicalIp485Port(),
               [](TLumPortParams& p) {
                 p.RealPortBaudRate = static_cast<TBaudRate>(20);
                 p.RealPortParityBits = static_cast<TParityBits>(9);
               })},
  };
  for (const TUseCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRecordedMessages messages;
    TDialog dialog([] { return INSTALLED; }, messages);
    c.Earlier(dialog);
    dialog.Init(c.Given, c.Action);
    dialog.open();
    c.Edit(dialog);
    Confirm(dialog);
    EXPECT_EQ(Describe(dialog.PortParams), Describe(c.Expected));
    EXPECT_TRUE(messages.Shown.empty());
  }
}

// The CA file and the check count only over TLS: they are open to change only while TLS is ticked.
TEST(TfrmAddComPort, TlsSettingsFollowTheTlsBox) {
  TRecordedMessages messages;
  TDialog dialog([] { return INSTALLED; }, messages);
  EXPECT_FALSE(dialog.cbMqttTls->isChecked());  // a first use: no TLS, the certificate checked
  EXPECT_TRUE(dialog.cbMqttVerifyCert->isChecked());
  EXPECT_EQ(dialog.cbMqttTls->text(), "TLS");
  EXPECT_EQ(dialog.cbMqttVerifyCert->text(), "Проверять сертификат");
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    dialog.Init(Changed(VirtualMqttPort(), [&](TLumPortParams& p) { p.MqttTls = tls; }),
                TDialog::ACTION_EDIT);
    EXPECT_EQ(dialog.edMqttCaFile->isEnabled(), tls);
    EXPECT_EQ(dialog.cbMqttVerifyCert->isEnabled(), tls);
    dialog.cbMqttTls->setChecked(!tls);
    EXPECT_EQ(dialog.edMqttCaFile->isEnabled(), !tls);
    EXPECT_EQ(dialog.cbMqttVerifyCert->isEnabled(), !tls);
  }
}

TEST(TfrmAddComPort, NoPortNameKeepsTheDialogOpenWithAMessage) {
  std::vector<std::string> everyComName;
  for (int i = 1; i <= 999; ++i) everyComName.push_back("COM" + std::to_string(i));
  struct TCase {
    const char* Name;
    std::vector<std::string> Installed;
    bool ExistingTab;
  };
  const TCase cases[] = {
      {"every virtual name taken", everyComName, false},
      {"no installed port to choose on the existing-port tab", {}, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRecordedMessages messages;
    TDialog dialog([&] { return c.Installed; }, messages);
    dialog.Init(NewPort("/a", 1), TDialog::ACTION_ADD);
    dialog.open();
    dialog.pcPortType->setCurrentWidget(c.ExistingTab ? dialog.tsExisting : dialog.tsVirtual);
    dialog.btnOKClick();
    ASSERT_EQ(messages.Shown.size(), 1u);
    EXPECT_EQ(messages.Shown[0].Title, "");
    EXPECT_EQ(messages.Shown[0].Text, "Не определено имя порта");
    EXPECT_EQ(messages.Shown[0].Kind, TMessageKind::Plain);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_NE(dialog.result(), QDialog::Accepted);
  }
}

TEST(TfrmAddComPort, ListsOfferTheirEntriesInOrderAndStartAtTheirDefaults) {
  TRecordedMessages messages;
  TDialog dialog([] { return INSTALLED; }, messages);
  struct TCase {
    const QComboBox* List;
    QStringList Items;
    QString Current;
  };
  const TCase lists[] = {
      {dialog.cbxProtocol, {PROTOCOL_IP485, PROTOCOL_DIRECT, PROTOCOL_MQTT}, PROTOCOL_IP485},
      {dialog.cbRealPortBaudRate,
       {"75", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400", "56000",
        "57600", "115200", "128000", "256000"},
       "9600"},
      {dialog.cbRealPortBitData, {"5", "6", "7", "8"}, "8"},
      {dialog.cbRealPortParityBits, {"Нет", "Нечет", "Чет", "Маркер", "Пробел"}, "Нет"},
      {dialog.cbRealPortStopBits, {"1", "1.5", "2"}, "1"},
      {dialog.cbxPortNumber, {"1000", "1001", "2000", "2001", "3000", "3001", "4000", "4001", "4660"}, "0"},
  };
  for (const TCase& c : lists) {
    SCOPED_TRACE(c.List->itemText(0).toStdString());
    EXPECT_EQ(Items(c.List), c.Items);
    EXPECT_EQ(c.List->currentText(), c.Current);
  }
  EXPECT_TRUE(dialog.cbxPortNumber->isEditable());
  EXPECT_FALSE(dialog.cbxProtocol->isEditable());

  struct TNumber {
    const QSpinBox* Box;
    int Min, Max, Start;
  };
  const TNumber numbers[] = {
      {dialog.speReadPacketTimeout, 0, 10000, 0},
      {dialog.speLineNumber, 0, 3, 0},
      {dialog.speReadIntervalTimeout, 1, 1000, 4},
  };
  for (const TNumber& n : numbers) {
    EXPECT_EQ(n.Box->minimum(), n.Min);
    EXPECT_EQ(n.Box->maximum(), n.Max);
    EXPECT_EQ(n.Box->value(), n.Start);
  }

  // The key field takes digits only.
  dialog.edMqttSeqKey->clear();
  QTest::keyClicks(dialog.edMqttSeqKey, "12a-3 4");
  EXPECT_EQ(dialog.edMqttSeqKey->text(), "1234");
}

TEST(TfrmAddComPort, InstalledPortsAreOfferedAndKeptOutOfTheVirtualNames) {
  TRecordedMessages messages;
  const std::vector<std::string> installed = {"COM3", "/dev/ttyUSB0", "com7", "COM1"};
  TDialog dialog([&] { return installed; }, messages);

  dialog.Init(NewPort("/a", 1), TDialog::ACTION_ADD);
  EXPECT_EQ(Items(dialog.cbxPort), ComNames({1, 3, 7}));
  EXPECT_EQ(dialog.cbxPort->currentText(), "COM2");
  // Only devices are offered: the program's own virtual ports cannot be opened as one.
  EXPECT_EQ(Items(dialog.cbRealPorts), (QStringList{"/dev/ttyUSB0"}));
  EXPECT_EQ(dialog.cbRealPorts->currentText(), "/dev/ttyUSB0");

  // The edited port's own name stays offered, whatever its letter case.
  dialog.Init(Changed(VirtualMqttPort(), [](TLumPortParams& p) { p.ComName = "Com7"; }),
              TDialog::ACTION_EDIT);
  EXPECT_EQ(Items(dialog.cbxPort), ComNames({1, 3}));
  EXPECT_EQ(dialog.cbxPort->currentText(), "COM7");

  // A physical port's name is no virtual name to keep.
  dialog.Init(Changed(PhysicalIp485Port(), [](TLumPortParams& p) { p.ComName = "COM3(r)"; }),
              TDialog::ACTION_EDIT);
  EXPECT_EQ(Items(dialog.cbxPort), ComNames({1, 3, 7}));
  EXPECT_EQ(dialog.cbxPort->currentIndex(), -1);
}

TEST(TfrmAddComPort, EditOfAPhysicalPortShowsItsDeviceFixed) {
  TRecordedMessages messages;
  TDialog dialog([] { return INSTALLED; }, messages);
  dialog.pcPortType->setCurrentWidget(dialog.tsVirtual);
  const TLumPortParams port = Changed(PhysicalIp485Port(), [](TLumPortParams& p) {
    p.ComName = "COM3(r)";
    p.RealPortTunnelMode = false;
  });
  dialog.Init(port, TDialog::ACTION_EDIT);

  EXPECT_EQ(dialog.pcPortType->currentWidget(), dialog.tsExisting);
  EXPECT_EQ(dialog.cbRealPorts->count(), 0);
  EXPECT_TRUE(dialog.cbRealPorts->isEditable());
  EXPECT_FALSE(dialog.cbRealPorts->isEnabled());
  EXPECT_EQ(dialog.cbRealPorts->currentText(), "COM3");
  EXPECT_EQ(dialog.cbRealPortBaudRate->currentText(), "115200");
  EXPECT_EQ(dialog.cbRealPortParityBits->currentText(), "Нечет");
  EXPECT_EQ(dialog.cbRealPortStopBits->currentText(), "1.5");
  for (const QComboBox* list : {dialog.cbRealPortBaudRate, dialog.cbRealPortBitData,
                                dialog.cbRealPortParityBits, dialog.cbRealPortStopBits})
    EXPECT_FALSE(list->isEnabled());

  dialog.open();
  Confirm(dialog);
  EXPECT_EQ(dialog.PortParams.ComName, "COM3(r)");
  EXPECT_TRUE(dialog.PortParams.isRealPort);

  dialog.Init(NewPort("/a", 1), TDialog::ACTION_ADD);
  EXPECT_TRUE(dialog.cbRealPorts->isEnabled());
  EXPECT_EQ(Items(dialog.cbRealPorts), (QStringList{"/dev/ttyS1", "/dev/ttyUSB0"}));
  // A path may be typed as well: it is what the port opens.
  dialog.pcPortType->setCurrentWidget(dialog.tsExisting);
  dialog.cbRealPorts->setEditText(" /dev/ttyACM7 ");
  dialog.open();
  Confirm(dialog);
  EXPECT_EQ(dialog.PortParams.ComName, "/dev/ttyACM7(r)");
  EXPECT_EQ(dialog.cbRealPorts->count(), 2);
}

TEST(TfrmAddComPort, PortTypeTabChangesOnlyWhileAdding) {
  TRecordedMessages messages;
  TDialog dialog([] { return INSTALLED; }, messages);
  dialog.Init(VirtualMqttPort(), TDialog::ACTION_EDIT);
  dialog.show();
  QTabBar* tabs = dialog.pcPortType->tabBar();
  const int existing = dialog.pcPortType->indexOf(dialog.tsExisting);
  const int virtualTab = dialog.pcPortType->indexOf(dialog.tsVirtual);

  EXPECT_FALSE(dialog.pcPortTypeChanging());
  QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(existing).center());
  EXPECT_EQ(dialog.pcPortType->currentWidget(), dialog.tsVirtual);
  EXPECT_EQ(tabs->currentIndex(), virtualTab);
  dialog.pcPortType->setCurrentWidget(dialog.tsExisting);
  EXPECT_EQ(dialog.pcPortType->currentWidget(), dialog.tsVirtual);
  Confirm(dialog);
  EXPECT_EQ(dialog.PortParams.ComName, "COM3");
  EXPECT_FALSE(dialog.PortParams.isRealPort);

  dialog.Init(NewPort("/a", 1), TDialog::ACTION_ADD);
  dialog.show();
  EXPECT_TRUE(dialog.pcPortTypeChanging());
  QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(existing).center());
  EXPECT_EQ(dialog.pcPortType->currentWidget(), dialog.tsExisting);
  QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(virtualTab).center());
  EXPECT_EQ(dialog.pcPortType->currentWidget(), dialog.tsVirtual);
}

TEST(TfrmAddComPort, ProtocolChoosesThePageAndTheLineNumber) {
  TRecordedMessages messages;
  TDialog dialog([] { return INSTALLED; }, messages);
  struct TCase {
    const char* Protocol;
    bool Mqtt;
    bool LineNumber;
  };
  const TCase cases[] = {
      {PROTOCOL_MQTT, true, false},
      {PROTOCOL_DIRECT, false, false},
      {PROTOCOL_IP485, false, true},
      {"mqtt", false, false},  // no label of the list: nothing selected
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Protocol);
    dialog.Init(Changed(VirtualMqttPort(), [&](TLumPortParams& p) { p.Protocol = c.Protocol; }),
                TDialog::ACTION_EDIT);
    EXPECT_EQ(dialog.PageControl->currentWidget(), c.Mqtt ? dialog.tsParamMqtt : dialog.tsParamTcp);
    EXPECT_EQ(!dialog.speLineNumber->isHidden(), c.LineNumber);
    EXPECT_EQ(!dialog.lblLineNumber->isHidden(), c.LineNumber);
  }
  // And as the user picks them.
  dialog.Init(NewPort("/a", 1), TDialog::ACTION_ADD);
  for (const TCase& c : {cases[2], cases[0], cases[1]}) {
    SCOPED_TRACE(c.Protocol);
    dialog.cbxProtocol->setCurrentText(c.Protocol);
    EXPECT_EQ(dialog.PageControl->currentWidget(), c.Mqtt ? dialog.tsParamMqtt : dialog.tsParamTcp);
    EXPECT_EQ(!dialog.speLineNumber->isHidden(), c.LineNumber);
  }
}

TEST(TfrmAddComPort, FixedSettingsEnableTheLineLists) {
  TRecordedMessages messages;
  TDialog dialog([] { return INSTALLED; }, messages);
  const auto enabled = [&] {
    int count = 0;
    for (const QComboBox* list : {dialog.cbRealPortBaudRate, dialog.cbRealPortBitData,
                                  dialog.cbRealPortParityBits, dialog.cbRealPortStopBits})
      count += list->isEnabled() ? 1 : 0;
    return count;
  };
  dialog.Init(PhysicalIp485Port(), TDialog::ACTION_EDIT);
  EXPECT_EQ(enabled(), 4);
  dialog.cbRealPortTunnelMode->click();
  EXPECT_EQ(enabled(), 0);
  dialog.Init(NewPort("/a", 1), TDialog::ACTION_ADD);
  EXPECT_FALSE(dialog.cbRealPortTunnelMode->isChecked());
  EXPECT_EQ(enabled(), 0);
  dialog.cbRealPortTunnelMode->click();
  EXPECT_EQ(enabled(), 4);
}

TEST(TfrmAddComPort, LineSettingsAndThePauseAreWhereThePortTypeAndProtocolNeedThem) {
  TRecordedMessages messages;
  TDialog dialog([] { return INSTALLED; }, messages);
  dialog.Init(NewPort("/a", 1), TDialog::ACTION_ADD);
  dialog.show();
  for (QWidget* tab : {dialog.tsVirtual, dialog.tsExisting, dialog.tsVirtual}) {
    dialog.pcPortType->setCurrentWidget(tab);
    EXPECT_TRUE(tab->isAncestorOf(dialog.cbRealPortTunnelMode));
    EXPECT_TRUE(tab->isAncestorOf(dialog.cbRealPortStopBits));
    EXPECT_TRUE(dialog.cbRealPortTunnelMode->isVisible());
  }
  // The pause belongs to the converter's page, with its range and its default.
  EXPECT_TRUE(dialog.tsParamTcp->isAncestorOf(dialog.speSendPause));
  EXPECT_EQ(dialog.speSendPause->minimum(), 0);
  EXPECT_EQ(dialog.speSendPause->maximum(), 1000);
  EXPECT_EQ(dialog.speSendPause->value(), 10);

  // An edited virtual port shows its fixed settings on its own tab.
  dialog.Init(Changed(VirtualMqttPort(), [](TLumPortParams& p) { p.RealPortTunnelMode = true; }),
              TDialog::ACTION_EDIT);
  EXPECT_TRUE(dialog.tsVirtual->isAncestorOf(dialog.cbRealPortTunnelMode));
  EXPECT_TRUE(dialog.cbRealPortTunnelMode->isChecked());
  EXPECT_TRUE(dialog.cbRealPortParityBits->isEnabled());
  EXPECT_EQ(dialog.cbRealPortParityBits->currentIndex(), static_cast<int>(TParityBits::Even));
}

TEST(TfrmAddComPort, CommentIsShownAsLinesAndStoredAsOneLine) {
  TRecordedMessages messages;
  TDialog dialog([] { return INSTALLED; }, messages);
  dialog.Init(Changed(VirtualMqttPort(), [](TLumPortParams& p) { p.Comment = "первая~~третья"; }),
              TDialog::ACTION_EDIT);
  EXPECT_EQ(dialog.mmComment->blockCount(), 3);
  EXPECT_EQ(dialog.mmComment->toPlainText(), "первая\n\nтретья");

  dialog.mmComment->clear();
  QTest::keyClicks(dialog.mmComment, "x");
  QTest::keyClick(dialog.mmComment, Qt::Key_Return);
  QTest::keyClicks(dialog.mmComment, "y~z");
  dialog.open();
  Confirm(dialog);
  EXPECT_EQ(dialog.PortParams.Comment, "x~y~z");
  // A typed "~" comes back as a line break.
  dialog.Init(dialog.PortParams, TDialog::ACTION_EDIT);
  EXPECT_EQ(dialog.mmComment->toPlainText(), "x\ny\nz");
}

// Runs ShowPortDialog with AUser acting once the dialog is up; a deadline
// closes it should the user's keys not.
bool ShowWith(TDialog& ADialog, TLumPortParams& ARecord, int AAction, std::function<void()> AUser) {
  bool timedOut = false;
  QTimer::singleShot(0, &ADialog, AUser);
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, &ADialog, [&] {
    timedOut = true;
    ADialog.reject();
  });
  deadline.start(10000);
  const bool confirmed = ADialog.ShowPortDialog(ARecord, AAction);
  EXPECT_FALSE(timedOut);
  return confirmed;
}

TEST(TfrmAddComPort, ShowPortDialogReturnsTheRecordOnEnterAndNothingOnEsc) {
  TRecordedMessages messages;
  TDialog dialog([] { return INSTALLED; }, messages);

  TLumPortParams record = VirtualMqttPort();
  EXPECT_FALSE(ShowWith(dialog, record, TDialog::ACTION_EDIT, [&] {
    dialog.edtHeader->setText("changed");
    QTest::keyClick(dialog.edtHeader, Qt::Key_Escape);
  }));
  EXPECT_EQ(Describe(record), Describe(VirtualMqttPort()));

  EXPECT_TRUE(ShowWith(dialog, record, TDialog::ACTION_EDIT, [&] {
    dialog.edtHeader->setText("changed");
    dialog.cbxPortNumber->setEditText("5000");
    // Enter in the editable port box confirms; it adds nothing to the list.
    QTest::keyClick(dialog.cbxPortNumber->lineEdit(), Qt::Key_Return);
  }));
  EXPECT_EQ(Describe(record), Describe(Changed(VirtualMqttPort(), [](TLumPortParams& p) {
              p.Header = "changed";
              p.PortNumber = 5000;
            })));
  EXPECT_EQ(dialog.cbxPortNumber->count(), 9);
  EXPECT_EQ(dialog.windowTitle(), "COM порт");
  EXPECT_EQ(dialog.btnOK->text(), "ОК");
  EXPECT_EQ(dialog.btnCancel->text(), "Отмена");
}

// A modal dialog without minimise and maximise buttons, opening with the
// focus on the first control of its port page, whatever the last use left.
TEST(TfrmAddComPort, OpensModalWithTheFocusOnTheFirstControl) {
  TRecordedMessages messages;
  TDialog dialog([] { return INSTALLED; }, messages);
  EXPECT_TRUE(dialog.isModal());
  EXPECT_FALSE(dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  struct TCase {
    const char* Name;
    TLumPortParams Record;
    int Action;
    QWidget* Tab;
    QWidget* First;
  };
  const TCase cases[] = {
      {"add, existing", NewPort("/a", 1), TDialog::ACTION_ADD, dialog.tsExisting, dialog.cbRealPorts},
      {"add, virtual", NewPort("/a", 1), TDialog::ACTION_ADD, dialog.tsVirtual, dialog.cbxPort},
      {"edit, physical: its device is fixed", PhysicalIp485Port(), TDialog::ACTION_EDIT, nullptr,
       dialog.cbRealPortTunnelMode},
      {"edit, virtual", VirtualMqttPort(), TDialog::ACTION_EDIT, nullptr, dialog.cbxPort},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.Tab != nullptr) dialog.pcPortType->setCurrentWidget(c.Tab);
    TLumPortParams record = c.Record;
    ShowWith(dialog, record, c.Action, [&] {
      EXPECT_EQ(QApplication::activeModalWidget(), &dialog);
      EXPECT_EQ(dialog.focusWidget(), c.First);
      // The next use must not start where this one ends.
      dialog.edMqttSeqKey->setFocus();
      dialog.reject();
    });
  }
}

// At the smallest screen the window is made for, the whole dialog is on it
// and every field shows a typical full value without scrolling.
TEST(TfrmAddComPort, FitsTheScreenAndShowsTypicalValuesWhole) {
  TRecordedMessages messages;
  TDialog dialog([] { return INSTALLED; }, messages);
  TLumPortParams record = NewPort("/a", 1);
  ShowWith(dialog, record, TDialog::ACTION_ADD, [&] {
    const QRect area = dialog.screen()->availableGeometry();
    EXPECT_TRUE(area.contains(dialog.frameGeometry()))
        << area.width() << "x" << area.height() << " " << dialog.frameGeometry().width() << "x"
        << dialog.frameGeometry().height();
    struct TCase {
      QWidget* Tab;
      const char* Protocol;
      QLineEdit* Field;
      const char* Value;
    };
    const TCase cases[] = {
        {dialog.tsExisting, PROTOCOL_IP485, dialog.cbRealPorts->lineEdit(),
         "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0"},
        {dialog.tsVirtual, PROTOCOL_IP485, dialog.edtHeader, "Счётчики электроэнергии, корпус 2, щит 4"},
        {dialog.tsVirtual, PROTOCOL_IP485, dialog.edtIpAddress, "192.168.100.200"},
        {dialog.tsVirtual, PROTOCOL_MQTT, dialog.edMqttAddr, "127.0.0.1:47383"},
        {dialog.tsVirtual, PROTOCOL_MQTT, dialog.edMqttAddr, "mqtt.example.com:18883"},
        {dialog.tsVirtual, PROTOCOL_MQTT, dialog.edMqttTopic, "/Orvane/Ab3xY9"},
    };
    for (const TCase& c : cases) {
      SCOPED_TRACE(c.Value);
      dialog.pcPortType->setCurrentWidget(c.Tab);
      dialog.cbxProtocol->setCurrentText(c.Protocol);
      QCoreApplication::processEvents();
      ASSERT_TRUE(c.Field->isVisible());
      c.Field->setText(QString::fromUtf8(c.Value));
      // Shown whole: from its start to its end the text moves the cursor by
      // its full width, which a scrolled field could not.
      const auto cursor = [&] { return c.Field->inputMethodQuery(Qt::ImCursorRectangle).toRect(); };
      c.Field->home(false);
      const int start = cursor().center().x();
      c.Field->end(false);
      const int end = cursor().center().x();
      EXPECT_GE(end - start, c.Field->fontMetrics().horizontalAdvance(c.Field->text()) - 1);
      EXPECT_LE(cursor().right(), c.Field->width());
    }
    dialog.reject();
  });
}

TEST(TfrmAddComPort, LayoutCutsNoCaptionOff) {
  TRecordedMessages messages;
  TDialog dialog([] { return INSTALLED; }, messages);
  dialog.Init(NewPort("/a", 1), TDialog::ACTION_ADD);
  dialog.show();
  EXPECT_GE(dialog.width(), 560);
  EXPECT_GE(dialog.height(), 386);
  const auto check = [&](const char* AView) {
    SCOPED_TRACE(AView);
    for (const QWidget* w : dialog.findChildren<QWidget*>()) {
      if (!w->isVisible()) continue;
      if (!qobject_cast<const QLabel*>(w) && !qobject_cast<const QCheckBox*>(w) &&
          !qobject_cast<const QPushButton*>(w))
        continue;
      const QSize need = w->sizeHint();
      EXPECT_GE(w->width(), need.width()) << w->property("text").toString().toStdString();
      EXPECT_GE(w->height(), need.height()) << w->property("text").toString().toStdString();
    }
  };
  for (QWidget* tab : {dialog.tsVirtual, dialog.tsExisting}) {
    dialog.pcPortType->setCurrentWidget(tab);
    for (const char* protocol : {PROTOCOL_IP485, PROTOCOL_MQTT}) {
      dialog.cbxProtocol->setCurrentText(protocol);
      check(protocol);
    }
  }
  // Two-line captions break where their text does.
  const auto labels = dialog.findChildren<QLabel*>();
  EXPECT_TRUE(std::any_of(labels.begin(), labels.end(),
                          [](const QLabel* l) { return l->text() == "Таймаут чтения \nпакета данных, мс"; }));
}

TEST(InstalledSerialPorts, StableNamesThenDeviceNodesThenOwnPortsByLinkName) {
  namespace fs = std::filesystem;
  test::TTempDir sys, dev, ports;
  fs::create_directories(sys.Path() / "ttyUSB0" / "device");
  std::ofstream(dev.Path() / "ttyUSB0") << "";
  fs::create_directories(dev.Path() / "serial" / "by-id");
  const std::string stable =
      (dev.Path() / "serial" / "by-id" / "usb-FTDI_FT232R_A50285BI-if00-port0").string();
  fs::create_symlink("../../ttyUSB0", stable);
  fs::create_symlink("/dev/pts/5", dev.Path() / "COM5");
  fs::create_symlink("/dev/pts/6", dev.Path() / "com12");
  fs::create_symlink("/dev/pts/7", ports.Path() / "COM7");
  const std::string usb = (dev.Path() / "ttyUSB0").string();

  // Links and hardware nodes in one folder, as with the port directory at /dev.
  EXPECT_EQ(InstalledSerialPorts(dev.Str(), sys.Str(), dev.Str()),
            (std::vector<std::string>{stable, usb, "COM5", "com12"}));
  EXPECT_EQ(InstalledSerialPorts(ports.Str(), sys.Str(), dev.Str()),
            (std::vector<std::string>{stable, usb, "COM7"}));

  // The dialog offers the devices, stable name first, and keeps its own port out of both lists.
  TRecordedMessages messages;
  TDialog dialog([&] { return InstalledSerialPorts(ports.Str(), sys.Str(), dev.Str()); }, messages);
  dialog.Init(NewPort("/a", 1), TDialog::ACTION_ADD);
  EXPECT_EQ(dialog.cbxPort->findText("COM7"), -1);
  EXPECT_NE(dialog.cbxPort->findText("COM6"), -1);
  EXPECT_EQ(Items(dialog.cbRealPorts),
            (QStringList{QString::fromStdString(stable), QString::fromStdString(usb)}));
}

}  // namespace
}  // namespace orvane
