// A real nginx for end-to-end tests: started as a child on 127.0.0.1 and a free port from a
// generated configuration (plain or TLS with a certificate made at start), stopped at the end.
#pragma once

#include "support/temp_dir.h"

#include <QString>
#include <QUrl>

#include <filesystem>
#include <memory>
#include <string>

class QProcess;

namespace testsupport {

// A certificate and its private key in PEM files, made with the openssl command.
struct PemCertificate {
  std::filesystem::path certificate;
  std::filesystem::path key;
};

// Makes a self-signed certificate valid for a day for `commonName`, with the subject
// alternative names `altNames` (e.g. "DNS:localhost,IP:127.0.0.1"; empty for none), in `dir`
// as <name>.crt and <name>.key. Returns false when openssl failed.
bool makeSelfSignedCertificate(const std::filesystem::path& dir, const std::string& name,
                               const std::string& commonName, const std::string& altNames,
                               PemCertificate& out);

// One nginx process serving a folder. It runs in the foreground as a child of the test (no
// daemon, no master process) with every file it writes in its own temporary folder, and stops
// when the object is destroyed. The access log names each request's connection number and its
// index on that connection, which shows whether keep-alive was honoured.
// Thread: the creating thread.
class NginxServer {
 public:
  struct Options {
    std::filesystem::path root;    // folder served at "/"
    bool tls = false;              // serve https with a certificate made at start
    std::string certificateName = "localhost";               // its common name
    std::string certificateAltNames = "DNS:localhost";       // its alternative names
    std::string extraServerConfig; // more directives for the server block
    std::string extraHttpConfig;   // more directives for the http block (log formats...)
  };

  explicit NginxServer(Options options);
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  // True when the nginx binary is installed.
  static bool isInstalled();

  // True once nginx accepts connections; otherwise errorText() says why it did not start.
  bool isRunning() const { return running_; }
  const QString& errorText() const { return error_; }
  quint16 port() const { return port_; }
  // "http(s)://127.0.0.1:<port><path>".
  QUrl url(const QString& path = QStringLiteral("/")) const;
  const PemCertificate& certificate() const { return certificate_; }
  // The folder holding the configuration, logs and certificate.
  const std::filesystem::path& workDir() const { return work_.path(); }

  // Access log lines so far, each "<connection> <request-on-connection> <status> <request line>".
  std::vector<std::string> accessLog() const;

 private:
  bool startOnce();
  void stop();

  Options options_;
  TempDir work_;
  PemCertificate certificate_;
  std::unique_ptr<QProcess> process_;
  quint16 port_ = 0;
  bool running_ = false;
  QString error_;
};

}  // namespace testsupport
