#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "model/lum_port_params.h"

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

  TLumPortParams PortParams;

 private:
  TInstalledPorts FInstalledPorts;
  IGuiMessages& FMessages;
  int FAction = ACTION_ADD;
};

}  // namespace orvane
