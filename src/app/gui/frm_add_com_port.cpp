#include "app/gui/frm_add_com_port.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/gui/gui_messages.h"
#include "app/gui/gui_text.h"
#include "app/gui/screen_fit.h"
#include "platform/serial_port_list.h"

namespace orvane {

namespace {

constexpr int CLIENT_WIDTH = 560;
constexpr int CLIENT_HEIGHT = 386;
constexpr int COM_NAME_COUNT = 999;
// Shown in the broker field until the user types another.
constexpr const char* DEFAULT_BROKER_HOST = "localhost";

// Typical full values that their fields show whole, without scrolling.
constexpr const char* SAMPLE_DEVICE = "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0";
constexpr const char* SAMPLE_HEADER = "Счётчики электроэнергии, корпус 2, щит 4";
constexpr const char* SAMPLE_HOST_PORT = "mqtt.example.com:18883";
constexpr const char* SAMPLE_ADDRESS = "converter-12.example.com";
// Frame, margins and, for a list, its arrow, besides the text.
constexpr int FIELD_ROOM = 16;
constexpr int LIST_ROOM = 40;

void FitText(QWidget* AField, const char* ASample, int ARoom) {
  AField->setMinimumWidth(AField->fontMetrics().horizontalAdvance(Text(ASample)) + ARoom);
}

QString FromStd(const std::string& AText) {
  return QString::fromStdString(AText);
}

std::string ToStd(const QString& AText) {
  return AText.toStdString();
}

// Captions keep their CR LF; a label breaks its line at LF alone.
QLabel* Caption(const char* AUtf8, QWidget* ABuddy) {
  auto* label = new QLabel(LfLines(Text(AUtf8)));
  label->setBuddy(ABuddy);
  return label;
}

QComboBox* DropDownList(const std::vector<const char*>& AItems) {
  auto* box = new QComboBox;
  for (const char* item : AItems) box->addItem(Text(item));
  return box;
}

QSpinBox* Number(int AMin, int AMax) {
  auto* spin = new QSpinBox;
  spin->setRange(AMin, AMax);
  return spin;
}

// The text box holds its lines with LF; the record's comment uses CR LF.
QString EditorLines(const std::string& ACrLfText) {
  return LfLines(FromStd(ACrLfText));
}

std::string CrLfLines(QString AEditorText) {
  return ToStd(AEditorText.replace(QLatin1Char('\n'), QStringLiteral("\r\n")));
}

// A text that is no whole number gives port 0: the dialog does not refuse it,
// and no channel connects to port 0.
int32_t PortNumberOf(const QString& AText) {
  bool ok = false;
  const int value = AText.trimmed().toInt(&ok);
  return ok ? value : 0;
}

// A list without a selection (the record held an ordinal beyond the list)
// leaves the stored ordinal as it was rather than storing -1 as 255.
template <typename TOrdinal>
void StoreOrdinal(const QComboBox* AList, TOrdinal& AField) {
  if (AList->currentIndex() >= 0) AField = static_cast<TOrdinal>(AList->currentIndex());
}

}  // namespace

TfrmAddComPort::TfrmAddComPort(TInstalledPorts AInstalledPorts, IGuiMessages& AMessages, QWidget* AParent)
    : QDialog(AParent), FInstalledPorts(std::move(AInstalledPorts)), FMessages(AMessages) {
  BuildControls();
  FormCreate();
}

TfrmAddComPort::~TfrmAddComPort() = default;

void TfrmAddComPort::BuildControls() {
  setWindowTitle(Text("COM порт"));
  // A dialog of the main window: no minimise or maximise button, no task-bar
  // entry of its own.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setModal(true);

  // Left: the port, a new virtual one or an existing one.
  cbxPort = new QComboBox;
  speReadPacketTimeout = Number(0, 10000);
  edtHeader = new QLineEdit;
  mmComment = new QPlainTextEdit;
  mmComment->setTabChangesFocus(true);

  auto* virtualForm = new QFormLayout;
  virtualForm->addRow(Caption("COM порт", cbxPort), cbxPort);
  virtualForm->addRow(Caption("Таймаут чтения \r\nпакета данных, мс", speReadPacketTimeout),
                      speReadPacketTimeout);
  auto* gbDescription = new QGroupBox(Text("Описание"));
  auto* descriptionForm = new QFormLayout(gbDescription);
  // Captions above their fields: a whole header fits on a small screen.
  descriptionForm->setRowWrapPolicy(QFormLayout::WrapAllRows);
  descriptionForm->addRow(Caption("Заголовок", edtHeader), edtHeader);
  descriptionForm->addRow(Caption("Комментарии", mmComment), mmComment);
  tsVirtual = new QWidget;
  auto* virtualLayout = new QVBoxLayout(tsVirtual);
  virtualLayout->addLayout(virtualForm);
  FVirtualLineSlot = new QVBoxLayout;
  virtualLayout->addLayout(FVirtualLineSlot);
  virtualLayout->addWidget(gbDescription, 1);

  cbRealPorts = new QComboBox;
  // A device path may be typed as well as chosen.
  cbRealPorts->setEditable(true);
  cbRealPorts->setInsertPolicy(QComboBox::NoInsert);
  FitText(cbRealPorts, SAMPLE_DEVICE, LIST_ROOM);
  FitText(edtHeader, SAMPLE_HEADER, FIELD_ROOM);
  cbRealPortTunnelMode = new QCheckBox(Text("Фиксированные настройки"));
  cbRealPortBaudRate = DropDownList({"75", "110", "300", "600", "1200", "2400", "4800", "9600", "14400",
                                     "19200", "38400", "56000", "57600", "115200", "128000", "256000"});
  cbRealPortBitData = DropDownList({"5", "6", "7", "8"});
  cbRealPortParityBits = DropDownList({"Нет", "Нечет", "Чет", "Маркер", "Пробел"});
  cbRealPortStopBits = DropDownList({"1", "1.5", "2"});
  pnlLineSettings = new QWidget;
  auto* lineForm = new QFormLayout(pnlLineSettings);
  lineForm->setContentsMargins(0, 0, 0, 0);
  lineForm->addRow(cbRealPortTunnelMode);
  lineForm->addRow(Caption("Скорость", cbRealPortBaudRate), cbRealPortBaudRate);
  lineForm->addRow(Caption("Биты данных", cbRealPortBitData), cbRealPortBitData);
  lineForm->addRow(Caption("Четность", cbRealPortParityBits), cbRealPortParityBits);
  lineForm->addRow(Caption("Стоповые биты", cbRealPortStopBits), cbRealPortStopBits);
  tsExisting = new QWidget;
  auto* existingLayout = new QVBoxLayout(tsExisting);
  auto* existingForm = new QFormLayout;
  // A device path is long: the list goes below its caption, across the page.
  existingForm->addRow(Caption("COM порт", cbRealPorts));
  existingForm->addRow(cbRealPorts);
  existingLayout->addLayout(existingForm);
  FExistingLineSlot = new QVBoxLayout;
  existingLayout->addLayout(FExistingLineSlot);
  existingLayout->addStretch(1);

  pcPortType = new QTabWidget;
  pcPortType->addTab(tsVirtual, Text("Виртуальный"));
  pcPortType->addTab(tsExisting, Text("Существующий"));
  auto* gbPort = new QGroupBox(Text("Порт"));
  auto* portLayout = new QVBoxLayout(gbPort);
  portLayout->addWidget(pcPortType);

  // Right: the remote end, one page per kind of protocol.
  cbxProtocol = new QComboBox;
  edtIpAddress = new QLineEdit;
  cbxPortNumber = new QComboBox;
  cbxPortNumber->setEditable(true);
  // Enter confirms the dialog; it must not add the typed number to the list.
  cbxPortNumber->setInsertPolicy(QComboBox::NoInsert);
  speLineNumber = Number(0, 3);
  lblLineNumber = Caption("Номер линии", speLineNumber);
  speReadIntervalTimeout = Number(1, 1000);
  speSendPause = Number(0, SEND_PAUSE_MAX_MS);

  tsParamTcp = new QWidget;
  auto* tcpForm = new QFormLayout;
  tcpForm->addRow(Caption("IP адрес или\r\nDNS имя", edtIpAddress), edtIpAddress);
  tcpForm->addRow(Caption("TCP порт", cbxPortNumber), cbxPortNumber);
  tcpForm->addRow(lblLineNumber, speLineNumber);
  tcpForm->addRow(Caption("Пауза между\r\nпосылками, мс", speSendPause), speSendPause);
  auto* gbLineTimeouts = new QGroupBox(Text("Таймауты на линии RS485/RS232"));
  auto* lineTimeoutsForm = new QFormLayout(gbLineTimeouts);
  lineTimeoutsForm->addRow(Caption("Межсимвольный \r\nинтервал чтения, мс", speReadIntervalTimeout),
                           speReadIntervalTimeout);
  auto* tcpLayout = new QVBoxLayout(tsParamTcp);
  tcpLayout->setContentsMargins(0, 0, 0, 0);
  tcpLayout->addLayout(tcpForm);
  tcpLayout->addWidget(gbLineTimeouts);
  tcpLayout->addStretch(1);

  FitText(edtIpAddress, SAMPLE_ADDRESS, FIELD_ROOM);
  edMqttAddr = new QLineEdit;
  FitText(edMqttAddr, SAMPLE_HOST_PORT, FIELD_ROOM);
  edMqttUsername = new QLineEdit;
  edMqttPassw = new QLineEdit;
  edMqttTopic = new QLineEdit;
  edMqttSeqKey = new QLineEdit;
  edMqttSeqKey->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edMqttSeqKey));
  tsParamMqtt = new QWidget;
  auto* gbConnection = new QGroupBox(Text(" Настройки подключения "));
  auto* connectionForm = new QFormLayout(gbConnection);
  connectionForm->setRowWrapPolicy(QFormLayout::WrapAllRows);
  connectionForm->addRow(Caption("Адрес брокера", edMqttAddr), edMqttAddr);
  connectionForm->addRow(Caption("Имя пользователя", edMqttUsername), edMqttUsername);
  connectionForm->addRow(Caption("Пароль", edMqttPassw), edMqttPassw);
  cbMqttTls = new QCheckBox(Text("TLS"));
  edMqttCaFile = new QLineEdit;
  edMqttCaFile->setPlaceholderText(Text("системное хранилище"));
  cbMqttVerifyCert = new QCheckBox(Text("Проверять сертификат"));
  connectionForm->addRow(cbMqttTls);
  connectionForm->addRow(Caption("Файл CA", edMqttCaFile), edMqttCaFile);
  connectionForm->addRow(cbMqttVerifyCert);
  auto* gbLink = new QGroupBox(Text(" Параметры связи "));
  auto* linkForm = new QFormLayout(gbLink);
  // The right column is narrow: the fields go below their labels, where the
  // whole width of the group shows them.
  linkForm->setRowWrapPolicy(QFormLayout::WrapAllRows);
  linkForm->addRow(Caption("ИД клиента", edMqttTopic), edMqttTopic);
  linkForm->addRow(Caption("Ключ безопасности", edMqttSeqKey), edMqttSeqKey);
  auto* mqttLayout = new QVBoxLayout(tsParamMqtt);
  mqttLayout->setContentsMargins(0, 0, 0, 0);
  mqttLayout->addWidget(gbConnection);
  mqttLayout->addWidget(gbLink);
  mqttLayout->addStretch(1);

  PageControl = new QStackedWidget;
  PageControl->addWidget(tsParamTcp);
  PageControl->addWidget(tsParamMqtt);
  auto* gbLinkParams = new QGroupBox(Text("Параметры связи"));
  auto* protocolForm = new QFormLayout;
  protocolForm->addRow(Caption("Протокол", cbxProtocol), cbxProtocol);
  auto* linkParamsLayout = new QVBoxLayout(gbLinkParams);
  linkParamsLayout->addLayout(protocolForm);
  linkParamsLayout->addWidget(PageControl, 1);

  btnOK = new QPushButton(Text("ОК"));
  btnOK->setDefault(true);
  btnCancel = new QPushButton(Text("Отмена"));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);

  auto* groups = new QHBoxLayout;
  groups->addWidget(gbPort, 1);
  groups->addWidget(gbLinkParams, 1);
  auto* dialogLayout = new QVBoxLayout(this);
  dialogLayout->addLayout(groups, 1);
  dialogLayout->addLayout(buttons);

  connect(cbxProtocol, &QComboBox::currentIndexChanged, this, [this] { cbxProtocolChange(); });
  connect(cbRealPortTunnelMode, &QCheckBox::toggled, this, [this] { cbRealPortTunnelModeClick(); });
  connect(cbMqttTls, &QCheckBox::toggled, this, [this] { cbMqttTlsClick(); });
  connect(pcPortType, &QTabWidget::currentChanged, this, [this](int AIndex) { pcPortTypeChanged(AIndex); });
  connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(); });
  // Esc rejects as well: QDialog's own key handling.
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

  resize(CLIENT_WIDTH, CLIENT_HEIGHT);
}

