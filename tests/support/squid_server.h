// A real squid forward proxy for end-to-end tests: started as a child on 127.0.0.1 and a free
// port from a generated configuration, with no proxy authentication, Basic or Digest (or NTLM
// with squid's fake helper, which checks the message flow but not the password).
#pragma once

#include "support/temp_dir.h"

#include <QString>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class QProcess;

namespace testsupport {

// One squid process. It runs in the foreground (-N) as a child of the test with every file it
// writes in its own temporary folder, caches nothing, and stops when the object is destroyed.
// Plain requests arrive in absolute form and https goes through CONNECT tunnels to any port.
// Only 127.0.0.1, localhost and the names in Options::hostNames can be reached: squid looks
// names up in a hosts file of its own and asks no resolver.
//
// The access log has one line per request:
//   "<status>/<http status> <bytes> <method> <url> user=<user or -> port=<proxy port>"
// with status TCP_MISS for forwarded requests, TCP_TUNNEL for CONNECT, TCP_DENIED for refused
// ones (407 when credentials are missing or wrong).
//
// When run as root, squid drops to the "proxy" user: the fixture then gives that user its
// folder and search permission (only) on the folders above it, such as a private TMPDIR.
// Thread: the creating thread.
class SquidServer {
 public:
  enum class Auth {
    None,    // every request is forwarded
    Basic,   // 407 with "Proxy-Authenticate: Basic realm=..."; checked by basic_ncsa_auth
    Digest,  // 407 with "Proxy-Authenticate: Digest ..."; checked by digest_file_auth
    Ntlm,    // 407 with "Proxy-Authenticate: NTLM"; ntlm_fake_auth accepts any password
  };
  struct Options {
    Auth auth = Auth::None;
    std::string user = "alice";            // the one account known to the proxy
    std::string password = "wonderland";
    std::string realm = "proxy realm";     // realm of the Basic or Digest challenge
    std::vector<std::string> hostNames;    // more names squid resolves to 127.0.0.1
  };

  explicit SquidServer(Options options);
  SquidServer() : SquidServer(Options()) {}
  ~SquidServer();
  SquidServer(const SquidServer&) = delete;
  SquidServer& operator=(const SquidServer&) = delete;

  // True when squid and the helper the chosen authentication needs are installed.
  static bool isInstalled(Auth auth = Auth::None);

  // True once squid answers on its port; otherwise errorText() says why it did not start.
  bool isRunning() const { return running_; }
  const QString& errorText() const { return error_; }
  quint16 port() const { return port_; }
  const Options& options() const { return options_; }
  const std::filesystem::path& workDir() const { return work_.path(); }

  // Access log lines so far (see the class comment).
  std::vector<std::string> accessLog() const;
  // Waits (up to `limit`) until a log line contains `text`; true when one does. squid writes a
  // line once the request has ended, a moment after the client saw the answer.
  bool waitForLogLine(const std::string& text,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

 private:
  bool writeFiles();
  bool startOnce();
  void stop();

  Options options_;
  TempDir work_;
  std::unique_ptr<QProcess> process_;
  quint16 port_ = 0;
  bool running_ = false;
  QString error_;
};

}  // namespace testsupport
