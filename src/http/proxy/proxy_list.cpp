// Reading proxy lists: a proxy script's answer, proxy URLs of the settings, and the exclusion
// rules of no_proxy, GNOME's ignore-hosts and KDE's NoProxyFor.
#include "http/proxy/proxy_list.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace http::proxy {

namespace {

// Splits "host:port" or "[v6]:port" (the port may be absent). False when unreadable.
bool splitHostPort(const QString& text, QString* host, int* port, int defaultPort) {
  QString portText;
  if (text.startsWith(QLatin1Char('['))) {
    const qsizetype close = text.indexOf(QLatin1Char(']'));
    if (close < 0) return false;
    *host = text.mid(1, close - 1);
    const QString rest = text.mid(close + 1);
    if (!rest.isEmpty()) {
      if (!rest.startsWith(QLatin1Char(':'))) return false;
      portText = rest.mid(1);
    }
  } else if (text.count(QLatin1Char(':')) == 1) {
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    *host = text.left(colon);
    portText = text.mid(colon + 1);
  } else {
    *host = text;
  }
  if (host->isEmpty()) return false;
  if (portText.isEmpty()) {
    *port = defaultPort;
    return true;
  }
  bool ok = false;
  *port = portText.toInt(&ok);
  return ok && *port > 0 && *port <= 65535;
}

}  // namespace

QList<ProxyEntry> parsePACResult(const QString& answer) {
  QList<ProxyEntry> entries;
  for (const QString& part : answer.split(QLatin1Char(';'))) {
    const QStringList words = part.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty()) continue;
    const QString keyword = words[0].toUpper();
    if (keyword == QLatin1String("DIRECT")) {
      entries.append(ProxyEntry::direct());
      continue;
    }
    if (words.size() != 2) continue;
    ProxyEntry entry;
    int defaultPort = 80;
    if (keyword == QLatin1String("PROXY") || keyword == QLatin1String("HTTP")) {
      entry.type = kProxyTypeHTTP;
    } else if (keyword == QLatin1String("HTTPS")) {
      entry.type = kProxyTypeHTTPS;
      defaultPort = 443;
    } else if (keyword == QLatin1String("SOCKS") || keyword == QLatin1String("SOCKS4") ||
               keyword == QLatin1String("SOCKS5")) {
      // Only SOCKS5 is spoken; a SOCKS server named without a version is asked in SOCKS5.
      entry.type = kProxyTypeSOCKS;
      defaultPort = 1080;
    } else {
      continue;
    }
    if (!splitHostPort(words[1], &entry.host, &entry.port, defaultPort)) continue;
    entries.append(entry);
  }
  return entries;
}

std::optional<ProxyEntry> parseProxyURL(const QString& text) {
  QString written = text.trimmed();
  if (written.isEmpty()) return std::nullopt;
  if (!written.contains(QLatin1String("://"))) written.prepend(QLatin1String("http://"));
  const QUrl url(written, QUrl::StrictMode);
  if (!url.isValid() || url.host().isEmpty()) return std::nullopt;
  const QString scheme = url.scheme().toLower();
  ProxyEntry entry;
  if (scheme == QLatin1String("http")) entry.type = kProxyTypeHTTP;
  else if (scheme == QLatin1String("https")) entry.type = kProxyTypeHTTPS;
  else if (scheme.startsWith(QLatin1String("socks"))) entry.type = kProxyTypeSOCKS;
  else return std::nullopt;
  entry.host = url.host();
  entry.port = url.port(1080);
  if (entry.port <= 0 || entry.port > 65535) return std::nullopt;
  entry.user = url.userName(QUrl::FullyDecoded);
  entry.password = url.password(QUrl::FullyDecoded);
  return entry;
}

ProxyEntry firstUsableEntry(const QList<ProxyEntry>& entries) {
  for (const ProxyEntry& entry : entries) {
    if (entry.type != kProxyTypeHTTPS) return entry;
  }
  return ProxyEntry::direct();
}

HostExclusions::HostExclusions(Dialect dialect, const QStringList& patterns)
    : dialect_(dialect) {
  for (const QString& pattern : patterns) {
    const QString p = pattern.trimmed().toLower();
    if (!p.isEmpty()) patterns_.append(p);
  }
}

HostExclusions HostExclusions::fromList(Dialect dialect, const QString& list) {
  static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
  return HostExclusions(dialect, list.split(separators, Qt::SkipEmptyParts));
}

bool HostExclusions::matches(const QUrl& url) const {
  QString host = url.host().toLower();
  while (host.endsWith(QLatin1Char('.'))) host.chop(1);
  if (host.isEmpty()) return false;
  const int port = url.port(url.scheme().toLower() == QLatin1String("https") ? 443 : 80);
  const QHostAddress hostAddress(host);
  const bool hostIsAddress = !hostAddress.isNull();

  for (const QString& pattern : patterns_) {
    if (pattern == QLatin1String("*")) return true;
    QString name = pattern;
    if (dialect_ != Dialect::GnomeIgnore && !pattern.contains(QLatin1Char('/'))) {
      // "name:port" and "[v6]:port" apply to that port only.
      int patternPort = 0;
      if (!splitHostPort(pattern, &name, &patternPort, 0)) continue;
      if (patternPort != 0 && patternPort != port) continue;
    }
    if (name.contains(QLatin1Char('/'))) {
      const auto subnet = QHostAddress::parseSubnet(name);
      if (hostIsAddress && subnet.second >= 0 && hostAddress.isInSubnet(subnet)) return true;
      continue;
    }
    const QHostAddress patternAddress(name);
    if (!patternAddress.isNull()) {
      if (hostIsAddress && patternAddress.isEqual(hostAddress)) return true;
      continue;
    }
    if (dialect_ == Dialect::GnomeIgnore) {
      const QRegularExpression wildcard(QRegularExpression::wildcardToRegularExpression(
                                            name, QRegularExpression::UnanchoredWildcardConversion),
                                        QRegularExpression::CaseInsensitiveOption);
      const QRegularExpression anchored(QRegularExpression::anchoredPattern(wildcard.pattern()),
                                        QRegularExpression::CaseInsensitiveOption);
      if (anchored.match(host).hasMatch()) return true;
      continue;
    }
    // A name matches itself and every name below it; "*.a" and ".a" mean the same as "a".
    if (name.startsWith(QLatin1String("*."))) name.remove(0, 2);
    else if (name.startsWith(QLatin1Char('.'))) name.remove(0, 1);
    while (name.endsWith(QLatin1Char('.'))) name.chop(1);
    if (name.isEmpty()) continue;
    if (host == name || host.endsWith(QLatin1Char('.') + name)) return true;
  }
  return false;
}

}  // namespace http::proxy