void TfrmAddComPort::FormCreate() {
  cbxProtocol->addItems({Text(PROTOCOL_IP485), Text(PROTOCOL_DIRECT), Text(PROTOCOL_MQTT)});
  cbxProtocol->setCurrentIndex(0);
  PageControl->setCurrentWidget(tsParamTcp);
  speReadPacketTimeout->setValue(0);
  speReadIntervalTimeout->setValue(4);
  speSendPause->setValue(SEND_PAUSE_DEFAULT_MS);

  // The values of the first use of a run; later add-mode uses keep what the
  // previous use left.
  ShowPortTypeTab(tsExisting);
  cbRealPortBaudRate->setCurrentIndex(br9600);
  cbRealPortBitData->setCurrentIndex(dbEight);
  cbRealPortParityBits->setCurrentIndex(static_cast<int>(TParityBits::None));
  cbRealPortStopBits->setCurrentIndex(static_cast<int>(TStopBits::One));
  edtIpAddress->setText(QStringLiteral("127.0.0.1"));
  cbxPortNumber->addItems({QStringLiteral("1000"), QStringLiteral("1001"), QStringLiteral("2000"),
                           QStringLiteral("2001"), QStringLiteral("3000"), QStringLiteral("3001"),
                           QStringLiteral("4000"), QStringLiteral("4001"), QStringLiteral("4660")});
  cbxPortNumber->setEditText(QStringLiteral("0"));
  speLineNumber->setValue(0);
  edMqttAddr->setText(Text(DEFAULT_BROKER_HOST));
  cbMqttTls->setChecked(false);
  cbMqttVerifyCert->setChecked(true);
  cbMqttTlsClick();
  cbxProtocolChange();
}

