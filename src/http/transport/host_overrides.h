// The process's host-to-address overrides: connections to a named host and port go to a given
// address instead of one found by a name lookup (the way curl's --resolve works).
#pragma once

#include <QString>

#include <optional>

namespace http::transport {

// A class-wide map (host, port) -> address consulted whenever the transport opens a connection.
// With an override in place no name lookup is made for that host: the socket connects to the
// address, while everything that names the server (the Host header, TLS server name indication
// and the certificate's name check, cookies, credentials) keeps using the host name. Overrides
// apply to the origin server of a direct connection, to the target of a tunnel through a SOCKS5
// or CONNECT proxy, and to the proxy host itself; a plain-http request sent in absolute form
// to an HTTP proxy names its URL as it is, and the proxy resolves it.
//
// Host names compare without regard to case; port 0 in an override stands for every port, and
// an override for the exact port wins over one for every port. Streams opened after a change
// see it; a connection left idle under an earlier mapping is not reused for a changed one.
// Thread: any (guarded by one class-wide mutex).
class HostOverrides {
 public:
  // Connect to `address` (an IPv4 or IPv6 literal, or "localhost") for `host`:`port`, replacing
  // an earlier override of the same host and port. False (and nothing changed) when `host` is
  // empty or `address` is neither an IP literal nor "localhost", so that an override can never
  // cause a lookup of its own.
  static bool set(const QString& host, quint16 port, const QString& address);
  // Parses "HOST:PORT:ADDRESS" (curl's --resolve form; an IPv6 address may be in brackets;
  // PORT may be "*" for every port) and sets it. False when the text is malformed.
  static bool setFromText(const QString& text);
  // Drops the override of `host`:`port` (port 0: the every-port override), if any.
  static void remove(const QString& host, quint16 port);
  // Drops every override.
  static void clear();
  // The address to connect to for `host`:`port`, or nothing when no override applies.
  static std::optional<QString> addressFor(const QString& host, quint16 port);
  // `host` itself unless an override applies.
  static QString connectHost(const QString& host, quint16 port);
};

}  // namespace http::transport
