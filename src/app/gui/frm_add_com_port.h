#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "model/lum_port_params.h"

class QBoxLayout;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QStackedWidget;
class QTabWidget;
class QWidget;

namespace orvane {

class IGuiMessages;

// The modal dialog in which the user describes one port: a new virtual port or
// an existing physical one, the protocol, the TCP or MQTT end and the line
// settings. One instance serves the whole run, so what add mode does not reset
// carries over from the previous use. It edits a record only.
// Threads: the main thread only.
class TfrmAddComPort : public QDialog {
  Q_OBJECT

 public:
  static constexpr int ACTION_ADD = 0;
  static constexpr int ACTION_EDIT = 1;

  // The serial ports installed on the machine, as the existing-port list shows
  // them and as physical ports are opened by.
  using TInstalledPorts = std::function<std::vector<std::string>()>;

  TfrmAddComPort(TInstalledPorts AInstalledPorts, IGuiMessages& AMessages, QWidget* AParent = nullptr);
  ~TfrmAddComPort() override;

  // Init, then the dialog modally; on confirmation APortParams receives the
  // edited record and the result is true; on cancel it is left unchanged.
  bool ShowPortDialog(TLumPortParams& APortParams, int AAction);
  void Init(const TLumPortParams& APortParams, int AAction);

  // Handlers, public so that tests drive them as the user would.
  void cbxProtocolChange();
  void cbRealPortTunnelModeClick();
  void cbMqttTlsClick();
  // Whether the port-type tab may change now: only while adding.
  bool pcPortTypeChanging() const;
  // Copies the controls into PortParams; confirms when there is a port name.
  void btnOKClick();
  // Where the focus starts: the first control of the port page shown.
  QWidget* FirstControl() const;

  TLumPortParams PortParams;

  // Left: which port.
  QTabWidget* pcPortType = nullptr;
  QWidget* tsVirtual = nullptr;
  QWidget* tsExisting = nullptr;
  QComboBox* cbxPort = nullptr;
  QSpinBox* speReadPacketTimeout = nullptr;
  QLineEdit* edtHeader = nullptr;
  QPlainTextEdit* mmComment = nullptr;
  QComboBox* cbRealPorts = nullptr;
  // "Фиксированные настройки" and the four line settings: one set of controls, shown on
  // whichever port-type tab is current (a virtual port has them too).
  QWidget* pnlLineSettings = nullptr;
  QCheckBox* cbRealPortTunnelMode = nullptr;
  QComboBox* cbRealPortBaudRate = nullptr;
  QComboBox* cbRealPortBitData = nullptr;
  QComboBox* cbRealPortParityBits = nullptr;
  QComboBox* cbRealPortStopBits = nullptr;

  // Right: the remote end.
  QComboBox* cbxProtocol = nullptr;
  QStackedWidget* PageControl = nullptr;
  QWidget* tsParamTcp = nullptr;
  QWidget* tsParamMqtt = nullptr;
  QLineEdit* edtIpAddress = nullptr;
  QComboBox* cbxPortNumber = nullptr;
  QLabel* lblLineNumber = nullptr;
  QSpinBox* speLineNumber = nullptr;
  QSpinBox* speReadIntervalTimeout = nullptr;
  QSpinBox* speSendPause = nullptr;
  QLineEdit* edMqttAddr = nullptr;
  QLineEdit* edMqttUsername = nullptr;
  QLineEdit* edMqttPassw = nullptr;
  QLineEdit* edMqttTopic = nullptr;
  QLineEdit* edMqttSeqKey = nullptr;
  QCheckBox* cbMqttTls = nullptr;
  QLineEdit* edMqttCaFile = nullptr;
  QCheckBox* cbMqttVerifyCert = nullptr;

  QPushButton* btnOK = nullptr;
  QPushButton* btnCancel = nullptr;

 private:
  void BuildControls();
  void FormCreate();
  void FillPortLists(int AAction);
  void pcPortTypeChanged(int AIndex);
  void ShowPortTypeTab(QWidget* ATab);
  // Puts the line settings on the current port-type tab.
  void PlaceLineSettings();

  TInstalledPorts FInstalledPorts;
  IGuiMessages& FMessages;
  int FAction = ACTION_ADD;
  // The tab last allowed; a refused switch goes back to it.
  int FPortTypeTab = 0;
  // Where each tab holds the line settings, and where they are now.
  QBoxLayout* FVirtualLineSlot = nullptr;
  QBoxLayout* FExistingLineSlot = nullptr;
  QBoxLayout* FLineSlot = nullptr;
};

}  // namespace orvane
