// A real nginx for end-to-end tests: configuration written to a temporary folder, a free port
// chosen at start (retried if taken meanwhile), readiness checked by connecting.
#include "support/nginx_server.h"

#include "support/loopback_ports.h"

#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <fstream>
#include <sstream>

#include <unistd.h>

namespace testsupport {

bool makeSelfSignedCertificate(const std::filesystem::path& dir, const std::string& name,
                               const std::string& commonName, const std::string& altNames,
                               PemCertificate& out) {
  out.certificate = dir / (name + ".crt");
  out.key = dir / (name + ".key");
  QStringList args{"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                   "-subj", QString::fromStdString("/CN=" + commonName),
                   "-keyout", QString::fromStdString(out.key.string()),
                   "-out", QString::fromStdString(out.certificate.string())};
  if (!altNames.empty()) args << "-addext" << QString::fromStdString("subjectAltName=" + altNames);
  QProcess openssl;
  openssl.start(QStringLiteral("openssl"), args);
  return openssl.waitForFinished(60000) && openssl.exitStatus() == QProcess::NormalExit &&
         openssl.exitCode() == 0;
}

bool NginxServer::isInstalled() {
  return !QStandardPaths::findExecutable(QStringLiteral("nginx"),
                                         {"/usr/sbin", "/usr/local/sbin", "/usr/bin"})
              .isEmpty();
}

NginxServer::NginxServer(Options options) : options_(std::move(options)) {
  if (!isInstalled()) {
    error_ = QStringLiteral("nginx is not installed");
    return;
  }
  if (options_.tls &&
      !makeSelfSignedCertificate(work_.path(), "server", options_.certificateName,
                                 options_.certificateAltNames, certificate_)) {
    error_ = QStringLiteral("openssl could not make a certificate");
    return;
  }
  // Another process may take the chosen port before nginx binds it: try a few ports.
  for (int attempt = 0; attempt < 5 && !running_; ++attempt) running_ = startOnce();
}

NginxServer::~NginxServer() { stop(); }

bool NginxServer::startOnce() {
  stop();
  port_ = freeLoopbackPort();
  const std::string dir = work_.path().string();
  std::ostringstream conf;
  if (::geteuid() == 0) conf << "user root;\n";
  conf << "worker_processes 1;\ndaemon off;\nmaster_process off;\n"
       << "pid " << dir << "/nginx.pid;\n"
       << "error_log " << dir << "/error.log warn;\n"
       << "events { worker_connections 1024; }\n"
       << "http {\n"
       << "  log_format reuse '$connection $connection_requests $status \"$request\"';\n"
       << "  access_log " << dir << "/access.log reuse;\n"
       << "  client_body_temp_path " << dir << "/client_body;\n"
       << "  proxy_temp_path " << dir << "/proxy;\n"
       << "  fastcgi_temp_path " << dir << "/fastcgi;\n"
       << "  uwsgi_temp_path " << dir << "/uwsgi;\n"
       << "  scgi_temp_path " << dir << "/scgi;\n"
       << "  default_type application/octet-stream;\n"
       << "  sendfile on;\n  tcp_nopush on;\n"
       << "  keepalive_timeout 60s;\n  keepalive_requests 100000;\n"
       << "  " << options_.extraHttpConfig << "\n"
       << "  server {\n"
       << "    listen 127.0.0.1:" << port_ << (options_.tls ? " ssl" : "") << ";\n"
       << "    server_name localhost;\n"
       << "    root " << options_.root.string() << ";\n";
  if (options_.tls) {
    conf << "    ssl_certificate " << certificate_.certificate.string() << ";\n"
         << "    ssl_certificate_key " << certificate_.key.string() << ";\n";
  }
  conf << "    " << options_.extraServerConfig << "\n  }\n}\n";
  const std::filesystem::path confPath = work_.path() / "nginx.conf";
  {
    std::ofstream out(confPath);
    out << conf.str();
  }
  std::filesystem::remove(work_.path() / "error.log");

  process_ = std::make_unique<QProcess>();
  process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process_->start(QStringLiteral("nginx"),
                  {"-p", QString::fromStdString(dir), "-c", QString::fromStdString(confPath.string()),
                   "-e", QString::fromStdString(dir + "/error.log")});
  if (!process_->waitForStarted(10000)) {
    error_ = QStringLiteral("nginx did not start: %1").arg(process_->errorString());
    return false;
  }
  for (int i = 0; i < 200; ++i) {
    if (process_->state() != QProcess::Running) break;
    if (acceptsLoopbackConnections(port_)) return true;
    QThread::msleep(25);
  }
  std::ifstream log(work_.path() / "error.log");
  std::stringstream text;
  text << log.rdbuf();
  error_ = QStringLiteral("nginx did not accept connections: %1")
               .arg(QString::fromStdString(text.str()));
  return false;
}

void NginxServer::stop() {
  stopProcess(process_);
}

QUrl NginxServer::url(const QString& path) const {
  return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                  .arg(options_.tls ? "https" : "http")
                  .arg(port_)
                  .arg(path));
}

std::vector<std::string> NginxServer::accessLog() const {
  std::vector<std::string> lines;
  std::ifstream in(work_.path() / "access.log");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace testsupport
