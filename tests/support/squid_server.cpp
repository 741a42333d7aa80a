// A real squid for end-to-end proxy tests: configuration, hosts and password files written to a
// temporary folder, a free port chosen at start (retried if taken meanwhile), readiness checked
// by asking the proxy for an answer.
#include "support/squid_server.h"

#include "support/loopback_ports.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTcpSocket>
#include <QThread>

#include <fstream>
#include <sstream>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr const char* kSquid = "/usr/sbin/squid";
constexpr const char* kHelperDir = "/usr/lib/squid/";

// True when squid answers an HTTP request on `port` (any answer: it is accepting requests).
bool answers(quint16 port) {
  QTcpSocket socket;
  socket.connectToHost(QHostAddress::LocalHost, port);
  if (!socket.waitForConnected(200)) return false;
  socket.write("OPTIONS * HTTP/1.0\r\n\r\n");
  if (!socket.waitForBytesWritten(200)) return false;
  return socket.waitForReadyRead(500) && socket.peek(5) == "HTTP/";
}

std::string helperFor(SquidServer::Auth auth) {
  switch (auth) {
    case SquidServer::Auth::None: return {};
    case SquidServer::Auth::Basic: return "basic_ncsa_auth";
    case SquidServer::Auth::Digest: return "digest_file_auth";
    case SquidServer::Auth::Ntlm: return "ntlm_fake_auth";
  }
  return {};
}

// An Apache MD5 password hash ("$apr1$..."), which basic_ncsa_auth understands.
std::string passwordHash(const std::string& password) {
  QProcess openssl;
  openssl.start(QStringLiteral("openssl"),
                {"passwd", "-apr1", "-salt", "squidtst", QString::fromStdString(password)});
  if (!openssl.waitForFinished(10000) || openssl.exitCode() != 0) return {};
  return openssl.readAllStandardOutput().trimmed().toStdString();
}

}  // namespace

bool SquidServer::isInstalled(Auth auth) {
  if (!QFileInfo(QString::fromLatin1(kSquid)).isExecutable()) return false;
  const std::string helper = helperFor(auth);
  return helper.empty() ||
         QFileInfo(QString::fromStdString(kHelperDir + helper)).isExecutable();
}

SquidServer::SquidServer(Options options) : options_(std::move(options)) {
  if (!isInstalled(options_.auth)) {
    error_ = QStringLiteral("squid or its authentication helper is not installed");
    return;
  }
  if (!writeFiles()) return;
  for (int attempt = 0; attempt < 5 && !running_; ++attempt) running_ = startOnce();
}

SquidServer::~SquidServer() { stop(); }

bool SquidServer::writeFiles() {
  const std::filesystem::path dir = work_.path();
  // squid started as root works as "proxy": it must reach and write its folder.
  ::chmod(dir.c_str(), 0755);
  writeFile(dir / "hosts", [this] {
    std::string hosts = "127.0.0.1 localhost\n";
    for (const std::string& name : options_.hostNames) hosts += "127.0.0.1 " + name + "\n";
    return hosts;
  }());
  if (options_.auth == Auth::Basic) {
    const std::string hash = passwordHash(options_.password);
    if (hash.empty()) {
      error_ = QStringLiteral("openssl could not hash the proxy password");
      return false;
    }
    writeFile(dir / "basic_passwd", options_.user + ":" + hash + "\n");
  }
  if (options_.auth == Auth::Digest) {
    writeFile(dir / "digest_passwd", options_.user + ":" + options_.password + "\n");
  }
  if (::geteuid() == 0) {
    // The folders above (a private TMPDIR made with mode 700) must let "proxy" pass through:
    // search permission only, nothing becomes readable.
    for (std::filesystem::path up = dir.parent_path(); !up.empty() && up != up.root_path();
         up = up.parent_path()) {
      struct stat info {};
      if (::stat(up.c_str(), &info) == 0 && (info.st_mode & S_IXOTH) == 0) {
        ::chmod(up.c_str(), (info.st_mode & 07777) | S_IXOTH);
      }
    }
    if (const passwd* proxy = ::getpwnam("proxy")) {
      for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        ::chown(entry.path().c_str(), proxy->pw_uid, proxy->pw_gid);
      }
      ::chown(dir.c_str(), proxy->pw_uid, proxy->pw_gid);
    }
  }
  return true;
}

