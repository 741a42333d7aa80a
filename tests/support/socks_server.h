// Real SOCKS5 proxies for end-to-end tests: dante (no authentication, every relayed connection
// logged) and microsocks (with an RFC 1929 user name and password when given), each started as
// a child on 127.0.0.1 and a free port and stopped at the end.
#pragma once

#include "support/temp_dir.h"

#include <QString>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

class QProcess;

namespace testsupport {

// One SOCKS5 server process. Its log shows the targets it connected to: dante writes
// "... tcp/connect ... 127.0.0.1.<port>", microsocks "... connected to 127.0.0.1:<port>".
// Only 127.0.0.1 and localhost should be asked for as targets.
// Thread: the creating thread.
class SocksServer {
 public:
  enum class Kind { Dante, Microsocks };
  struct Options {
    Kind kind = Kind::Dante;
    std::string user;      // microsocks only: required user name (empty: none)
    std::string password;
  };

  explicit SocksServer(Options options);
  ~SocksServer();
  SocksServer(const SocksServer&) = delete;
  SocksServer& operator=(const SocksServer&) = delete;

  static bool isInstalled(Kind kind);

  bool isRunning() const { return running_; }
  const QString& errorText() const { return error_; }
  quint16 port() const { return port_; }
  std::string log() const;
  // Waits (up to `limit`) until the log contains `text`.
  bool waitForLog(const std::string& text,
                  std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

 private:
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
