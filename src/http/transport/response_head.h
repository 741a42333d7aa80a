// The head of an HTTP response as received: status code, status line, protocol version and the
// header fields in arrival order.
#pragma once

#include "http/transport/http_headers.h"

#include <QByteArray>

namespace http::transport {

// A complete response head (interim 1xx heads are never handed out). Thread: any (a value).
struct ResponseHead {
  int statusCode = 0;
  // The whole status line without its line end, e.g. "HTTP/1.1 404 Not Found".
  QByteArray statusLine;
  // "HTTP/1.0" or "HTTP/1.1" (as received; other minor versions are kept as sent).
  QByteArray version;
  // Field names keep the peer's spelling; look-ups through HeaderList ignore case.
  HeaderList headers;

  bool isHttp10() const { return version == "HTTP/1.0"; }
  // The text after the status code, without the separating space (may be empty).
  QByteArray reasonPhrase() const;
};

}  // namespace http::transport
