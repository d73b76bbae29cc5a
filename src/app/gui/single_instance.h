#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <string>

class QLocalServer;

namespace orvane {

class TInstanceLock;

// Keeps a second start of the program from running a second set of ports: the
// first instance holds an exclusive lock on a file named by the instance name
// in the user's runtime folder (the kernel drops it with the process, even
// after a crash) and listens on a local socket beside it. A later start finds
// the lock taken, tells the first one it started (code 1) and ends; the first
// one then asks for its window back (RestoreRequested).
// Threads: the main thread; the socket is served by the Qt event loop.
class TSingleInstance : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* INSTANCE_NAME = "Orvane_Application_must_be_unique";
  // The only message: another instance has started.
  static constexpr char CODE_STARTED = 1;
  // How long a second instance tries to reach the first one.
  static constexpr int ANNOUNCE_TIMEOUT_MS = 1000;

  // ALockDir empty: the user's runtime folder (XDG_RUNTIME_DIR, else a private
  // folder under /tmp).
  explicit TSingleInstance(std::string ALockDir = "", std::string AName = INSTANCE_NAME,
                           QObject* AParent = nullptr);
  ~TSingleInstance() override;

  // True when this process is the first instance (it then keeps the lock and
  // listens); false when another instance runs, which has been told.
  bool CheckSingleInstance();

  // The local socket's path (the lock file's path plus ".socket").
  QString ServerName() const;
  std::string LockFileName() const { return FLockDir + "/" + FName; }
  static std::string DefaultLockDir();

 signals:
  void RestoreRequested();

 private:
  void Listen();
  void Announce();

  const std::string FLockDir;
  const std::string FName;
  std::unique_ptr<TInstanceLock> FLock;
  QLocalServer* FServer = nullptr;
};

}  // namespace orvane