bool SquidServer::startOnce() {
  stop();
  port_ = freeLoopbackPort();
  const std::string dir = work_.path().string();
  std::ostringstream conf;
  conf << "http_port 127.0.0.1:" << port_ << "\n"
       << "pid_filename " << dir << "/squid.pid\n"
       << "cache_effective_user proxy\n"
       << "cache deny all\n"
       << "cache_mem 8 MB\n"
       << "shutdown_lifetime 0 seconds\n"
       << "dns_nameservers 127.0.0.1\n"
       << "hosts_file " << dir << "/hosts\n"
       << "logfile_rotate 0\n"
       << "cache_log " << dir << "/cache.log\n"
       << "coredump_dir " << dir << "\n"
       << "netdb_filename none\n"
       << "logformat tests %Ss/%03>Hs %<st %rm %ru user=%[un port=%>lp\n"
       << "access_log stdio:" << dir << "/access.log logformat=tests\n"
       << "strip_query_terms off\n"
       << "via on\nforwarded_for on\n";
  const std::string realm = options_.realm;
  switch (options_.auth) {
    case Auth::None:
      break;
    case Auth::Basic:
      conf << "auth_param basic program " << kHelperDir << "basic_ncsa_auth " << dir
           << "/basic_passwd\n"
           << "auth_param basic realm " << realm << "\n"
           << "auth_param basic children 2 startup=1 idle=1\n";
      break;
    case Auth::Digest:
      conf << "auth_param digest program " << kHelperDir << "digest_file_auth " << dir
           << "/digest_passwd\n"
           << "auth_param digest realm " << realm << "\n"
           << "auth_param digest children 2 startup=1 idle=1\n";
      break;
    case Auth::Ntlm:
      conf << "auth_param ntlm program " << kHelperDir << "ntlm_fake_auth\n"
           << "auth_param ntlm children 2 startup=1 idle=1\n";
      break;
  }
  if (options_.auth == Auth::None) {
    conf << "http_access allow all\n";
  } else {
    conf << "acl authed proxy_auth REQUIRED\n"
         << "http_access allow authed\n"
         << "http_access deny all\n";
  }
  const std::filesystem::path confPath = work_.path() / "squid.conf";
  writeFile(confPath, conf.str());
  std::filesystem::remove(work_.path() / "cache.log");

  process_ = std::make_unique<QProcess>();
  process_->setProcessChannelMode(QProcess::MergedChannels);
  process_->setStandardOutputFile(QString::fromStdString(dir + "/squid.out"));
  process_->start(QString::fromLatin1(kSquid),
                  {"-N", "-f", QString::fromStdString(confPath.string())});
  if (!process_->waitForStarted(10000)) {
    error_ = QStringLiteral("squid did not start: %1").arg(process_->errorString());
    return false;
  }
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 20000) {
    if (process_->state() != QProcess::Running) break;
    if (answers(port_)) return true;
    QThread::msleep(50);
  }
  error_ = QStringLiteral("squid did not answer: %1 %2")
               .arg(QString::fromStdString(readFile(work_.path() / "squid.out")),
                    QString::fromStdString(readFile(work_.path() / "cache.log")));
  return false;
}

void SquidServer::stop() {
  stopProcess(process_);
}

std::vector<std::string> SquidServer::accessLog() const {
  std::vector<std::string> lines;
  std::ifstream in(work_.path() / "access.log");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool SquidServer::waitForLogLine(const std::string& text, std::chrono::milliseconds limit) const {
  QElapsedTimer clock;
  clock.start();
  for (;;) {
    for (const std::string& line : accessLog()) {
      if (line.find(text) != std::string::npos) return true;
    }
    if (clock.elapsed() >= limit.count()) return false;
    QThread::msleep(50);
  }
}

}  // namespace testsupport
