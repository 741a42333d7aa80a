// apache2 for authentication tests: configuration and user files written to a temporary
// folder, free ports chosen at start (retried if taken meanwhile), readiness checked by connecting.
#include "support/apache_server.h"

#include "support/loopback_ports.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <fstream>
#include <sstream>

namespace testsupport {

namespace {

constexpr const char* kApache = "/usr/sbin/apache2";
constexpr const char* kModules = "/usr/lib/apache2/modules";

void write(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                         std::filesystem::perms::group_read | std::filesystem::perms::others_read);
}

// Apache's workers run as another user when started by root: every folder on the way to the
// files they read must be traversable.
void openUp(const std::filesystem::path& dir) {
  using std::filesystem::perms;
  std::error_code ignored;
  std::filesystem::permissions(dir, perms::owner_all | perms::group_read | perms::group_exec |
                                        perms::others_read | perms::others_exec, ignored);
}

std::string md5Hex(const std::string& text) {
  return QCryptographicHash::hash(QByteArray::fromStdString(text), QCryptographicHash::Md5).toHex().toStdString();
}

const char* kModuleList[] = {
    "mpm_event", "authn_core", "authn_file", "authz_core", "authz_user", "auth_basic",
    "auth_digest", "auth_gssapi", "mime", "proxy", "proxy_http", "proxy_connect", "log_config"};

std::string authBlock(ApacheServer::Scheme scheme, const std::string& dir, const std::string& realm,
                      const std::string& extra = {}) {
  std::ostringstream s;
  switch (scheme) {
    case ApacheServer::Scheme::Basic:
      s << "    AuthType Basic\n    AuthName \"" << realm << "\"\n    AuthBasicProvider file\n"
        << "    AuthUserFile " << dir << "/htpasswd\n";
      break;
    case ApacheServer::Scheme::Digest:
      s << "    AuthType Digest\n    AuthName \"" << realm << "\"\n    AuthDigestProvider file\n"
        << "    AuthUserFile " << dir << "/htdigest\n";
      break;
    case ApacheServer::Scheme::Ntlm:
      s << "    AuthType GSSAPI\n    AuthName \"ntlm\"\n    GssapiAllowedMech ntlmssp\n"
        << "    GssapiConnectionBound On\n";
      break;
  }
  s << extra << "    Require valid-user\n";
  return s.str();
}

}  // namespace

bool ApacheServer::isInstalled() {
  for (const char* module : {"mod_auth_gssapi.so", "mod_auth_digest.so", "mod_proxy_connect.so"}) {
    if (!std::filesystem::exists(std::filesystem::path(kModules) / module)) return false;
  }
  return std::filesystem::exists(kApache) && std::filesystem::exists("/usr/lib/x86_64-linux-gnu/gssntlmssp/gssntlmssp.so");
}

ApacheServer::ApacheServer(Mode mode) : mode_(mode) {
  if (!isInstalled()) {
    error_ = QStringLiteral("apache2 with mod_auth_gssapi and gss-ntlmssp is not installed");
    return;
  }
  const std::string dir = work_.path().string();
  openUp(work_.path());
  // The password file holds the plain-text password hashed the way htpasswd's SHA-1 form does.
  const QByteArray sha1 = QCryptographicHash::hash("wonderland", QCryptographicHash::Sha1).toBase64();
  write(work_.path() / "htpasswd", "alice:{SHA}" + sha1.toStdString() + "\n");
  std::string digest;
  for (const char* realm : {"test realm", "proxy realm"}) {
    digest += std::string("alice:") + realm + ":" + md5Hex(std::string("alice:") + realm + ":wonderland") + "\n";
  }
  write(work_.path() / "htdigest", digest);
  write(work_.path() / "ntlm_users", "TESTDOM:alice:wonderland\n");
  std::string big(kBigFileBytes, '\0');
  for (int i = 0; i < kBigFileBytes; ++i) big[i] = static_cast<char>('a' + i % 26);
  for (const char* location : {"basic", "digest", "digest-stale", "ntlm", "open"}) {
    write(work_.path() / "htdocs" / location / "index.txt", std::string("protected ") + location + "\n");
    write(work_.path() / "htdocs" / location / "big.bin", big);
    openUp(work_.path() / "htdocs" / location);
  }
  openUp(work_.path() / "htdocs");
  std::filesystem::create_directories(work_.path() / "run");
  for (int attempt = 0; attempt < 5 && !running_; ++attempt) running_ = startOnce();
}

ApacheServer::~ApacheServer() { stop(); }