void TfrmAddComPort::FillPortLists(int AAction) {
  cbxPort->clear();
  cbRealPorts->clear();
  QStringList names;
  names.reserve(COM_NAME_COUNT);
  for (int i = 1; i <= COM_NAME_COUNT; ++i) names.append(QStringLiteral("COM%1").arg(i));
  cbxPort->addItems(names);

  // Names are kept as the ports are opened by (device paths are case-sensitive
  // here) and matched without regard to case.
  const QString edited = FromStd(PortParams.ComName);
  const std::vector<std::string> installed = FInstalledPorts ? FInstalledPorts() : std::vector<std::string>{};
  for (const std::string& port : installed) {
    const QString name = FromStd(port);
    // Devices come as paths; a bare name is one of the program's own virtual
    // ports, which is no existing port to open.
    if (name.startsWith(QLatin1Char('/'))) cbRealPorts->addItem(name);
    if (AAction == ACTION_EDIT && name.compare(edited, Qt::CaseInsensitive) == 0) continue;
    const int taken = cbxPort->findText(name, Qt::MatchFixedString);
    if (taken >= 0) cbxPort->removeItem(taken);
  }

  if (cbxPort->count() > 0) cbxPort->setCurrentIndex(0);
  if (cbRealPorts->count() > 0) cbRealPorts->setCurrentIndex(0);
}

