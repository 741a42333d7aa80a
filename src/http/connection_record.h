// A record of one persistent connection, shared by the requests that use it one after another,
// and the rule that says whether it serves a URL.
#pragma once

#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

namespace http::transport {
class HttpStream;
}

namespace http {

// Guarded by the class-wide connectionsLock.
struct ConnectionRecord {
  int id = 0;                 // connection number; the streams' connection id
  QString host;               // host of the URL that created it
  int port = 0;               // port as written in that URL (0 when none)
  QString scheme;             // scheme of that URL
  std::optional<int> request; // requestID of the request using it now; empty while idle
  std::shared_ptr<transport::HttpStream> stream;  // the last response stream opened on it
  std::optional<std::chrono::steady_clock::time_point> expires;  // when idle reuse ends

  // Same host and scheme (exact text) and the same port number (absent counts as 0).
  bool matches(const QUrl& url) const {
    return host == url.host() && scheme == url.scheme() && port == std::max(url.port(), 0);
  }
};

}  // namespace http