bool ApacheServer::startOnce() {
  stop();
  const std::string dir = work_.path().string();
  ports_.clear();
  for (int i = 0; i < (mode_ == Mode::Proxy ? 3 : 1); ++i) ports_.push_back(freeLoopbackPort());
  std::ostringstream conf;
  conf << "ServerRoot \"/usr/lib/apache2\"\nServerName 127.0.0.1\n"
       << "PidFile " << dir << "/run/httpd.pid\nMutex file:" << dir << "/run default\n"
       << "DefaultRuntimeDir " << dir << "/run\nErrorLog " << dir << "/run/error.log\n"
       << "LogLevel warn\nUser nobody\nGroup nogroup\n";
  for (const char* module : kModuleList) {
    if (std::string(module) == "log_config" &&
        !std::filesystem::exists(std::string(kModules) + "/mod_log_config.so")) {
      continue;  // built into the server binary
    }
    conf << "LoadModule " << module << "_module modules/mod_" << module << ".so\n";
  }
  conf << "TypesConfig /etc/mime.types\n"
       << "LogFormat \"%{local}p \\\"%r\\\" %>s user=%u\" authlog\n"
       << "CustomLog " << dir << "/run/access.log authlog\n"
       << "StartServers 1\nServerLimit 2\nThreadsPerChild 16\nMaxRequestWorkers 32\n"
       << "KeepAlive On\nMaxKeepAliveRequests 0\nKeepAliveTimeout 30\n";
  if (mode_ == Mode::Server) {
    conf << "Listen 127.0.0.1:" << ports_[0] << "\n"
         << "DocumentRoot " << dir << "/htdocs\n"
         << "<Directory " << dir << "/htdocs>\n    Require all granted\n</Directory>\n"
         << "<Location /basic/>\n" << authBlock(Scheme::Basic, dir, "basic realm") << "</Location>\n"
         << "<Location /digest/>\n" << authBlock(Scheme::Digest, dir, "test realm", "    AuthDigestDomain /digest/\n") << "</Location>\n"
         << "<Location /digest-stale/>\n"
         << authBlock(Scheme::Digest, dir, "test realm", "    AuthDigestDomain /digest-stale/\n    AuthDigestNonceLifetime 1\n")
         << "</Location>\n"
         << "<Location /ntlm/>\n" << authBlock(Scheme::Ntlm, dir, "") << "</Location>\n";
  } else {
    const Scheme schemes[] = {Scheme::Basic, Scheme::Digest, Scheme::Ntlm};
    for (int i = 0; i < 3; ++i) {
      conf << "Listen 127.0.0.1:" << ports_[i] << "\n"
           << "<VirtualHost 127.0.0.1:" << ports_[i] << ">\n"
           << "  ProxyRequests On\n  AllowCONNECT 1-65535\n"
           << "  <Proxy \"*\">\n" << authBlock(schemes[i], dir, "proxy realm") << "  </Proxy>\n"
           << "</VirtualHost>\n";
    }
  }
  write(work_.path() / "httpd.conf", conf.str());
  std::filesystem::remove(work_.path() / "run" / "error.log");

  process_ = std::make_unique<QProcess>();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("NTLM_USER_FILE"), QString::fromStdString(dir + "/ntlm_users"));
  process_->setProcessEnvironment(env);
  process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process_->start(QString::fromLatin1(kApache),
                  {"-f", QString::fromStdString(dir + "/httpd.conf"), "-DFOREGROUND"});
  if (!process_->waitForStarted(10000)) {
    error_ = QStringLiteral("apache2 did not start: %1").arg(process_->errorString());
    return false;
  }
  for (int i = 0; i < 400; ++i) {
    if (process_->state() != QProcess::Running) break;
    bool all = true;
    for (quint16 p : ports_) all = all && acceptsLoopbackConnections(p);
    if (all) return true;
    QThread::msleep(25);
  }
  error_ = QStringLiteral("apache2 did not accept connections: %1")
               .arg(QString::fromStdString(readFile(work_.path() / "run" / "error.log")));
  return false;
}

void ApacheServer::stop() {
  stopProcess(process_);
}

quint16 ApacheServer::port(Scheme scheme) const {
  if (ports_.empty()) return 0;
  if (mode_ == Mode::Server) return ports_[0];
  return ports_[static_cast<size_t>(scheme)];
}

QUrl ApacheServer::url(const QString& path) const {
  return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

std::vector<std::string> ApacheServer::accessLog() const {
  std::vector<std::string> lines;
  std::ifstream in(work_.path() / "run" / "access.log");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace testsupport