void TfrmAddComPort::Init(const TLumPortParams& APortParams, int AAction) {
  PortParams = APortParams;
  FillPortLists(AAction);
  FAction = AAction;

  cbRealPorts->setEnabled(true);
  cbRealPortTunnelMode->setChecked(false);
  cbRealPortTunnelModeClick();
  edMqttSeqKey->setText(QString::number(PortParams.MqttSecurityKey));
  edMqttTopic->setText(FromStd(PortParams.MqttTopic));
  if (AAction != ACTION_EDIT) return;

  const TLumPortParams& p = PortParams;
  cbxPort->setCurrentIndex(cbxPort->findText(FromStd(p.ComName), Qt::MatchFixedString));
  edtIpAddress->setText(FromStd(p.IpAddress));
  cbxPortNumber->setEditText(QString::number(p.PortNumber));
  speLineNumber->setValue(p.LineNumber);
  cbxProtocol->setCurrentIndex(
      cbxProtocol->findText(FromStd(p.Protocol), Qt::MatchExactly | Qt::MatchCaseSensitive));
  speReadPacketTimeout->setValue(p.ReadPacketTimeout);
  speReadIntervalTimeout->setValue(p.ReadIntervalTimeout);
  speSendPause->setValue(p.SendPause);
  edtHeader->setText(FromStd(p.Header));
  mmComment->setPlainText(EditorLines(ConvertLineBreaks(0, p.Comment)));
  edMqttAddr->setText(FromStd(p.MqttHost));
  edMqttUsername->setText(FromStd(p.MqttUserName));
  edMqttPassw->setText(FromStd(p.MqttPassword));
  cbMqttTls->setChecked(p.MqttTls);
  edMqttCaFile->setText(FromStd(p.MqttCaFile));
  cbMqttVerifyCert->setChecked(p.MqttVerifyCert);
  cbMqttTlsClick();
  cbRealPortBaudRate->setCurrentIndex(p.RealPortBaudRate);
  cbRealPortBitData->setCurrentIndex(p.RealPortBitData);
  cbRealPortParityBits->setCurrentIndex(static_cast<int>(p.RealPortParityBits));
  cbRealPortStopBits->setCurrentIndex(static_cast<int>(p.RealPortStopBits));
  cbRealPortTunnelMode->setChecked(p.RealPortTunnelMode);

  // The device of an existing port is shown, not chosen again.
  cbRealPorts->clear();
  cbRealPorts->setEditText(FromStd(StripRealPortSuffix(p.ComName)));
  cbRealPorts->setEnabled(false);
  ShowPortTypeTab(p.isRealPort ? tsExisting : tsVirtual);
  cbxProtocolChange();
}

