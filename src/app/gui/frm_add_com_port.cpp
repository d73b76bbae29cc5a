#include "app/gui/frm_add_com_port.h"

#include "app/gui/gui_messages.h"

// Placeholder until the editor lands: confirms nothing.
namespace orvane {

TfrmAddComPort::TfrmAddComPort(TInstalledPorts AInstalledPorts, IGuiMessages& AMessages, QWidget* AParent)
    : QDialog(AParent), FInstalledPorts(std::move(AInstalledPorts)), FMessages(AMessages) {
  setWindowTitle(QString::fromUtf8("COM порт"));
}

TfrmAddComPort::~TfrmAddComPort() = default;

bool TfrmAddComPort::ShowPortDialog(TLumPortParams& APortParams, int AAction) {
  Init(APortParams, AAction);
  if (exec() != QDialog::Accepted) return false;
  APortParams = PortParams;
  return true;
}

void TfrmAddComPort::Init(const TLumPortParams& APortParams, int AAction) {
  PortParams = APortParams;
  FAction = AAction;
}

}  // namespace orvane
