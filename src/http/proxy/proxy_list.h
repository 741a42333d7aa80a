// Proxy lists as the request engine consumes them: ordered entries (a proxy, a script URL or a
// direct connection), read from a proxy script's answer or a proxy URL of the settings, and the
// host exclusion rules of the settings sources.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

namespace http::proxy {

// Proxy types, as the request's proxyType names them.
inline const QString kProxyTypeNone = QStringLiteral("None");    // connect directly
inline const QString kProxyTypeHTTP = QStringLiteral("HTTP");    // plain HTTP proxy (CONNECT for https)
inline const QString kProxyTypeHTTPS = QStringLiteral("HTTPS");  // HTTP proxy reached over TLS
inline const QString kProxyTypeSOCKS = QStringLiteral("SOCKS");  // SOCKS5 proxy
inline const QString kProxyTypeAutoConfigurationURL = QStringLiteral("AutoConfigurationURL");

// One entry of a proxy list. Thread: any (a value).
struct ProxyEntry {
  QString type;     // one of the kProxyType values
  QString host;     // empty for kProxyTypeNone and script entries
  int port = 0;
  QUrl scriptURL;   // for kProxyTypeAutoConfigurationURL
  QString user;     // credentials given with the proxy (a settings URL's user:password@)
  QString password;

  bool operator==(const ProxyEntry&) const = default;
  static ProxyEntry direct() { return {kProxyTypeNone, {}, 0, {}, {}, {}}; }
};

// Reads a proxy script's answer: entries separated by ";", each "DIRECT" or a keyword ("PROXY",
// "HTTP", "HTTPS", "SOCKS", "SOCKS4", "SOCKS5", any case) with "host:port" ([v6]:port too). A
// missing port is 80 for PROXY and HTTP, 443 for HTTPS, 1080 for SOCKS. Entries that cannot be
// read are left out, so an answer of nothing usable gives an empty list.
QList<ProxyEntry> parsePACResult(const QString& answer);

// Reads a proxy as the environment and the desktop settings write it: "host:port",
// "scheme://[user[:password]@]host[:port][/]" with the schemes http, https, socks, socks4,
// socks4a, socks5 and socks5h. A missing port is 1080 (as curl reads these variables).
// Empty when the text names no host or its port is not a number from 1 to 65535.
std::optional<ProxyEntry> parseProxyURL(const QString& text);

// The entry of `entries` a connection can use: the first HTTP or SOCKS proxy or DIRECT. HTTPS
// proxies (TLS to the proxy itself) are passed over, as the transport cannot speak it; a list of
// nothing else means a direct connection.
ProxyEntry firstUsableEntry(const QList<ProxyEntry>& entries);

// A host exclusion list ("bypass the proxy for these"), in one of the settings' dialects.
class HostExclusions {
 public:
  enum class Dialect {
    NoProxy,      // the no_proxy variable: "*" for all; names match themselves and their
                  // subdomains (a leading "." or "*." is the same); "name:port" only that port;
                  // IP addresses and CIDR ranges match addresses written in the URL
    GnomeIgnore,  // GNOME's ignore-hosts: shell wildcards on names ("*.example.test"), IP
                  // addresses and CIDR ranges
    KdeNoProxy,   // KDE's NoProxyFor: like no_proxy
  };

  HostExclusions() = default;
  HostExclusions(Dialect dialect, const QStringList& patterns);
  // Splits a comma (or space) separated list.
  static HostExclusions fromList(Dialect dialect, const QString& list);

  // True when the proxy is to be bypassed for `url`.
  bool matches(const QUrl& url) const;
  bool isEmpty() const { return patterns_.isEmpty(); }

 private:
  Dialect dialect_ = Dialect::NoProxy;
  QStringList patterns_;
};

}  // namespace http::proxy
