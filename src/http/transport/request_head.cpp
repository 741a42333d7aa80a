// Checks a prepared request head and writes its wire form: request line, Host when missing,
// the caller's fields in order and the closing empty line.
#include "http/transport/request_head.h"

namespace http::transport {

namespace {

bool isHttpScheme(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

int defaultPort(const QUrl& url) {
  return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80;
}

}  // namespace

QString RequestHead::validate() const {
  if (!url.isValid() || !isHttpScheme(url) || url.host().isEmpty()) {
    return QStringLiteral("The URL is not an absolute http or https URL with a host: %1")
        .arg(url.toString());
  }
  if (!isToken(method)) return QStringLiteral("The request method is not a valid token");
  for (const auto& [name, value] : headers) {
    if (!isToken(name)) {
      return QStringLiteral("Invalid request header name \"%1\"").arg(QString::fromLatin1(name));
    }
    if (!isSafeFieldValue(value)) {
      return QStringLiteral("The value of request header \"%1\" holds a line break or NUL")
          .arg(QString::fromLatin1(name));
    }
  }
  return {};
}

QByteArray RequestHead::versionText() const {
  return version == HttpVersion::Http10 ? QByteArrayLiteral("HTTP/1.0")
                                        : QByteArrayLiteral("HTTP/1.1");
}

QByteArray RequestHead::hostFieldValue(const QUrl& url) {
  QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
  if (host.contains(':')) host = '[' + host + ']';
  const int port = url.port(-1);
  if (port != -1 && port != defaultPort(url)) {
    host.append(':');
    host.append(QByteArray::number(port));
  }
  return host;
}

QByteArray RequestHead::toWire(bool absoluteForm) const {
  QByteArray out;
  out.reserve(256);
  out.append(method).append(' ');
  if (absoluteForm) {
    out.append(url.adjusted(QUrl::RemoveFragment | QUrl::RemoveUserInfo).toEncoded());
  } else {
    const QString path = url.path(QUrl::FullyEncoded);
    if (path.isEmpty()) out.append('/');
    else out.append(path.toLatin1());
    if (url.hasQuery()) out.append('?').append(url.query(QUrl::FullyEncoded).toLatin1());
  }
  out.append(' ').append(versionText()).append("\r\n");
  if (!headers.contains("Host")) out.append("Host: ").append(hostFieldValue(url)).append("\r\n");
  for (const auto& [name, value] : headers) out.append(name).append(": ").append(value).append("\r\n");
  out.append("\r\n");
  return out;
}

}  // namespace http::transport