void TfrmAddComPort::cbxProtocolChange() {
  const QString protocol = cbxProtocol->currentText();
  PageControl->setCurrentWidget(protocol == Text(PROTOCOL_MQTT) ? tsParamMqtt : tsParamTcp);
  const bool lineNumber = protocol == Text(PROTOCOL_IP485);
  lblLineNumber->setVisible(lineNumber);
  speLineNumber->setVisible(lineNumber);
}

void TfrmAddComPort::cbRealPortTunnelModeClick() {
  const bool fixed = cbRealPortTunnelMode->isChecked();
  for (QComboBox* list : {cbRealPortBaudRate, cbRealPortBitData, cbRealPortParityBits, cbRealPortStopBits})
    list->setEnabled(fixed);
}

void TfrmAddComPort::cbMqttTlsClick() {
  // The CA and the check mean something only over TLS; they keep their values meanwhile.
  const bool tls = cbMqttTls->isChecked();
  edMqttCaFile->setEnabled(tls);
  cbMqttVerifyCert->setEnabled(tls);
}

bool TfrmAddComPort::pcPortTypeChanging() const {
  // An edit must not turn a virtual port into a physical one or back.
  return FAction == ACTION_ADD;
}

void TfrmAddComPort::pcPortTypeChanged(int AIndex) {
  if (AIndex == FPortTypeTab) return;
  // The tab widget has no veto before the switch; a refused one is undone at
  // once, before anything is painted.
  if (!pcPortTypeChanging()) {
    pcPortType->setCurrentIndex(FPortTypeTab);
    return;
  }
  FPortTypeTab = AIndex;
  PlaceLineSettings();
}

