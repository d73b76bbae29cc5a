#include "app/gui/single_instance.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

#include "platform/instance_lock.h"

namespace orvane {

TSingleInstance::TSingleInstance(std::string ALockDir, std::string AName, QObject* AParent)
    : QObject(AParent),
      FLockDir(ALockDir.empty() ? DefaultLockDir() : std::move(ALockDir)),
      FName(std::move(AName)) {}

TSingleInstance::~TSingleInstance() {
  // The socket goes before the lock, so a start in between finds no stale listener.
  if (FServer != nullptr) FServer->close();
}

std::string TSingleInstance::DefaultLockDir() {
  // XDG_RUNTIME_DIR, or a folder of this user's own under the temp folder.
  return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation).toStdString();
}

QString TSingleInstance::ServerName() const {
  // A path of the user's own rather than a bare name, which would be one
  // socket in /tmp for every user of the machine.
  return QString::fromStdString(LockFileName()) + QStringLiteral(".socket");
}

bool TSingleInstance::CheckSingleInstance() {
  FLock = std::make_unique<TInstanceLock>(LockFileName());
  if (FLock->HeldElsewhere()) {
    FLock.reset();
    Announce();
    return false;
  }
  // A lock file that cannot be made guards nothing, but the program still
  // starts as the first instance.
  if (FLock->Held()) Listen();
  return true;
}

void TSingleInstance::Listen() {
  FServer = new QLocalServer(this);
  FServer->setSocketOptions(QLocalServer::UserAccessOption);
  // We hold the lock: a socket file left there is a crashed instance's.
  QLocalServer::removeServer(ServerName());
  if (!FServer->listen(ServerName())) return;
  connect(FServer, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = FServer->nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      const auto serve = [this, socket] {
        if (socket->readAll().contains(CODE_STARTED)) emit RestoreRequested();
      };
      connect(socket, &QLocalSocket::readyRead, this, serve);
      if (socket->bytesAvailable() > 0) serve();
    }
  });
}

void TSingleInstance::Announce() {
  // The announcing instance does not learn whether the running one heard it.
  QLocalSocket socket;
  socket.connectToServer(ServerName());
  if (!socket.waitForConnected(ANNOUNCE_TIMEOUT_MS)) return;
  socket.write(QByteArray(1, CODE_STARTED));
  socket.waitForBytesWritten(ANNOUNCE_TIMEOUT_MS);
  socket.disconnectFromServer();
}

}  // namespace orvane
