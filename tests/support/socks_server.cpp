// SOCKS5 servers for tests: dante from a generated configuration, microsocks from its command
// line; a free port chosen at start (retried if taken meanwhile), readiness checked by connecting.
#include "support/socks_server.h"

#include "support/loopback_ports.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <sstream>

#include <unistd.h>

namespace testsupport {

namespace {

constexpr const char* kDante = "/usr/sbin/danted";
constexpr const char* kMicrosocks = "/usr/bin/microsocks";

}  // namespace

bool SocksServer::isInstalled(Kind kind) {
  return QFileInfo(QString::fromLatin1(kind == Kind::Dante ? kDante : kMicrosocks)).isExecutable();
}

SocksServer::SocksServer(Options options) : options_(std::move(options)) {
  if (!isInstalled(options_.kind)) {
    error_ = QStringLiteral("the SOCKS server is not installed");
    return;
  }
  for (int attempt = 0; attempt < 5 && !running_; ++attempt) running_ = startOnce();
}

SocksServer::~SocksServer() { stop(); }

bool SocksServer::startOnce() {
  stop();
  port_ = freeLoopbackPort();
  const std::string dir = work_.path().string();
  process_ = std::make_unique<QProcess>();
  process_->setProcessChannelMode(QProcess::MergedChannels);
  process_->setStandardOutputFile(QString::fromStdString(dir + "/server.out"));
  if (options_.kind == Kind::Dante) {
    std::ostringstream conf;
    conf << "logoutput: " << dir << "/server.log\n"
         << "internal: 127.0.0.1 port = " << port_ << "\n"
         << "external: 127.0.0.1\n"
         << "clientmethod: none\nsocksmethod: none\n";
    if (::geteuid() == 0) conf << "user.privileged: root\nuser.unprivileged: nobody\n";
    conf << "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  log: error\n}\n"
         << "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  command: connect\n"
            "  log: connect disconnect error\n}\n"
         << "socks block {\n  from: 0.0.0.0/0 to: 0.0.0.0/0\n  log: connect error\n}\n";
    writeFile(work_.path() / "danted.conf", conf.str());
    process_->start(QString::fromLatin1(kDante),
                    {"-f", QString::fromStdString(dir + "/danted.conf"), "-p",
                     QString::fromStdString(dir + "/danted.pid"), "-N", "1"});
  } else {
    QStringList args{"-i", "127.0.0.1", "-p", QString::number(port_)};
    if (!options_.user.empty()) {
      args << "-u" << QString::fromStdString(options_.user) << "-P"
           << QString::fromStdString(options_.password);
    }
    process_->start(QString::fromLatin1(kMicrosocks), args);
  }
  if (!process_->waitForStarted(10000)) {
    error_ = QStringLiteral("the SOCKS server did not start: %1").arg(process_->errorString());
    return false;
  }
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 10000) {
    if (process_->state() != QProcess::Running) break;
    if (acceptsLoopbackConnections(port_)) return true;
    QThread::msleep(25);
  }
  error_ = QStringLiteral("the SOCKS server did not accept connections: %1")
               .arg(QString::fromStdString(readFile(work_.path() / "server.out") + log()));
  return false;
}

void SocksServer::stop() {
  stopProcess(process_);
}

std::string SocksServer::log() const {
  return readFile(work_.path() / (options_.kind == Kind::Dante ? "server.log" : "server.out"));
}

bool SocksServer::waitForLog(const std::string& text, std::chrono::milliseconds limit) const {
  QElapsedTimer clock;
  clock.start();
  for (;;) {
    if (log().find(text) != std::string::npos) return true;
    if (clock.elapsed() >= limit.count()) return false;
    QThread::msleep(50);
  }
}

}  // namespace testsupport
