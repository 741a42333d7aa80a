// The private Secret Service: dbus-daemon in the foreground printing its address, then
// gnome-keyring-daemon unlocked with a non-empty password from its standard input (an empty one
// would make it ask through a display prompt).
#include "support/secret_service_session.h"

#include "support/loopback_ports.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <cstdlib>

namespace testsupport {

namespace {

bool installed(const char* name) { return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty(); }

}  // namespace

bool SecretServiceSession::isInstalled() {
  return installed("dbus-daemon") && installed("dbus-send") && installed("gnome-keyring-daemon");
}

SecretServiceSession::SecretServiceSession() {
  previousAddress_ = qgetenv("DBUS_SESSION_BUS_ADDRESS");
  if (!isInstalled()) {
    error_ = QStringLiteral("dbus-daemon or gnome-keyring-daemon is not installed");
    return;
  }
  running_ = start();
}

SecretServiceSession::~SecretServiceSession() {
  stopProcess(keyring_);
  stopProcess(bus_);
  if (previousAddress_.isNull()) qunsetenv("DBUS_SESSION_BUS_ADDRESS");
  else qputenv("DBUS_SESSION_BUS_ADDRESS", previousAddress_);
}

bool SecretServiceSession::start() {
  // The bus gets the keyring's environment too: a service it starts on demand finds the
  // unlocked keyring through XDG_RUNTIME_DIR.
  const QString home = QString::fromStdString(work_.path().string());
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("HOME"), home);
  env.insert(QStringLiteral("XDG_DATA_HOME"), home + "/data");
  env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + "/config");
  env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + "/run");
  std::filesystem::create_directories(work_.path() / "run");
  std::filesystem::permissions(work_.path() / "run", std::filesystem::perms::owner_all);
  bus_ = std::make_unique<QProcess>();
  bus_->setProcessEnvironment(env);
  bus_->start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
  if (!bus_->waitForStarted(10000)) {
    error_ = QStringLiteral("dbus-daemon did not start");
    return false;
  }
  QByteArray address;
  for (int i = 0; i < 100 && !address.contains('\n'); ++i) {
    bus_->waitForReadyRead(100);
    address += bus_->readAllStandardOutput();
  }
  address = address.trimmed();
  if (address.isEmpty()) {
    error_ = QStringLiteral("dbus-daemon printed no address");
    return false;
  }
  qputenv("DBUS_SESSION_BUS_ADDRESS", address);

  env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromLatin1(address));
  keyring_ = std::make_unique<QProcess>();
  keyring_->setProcessEnvironment(env);
  keyring_->start(QStringLiteral("gnome-keyring-daemon"),
                  {"--foreground", "--unlock", "--components=secrets"});
  if (!keyring_->waitForStarted(10000)) {
    error_ = QStringLiteral("gnome-keyring-daemon did not start");
    return false;
  }
  keyring_->write("test-keyring-password");
  keyring_->waitForBytesWritten(5000);
  keyring_->closeWriteChannel();
  // Registers the secrets component of the unlocked daemon on the bus.
  for (int i = 0; i < 100; ++i) {
    if (std::filesystem::exists(work_.path() / "run" / "keyring" / "control")) break;
    QThread::msleep(25);
  }
  QProcess registrar;
  registrar.setProcessEnvironment(env);
  registrar.start(QStringLiteral("gnome-keyring-daemon"), {"--start", "--components=secrets"});
  registrar.waitForFinished(10000);

  for (int i = 0; i < 200; ++i) {
    QProcess ask;
    ask.setProcessEnvironment(env);
    ask.start(QStringLiteral("dbus-send"),
              {"--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
               "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.secrets"});
    if (ask.waitForFinished(5000) && ask.readAllStandardOutput().contains("boolean true")) return true;
    if (keyring_->state() != QProcess::Running) break;
    QThread::msleep(25);
  }
  error_ = QStringLiteral("the keyring did not appear on the bus (%1, exit %2): %3 %4")
               .arg(keyring_->state() == QProcess::Running ? "running" : "stopped")
               .arg(keyring_->exitCode())
               .arg(QString::fromLocal8Bit(keyring_->readAllStandardError()),
                    QString::fromLocal8Bit(keyring_->readAllStandardOutput()));
  return false;
}

}  // namespace testsupport
