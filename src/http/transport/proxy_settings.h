// The proxy one stream goes through: none, an HTTP proxy or a SOCKS5 proxy.
// A plain HTTP proxy carries http requests in absolute form and https requests in a CONNECT tunnel.
#pragma once

#include <QString>

namespace http::transport {

// Which proxy a stream uses. Thread: any (a value).
struct ProxySettings {
  enum class Type { None, Http, Socks5 };

  Type type = Type::None;
  QString host;
  quint16 port = 0;
  // Credentials for a SOCKS5 proxy (RFC 1929 user name and password), offered when the user
  // name is not empty. An HTTP proxy's authentication belongs to the request engine.
  QString user;
  QString password;

  // True when a proxy is to be used (a type, a host and a port are set).
  bool isSet() const { return type != Type::None && !host.isEmpty() && port != 0; }
  bool operator==(const ProxySettings&) const = default;
};

}  // namespace http::transport
