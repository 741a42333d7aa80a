// The head of an HTTP request as the engine prepares it: method, URL, protocol version and the
// ordered header fields, and its wire form (RFC 9112 section 3).
#pragma once

#include "http/transport/http_headers.h"

#include <QByteArray>
#include <QUrl>

namespace http::transport {

enum class HttpVersion { Http10, Http11 };

// A prepared request head. Thread: any (a plain value).
struct RequestHead {
  QByteArray method = "GET";
  QUrl url;
  HttpVersion version = HttpVersion::Http11;
  HeaderList headers;

  // Empty when the head can be sent; otherwise why not: the URL is not an absolute http or https
  // URL with a host, the method is not a token, or a header name or value is unsafe (a CR or LF
  // in a value would let a caller's text inject fields or a second request).
  QString validate() const;

  // "HTTP/1.0" or "HTTP/1.1".
  QByteArray versionText() const;

  // The wire form, ending with the empty line. The request target is the origin form (path and
  // query) or, when `absoluteForm` (a plain HTTP proxy), the whole URL without fragment and user
  // information. A Host field is added first when the caller gave none (required by HTTP/1.1);
  // every field is otherwise sent as given, in order.
  QByteArray toWire(bool absoluteForm) const;

  // The Host field value for `url`: host (bracketed when IPv6) plus ":port" when the URL names
  // a port other than the scheme's default.
  static QByteArray hostFieldValue(const QUrl& url);
};

}  // namespace http::transport
