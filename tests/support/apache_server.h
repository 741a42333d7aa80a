// A real apache2 for authentication tests: Basic, Digest and NTLM (GSSAPI with gss-ntlmssp)
// either on server locations or as a forward proxy, started as a child on 127.0.0.1 and free
// ports from a generated configuration, stopped at the end.
#pragma once

#include "support/temp_dir.h"

#include <QString>
#include <QUrl>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class QProcess;

namespace testsupport {

// One apache2 process in the foreground, every file in its own temporary folder. Users: alice /
// wonderland for Basic and Digest (realms "basic realm" and "test realm"), TESTDOM\alice /
// wonderland for NTLM (NTLMv2 only).
//
// Server mode serves /basic/, /digest/, /digest-stale/ (a nonce lives one second, so a reused
// nonce is answered with stale=true), /ntlm/ and /open/, each holding index.txt ("protected
// <location>") and big.bin (see bigFileBytes). Proxy mode listens on three ports, one per scheme
// (Basic "proxy realm", Digest "proxy realm", NTLM), each a forward proxy for plain http and
// CONNECT. The access log names the request line, status and authenticated user.
// Thread: the creating thread.
class ApacheServer {
 public:
  enum class Mode { Server, Proxy };
  enum class Scheme { Basic, Digest, Ntlm };
  static constexpr int kBigFileBytes = 256 * 1024;

  explicit ApacheServer(Mode mode);
  ~ApacheServer();
  ApacheServer(const ApacheServer&) = delete;
  ApacheServer& operator=(const ApacheServer&) = delete;

  // True when apache2 and the modules the tests need are installed.
  static bool isInstalled();

  bool isRunning() const { return running_; }
  const QString& errorText() const { return error_; }
  // Server mode: the port. Proxy mode: the port of the proxy for `scheme`.
  quint16 port(Scheme scheme = Scheme::Basic) const;
  // Server mode: "http://127.0.0.1:<port><path>".
  QUrl url(const QString& path) const;
  // Access log lines so far: "<port> \"<request line>\" <status> user=<user>".
  std::vector<std::string> accessLog() const;

 private:
  bool startOnce();
  void stop();

  Mode mode_;
  TempDir work_;
  std::unique_ptr<QProcess> process_;
  std::vector<quint16> ports_;
  bool running_ = false;
  QString error_;
};

}  // namespace testsupport
