// Checks a prepared request head and writes its wire form: request line, Host when missing,
// the caller's fields in order and the closing empty line.
#include "http/transport/request_head.h"

#include <cstring>

namespace http::transport {

namespace {

bool isHttpScheme(const QUrl& url) {
  const QString scheme = url.scheme();
  return scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 ||
         scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
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
  // The encoded form of a host takes some work (international names); a run of requests mostly
  // goes to one host, so the last value is kept per thread.
  struct Last {
    QString host;
    QString scheme;
    int port = -1;
    QByteArray value;
  };
  thread_local Last last;
  const QString host = url.host();
  const QString scheme = url.scheme();
  const int port = url.port(-1);
  if (!last.value.isEmpty() && host == last.host && port == last.port && scheme == last.scheme) {
    return last.value;
  }
  QByteArray value = url.host(QUrl::FullyEncoded).toLatin1();
  if (value.contains(':')) value = '[' + value + ']';
  if (port != -1 && port != defaultPort(url)) {
    value.append(':');
    value.append(QByteArray::number(port));
  }
  last = Last{host, scheme, port, value};
  return value;
}

QByteArray RequestHead::toWire(bool absoluteForm) const {
  QByteArray target;
  if (absoluteForm) {
    target = url.adjusted(QUrl::RemoveFragment | QUrl::RemoveUserInfo).toEncoded();
  } else {
    const QString path = url.path(QUrl::FullyEncoded);
    target = path.isEmpty() ? QByteArrayLiteral("/") : path.toLatin1();
    if (url.hasQuery()) target.append('?').append(url.query(QUrl::FullyEncoded).toLatin1());
  }
  const QByteArray version = versionText();
  const bool addHost = !headers.contains("Host");
  const QByteArray host = addHost ? hostFieldValue(url) : QByteArray();

  // Measured first, then written in one buffer.
  qsizetype size = method.size() + 1 + target.size() + 1 + version.size() + 2 + 2;
  if (addHost) size += 6 + host.size() + 2;
  for (const auto& [name, value] : headers) size += name.size() + 2 + value.size() + 2;
  QByteArray out(size, Qt::Uninitialized);
  char* to = out.data();
  const auto put = [&to](QByteArrayView text) {
    std::memcpy(to, text.data(), static_cast<std::size_t>(text.size()));
    to += text.size();
  };
  put(method);
  put(" ");
  put(target);
  put(" ");
  put(version);
  put("\r\n");
  if (addHost) {
    put("Host: ");
    put(host);
    put("\r\n");
  }
  for (const auto& [name, value] : headers) {
    put(name);
    put(": ");
    put(value);
    put("\r\n");
  }
  put("\r\n");
  return out;
}

}  // namespace http::transport
