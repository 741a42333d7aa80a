// A private Secret Service for tests: a D-Bus session bus and an unlocked gnome-keyring in it,
// both children of the test, with their files in a temporary folder; this process is pointed at
// the bus for as long as the object lives.
#pragma once

#include "support/temp_dir.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QProcess;

namespace testsupport {

// Thread: the creating thread. Create it before the first use of the Secret Service client in
// the process (the client keeps the bus address it first found).
class SecretServiceSession {
 public:
  SecretServiceSession();
  ~SecretServiceSession();
  SecretServiceSession(const SecretServiceSession&) = delete;
  SecretServiceSession& operator=(const SecretServiceSession&) = delete;

  // True when dbus-daemon, dbus-send and gnome-keyring-daemon are installed.
  static bool isInstalled();
  // True once the keyring answers on the bus; otherwise errorText() says why.
  bool isRunning() const { return running_; }
  const QString& errorText() const { return error_; }

 private:
  bool start();

  TempDir work_;
  std::unique_ptr<QProcess> bus_;
  std::unique_ptr<QProcess> keyring_;
  QByteArray previousAddress_;
  bool running_ = false;
  QString error_;
};

}  // namespace testsupport
