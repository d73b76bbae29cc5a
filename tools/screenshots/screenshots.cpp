#include "screenshots.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <vector>

#include "app/gui/frm_add_com_port.h"
#include "app/gui/frm_main.h"

namespace orvane {

namespace {

// A port that is down after its first attempts stays down for the 60 s of its
// reopen schedule; the pictures do not wait for that.
constexpr int SETTLE_LIMIT_MS = 8000;
constexpr int STEP_MS = 250;

void Save(QWidget& AWidget, const QString& ADir, const QString& AName) {
  AWidget.grab().save(QDir(ADir).filePath(AName));
}

// The editor as the add action opens it, on the given tab and protocol.
void ShowEditor(TfrmAddComPort& AEditor, QWidget* ATab, const char* AProtocol, const TLumPortParams& ARecord,
                int AAction) {
  AEditor.Init(ARecord, AAction);
  if (AAction == TfrmAddComPort::ACTION_ADD) {
    AEditor.pcPortType->setCurrentWidget(ATab);
    AEditor.cbxProtocol->setCurrentText(QString::fromUtf8(AProtocol));
    AEditor.cbxProtocolChange();
  }
  AEditor.show();
  AEditor.raise();
}

}  // namespace

void TakeScreenshots(TfrmMain& AWindow, TfrmAddComPort& AEditor, const QString& ADir) {
  QDir().mkpath(ADir);
  TLumPortParams fresh;
  fresh.Init();
  fresh.MqttTopic = "/Orvane/Ab3xY9";
  fresh.MqttSecurityKey = 1234567890;

  std::vector<std::function<void()>> steps;
  steps.push_back([&AWindow] {
    if (AWindow.tvPorts->topLevelItemCount() > 0)
      AWindow.tvPorts->setCurrentItem(AWindow.tvPorts->topLevelItem(0));
  });
  steps.push_back([&AWindow, ADir] { Save(AWindow, ADir, QStringLiteral("main-window.png")); });
  steps.push_back([&AEditor, fresh] {
    ShowEditor(AEditor, AEditor.tsVirtual, PROTOCOL_DIRECT, fresh, TfrmAddComPort::ACTION_ADD);
  });
  steps.push_back([&AEditor, ADir] { Save(AEditor, ADir, QStringLiteral("editor-virtual-tcp.png")); });
  steps.push_back([&AEditor, fresh] {
    ShowEditor(AEditor, AEditor.tsExisting, PROTOCOL_IP485, fresh, TfrmAddComPort::ACTION_ADD);
  });
  steps.push_back([&AEditor, ADir] { Save(AEditor, ADir, QStringLiteral("editor-existing-ip485.png")); });
  steps.push_back([&AEditor, fresh] {
    ShowEditor(AEditor, AEditor.tsVirtual, PROTOCOL_MQTT, fresh, TfrmAddComPort::ACTION_ADD);
  });
  steps.push_back([&AEditor, ADir] { Save(AEditor, ADir, QStringLiteral("editor-virtual-mqtt.png")); });
  steps.push_back([&AEditor] { AEditor.hide(); });
  steps.push_back([] { QCoreApplication::quit(); });

  // One step per tick, so that each picture is taken of a laid-out, painted
  // widget; the steps start once every port works or the limit passed.
  auto* timer = new QTimer(&AWindow);
  timer->setInterval(STEP_MS);
  QObject::connect(timer, &QTimer::timeout, timer,
                   [&AWindow, steps = std::move(steps), waited = 0, next = size_t{0}]() mutable {
                     if (next == 0 && AWindow.InactivePortCount() > 0 && waited < SETTLE_LIMIT_MS) {
                       waited += STEP_MS;
                       return;
                     }
                     if (next < steps.size()) steps[next++]();
                   });
  timer->start();
}

}  // namespace orvane