void TfrmAddComPort::ShowPortTypeTab(QWidget* ATab) {
  FPortTypeTab = pcPortType->indexOf(ATab);
  pcPortType->setCurrentIndex(FPortTypeTab);
  PlaceLineSettings();
}

void TfrmAddComPort::PlaceLineSettings() {
  QBoxLayout* slot = pcPortType->currentWidget() == tsVirtual ? FVirtualLineSlot : FExistingLineSlot;
  if (slot == FLineSlot) return;
  if (FLineSlot) FLineSlot->removeWidget(pnlLineSettings);
  slot->addWidget(pnlLineSettings);
  FLineSlot = slot;
  // A widget given a new parent is hidden until shown again.
  pnlLineSettings->show();
  // The virtual tab is the taller with them: the dialog grows so no caption is cut off.
  layout()->activate();
  resize(size().expandedTo(sizeHint()));
}

QWidget* TfrmAddComPort::FirstControl() const {
  if (pcPortType->currentWidget() == tsVirtual) return cbxPort;
  return cbRealPorts->isEnabled() ? static_cast<QWidget*>(cbRealPorts) : cbRealPortTunnelMode;
}

void TfrmAddComPort::btnOKClick() {
  TLumPortParams& p = PortParams;
  p.ComName = ToStd(cbxPort->currentText());
  p.IpAddress = ToStd(edtIpAddress->text());
  p.PortNumber = PortNumberOf(cbxPortNumber->currentText());
  p.LineNumber = static_cast<uint8_t>(speLineNumber->value());
  p.Protocol = ToStd(cbxProtocol->currentText());
  p.ReadPacketTimeout = static_cast<uint16_t>(speReadPacketTimeout->value());
  p.ReadIntervalTimeout = static_cast<uint16_t>(speReadIntervalTimeout->value());
  p.SendPause = static_cast<uint16_t>(speSendPause->value());
  p.Header = ToStd(edtHeader->text());
  p.Comment = ConvertLineBreaks(1, CrLfLines(mmComment->toPlainText()));

  StoreOrdinal(cbRealPortBaudRate, p.RealPortBaudRate);
  StoreOrdinal(cbRealPortBitData, p.RealPortBitData);
  StoreOrdinal(cbRealPortParityBits, p.RealPortParityBits);
  StoreOrdinal(cbRealPortStopBits, p.RealPortStopBits);
  p.RealPortTunnelMode = cbRealPortTunnelMode->isChecked();

  p.MqttHost = ToStd(edMqttAddr->text());
  p.MqttTopic = ToStd(edMqttTopic->text());
  p.MqttUserName = ToStd(edMqttUsername->text());
  p.MqttPassword = ToStd(edMqttPassw->text());
  p.MqttTls = cbMqttTls->isChecked();
  p.MqttCaFile = ToStd(edMqttCaFile->text());
  p.MqttVerifyCert = cbMqttVerifyCert->isChecked();
  // An untouched key is kept exactly; a typed one keeps its low 32 bits, and an
  // emptied one stores 0, for which the main window makes a new key.
  const QString key = edMqttSeqKey->text();
  if (key != QString::number(p.MqttSecurityKey)) {
    bool ok = false;
    const qlonglong value = key.toLongLong(&ok);
    p.MqttSecurityKey = ok ? static_cast<uint32_t>(static_cast<uint64_t>(value)) : 0;
  }

  p.isRealPort = pcPortType->currentWidget() == tsExisting;
  bool named = !p.ComName.empty();
  if (p.isRealPort) {
    const QString device = cbRealPorts->currentText().trimmed();
    p.ComName = ToStd(device) + "(r)";
    // "(r)" alone names no device.
    named = !device.isEmpty();
  }
  if (named) {
    accept();
    return;
  }
  FMessages.Show("", "Не определено имя порта", TMessageKind::Plain);
}

bool TfrmAddComPort::ShowPortDialog(TLumPortParams& APortParams, int AAction) {
  Init(APortParams, AAction);
  FitOnScreen(*this, QSize(CLIENT_WIDTH, CLIENT_HEIGHT));
  FirstControl()->setFocus();
  if (exec() != QDialog::Accepted) return false;
  APortParams = PortParams;
  return true;
}

}  // namespace orvane
