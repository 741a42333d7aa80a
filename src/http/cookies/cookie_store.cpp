// The cookie store: parsing and acceptance by RFC 6265 section 5, matching (5.1.3, 5.1.4, 5.4),
// the limits of section 6.1 and the file the persistent cookies are kept in.
#include "http/cookies/cookie_store.h"

#include "http/cookies/public_suffixes.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <algorithm>
#include <map>
#include <optional>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace http::cookies {

namespace {

// Largest Max-Age taken as given (about a century); longer ones are cut to it so that the
// expiry stays a valid date.
constexpr qint64 kMaxAgeCapSeconds = 100LL * 366 * 24 * 3600;

QString hostOf(const QUrl& url) { return url.host(QUrl::FullyEncoded).toLower(); }

bool isIpAddress(const QString& host) { return !QHostAddress(host).isNull(); }

bool isSecureScheme(const QUrl& url) { return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0; }

// RFC 6265 section 5.1.3.
bool domainMatches(const QString& host, const QString& domain) {
  if (host == domain) return true;
  return !isIpAddress(host) && host.endsWith(domain) && host.size() > domain.size() &&
         host.at(host.size() - domain.size() - 1) == QLatin1Char('.');
}

QString requestPath(const QUrl& url) {
  const QString path = url.path(QUrl::FullyEncoded);
  return path.isEmpty() ? QStringLiteral("/") : path;
}

// RFC 6265 section 5.1.4: the folder of the request path, without its trailing "/".
QString defaultPath(const QUrl& url) {
  const QString path = url.path(QUrl::FullyEncoded);
  if (path.isEmpty() || !path.startsWith(QLatin1Char('/'))) return QStringLiteral("/");
  const qsizetype last = path.lastIndexOf(QLatin1Char('/'));
  return last == 0 ? QStringLiteral("/") : path.left(last);
}

bool pathMatches(const QString& requested, const QString& cookiePath) {
  if (requested == cookiePath) return true;
  if (!requested.startsWith(cookiePath)) return false;
  return cookiePath.endsWith(QLatin1Char('/')) || requested.at(cookiePath.size()) == QLatin1Char('/');
}

bool hasUnsafeBytes(const QByteArray& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7f || c == ';';
  });
}

bool isExpired(const QNetworkCookie& cookie, const QDateTime& now) {
  return !cookie.isSessionCookie() && cookie.expirationDate() <= now;
}

QString bareDomain(const QNetworkCookie& cookie) {
  QString domain = cookie.domain();
  if (domain.startsWith(QLatin1Char('.'))) domain.remove(0, 1);
  return domain;
}

bool sameCookie(const QNetworkCookie& a, const QNetworkCookie& b) {
  return a.name() == b.name() && bareDomain(a) == bareDomain(b) && a.path() == b.path();
}

// The last valid Max-Age attribute of one set-cookie line (RFC 6265 section 5.2.2): seconds,
// or nothing when there is none.
std::optional<qint64> maxAgeOf(const QByteArray& line) {
  std::optional<qint64> result;
  const QList<QByteArray> parts = line.split(';');
  for (qsizetype i = 1; i < parts.size(); ++i) {
    const QByteArray& part = parts[i];
    const qsizetype equals = part.indexOf('=');
    if (equals < 0 || part.left(equals).trimmed().toLower() != "max-age") continue;
    const QByteArray value = part.mid(equals + 1).trimmed();
    const QByteArray digits = value.startsWith('-') ? value.mid(1) : value;
    if (digits.isEmpty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    bool ok = false;
    qint64 seconds = value.toLongLong(&ok);
    if (!ok) seconds = value.startsWith('-') ? -1 : kMaxAgeCapSeconds;
    result = std::min(seconds, kMaxAgeCapSeconds);
  }
  return result;
}

// Checks `cookie` as set by `url` and writes its domain and path in the store's form. The
// domain is read as: empty, no Domain attribute; without a leading dot, a host-only cookie
// that must be for the URL's host; with one, a Domain attribute.
std::optional<QNetworkCookie> acceptForURL(QNetworkCookie cookie, const QUrl& url) {
  const QString host = hostOf(url);
  if (host.isEmpty() || cookie.name().isEmpty()) return std::nullopt;
  if (hasUnsafeBytes(cookie.name()) || hasUnsafeBytes(cookie.value())) return std::nullopt;
  if (cookie.name().size() + cookie.value().size() > CookieStore::kMaxCookieBytes) return std::nullopt;
  // A Secure cookie may only be set over a secure connection.
  if (cookie.isSecure() && !isSecureScheme(url)) return std::nullopt;

  const QString given = cookie.domain().toLower();
  if (given.isEmpty()) {
    cookie.setDomain(host);
  } else if (!given.startsWith(QLatin1Char('.'))) {
    if (given != host) return std::nullopt;
    cookie.setDomain(host);
  } else {
    const QString domain = given.mid(1);
    if (domain.isEmpty() || !domainMatches(host, domain)) return std::nullopt;
    if (isIpAddress(host)) {
      cookie.setDomain(host);  // an address has no subdomains: the cookie is for it alone
    } else if (isPublicSuffix(domain)) {
      // Allowed only as the host itself, and then host-only (RFC 6265 section 5.3 step 5).
      if (domain != host) return std::nullopt;
      cookie.setDomain(host);
    } else {
      cookie.setDomain(QLatin1Char('.') + domain);
    }
  }
  if (cookie.path().isEmpty() || !cookie.path().startsWith(QLatin1Char('/'))) {
    cookie.setPath(defaultPath(url));
  }
  return cookie;
}

QJsonObject toJson(const QNetworkCookie& cookie, qint64 created) {
  return QJsonObject{
      {"name", QString::fromLatin1(cookie.name().toBase64())},
      {"value", QString::fromLatin1(cookie.value().toBase64())},
      {"domain", cookie.domain()},
      {"path", cookie.path()},
      {"expires", cookie.expirationDate().toMSecsSinceEpoch()},
      {"secure", cookie.isSecure()},
      {"httpOnly", cookie.isHttpOnly()},
      {"sameSite", static_cast<int>(cookie.sameSitePolicy())},
      {"created", created},
  };
}

}  // namespace

CookieStore::CookieStore(QString persistencePath) : persistencePath_(std::move(persistencePath)) {
  std::lock_guard lock(mutex_);
  loadLocked();
}

QString CookieStore::defaultPersistencePath() {
  return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
         QStringLiteral("/cookies.json");
}

CookieStore& CookieStore::sharedCookieStore() {
  // Never destroyed: requests on other threads may still use it while the process exits.
  static CookieStore* const shared = new CookieStore(defaultPersistencePath());
  return *shared;
}

// ---- parsing ---------------------------------------------------------------------------------------

QList<QNetworkCookie> CookieStore::cookiesFromSetCookieValue(const QByteArray& value, const QUrl& url) {
  QList<QNetworkCookie> out;
  const QDateTime now = QDateTime::currentDateTimeUtc();
  for (const QByteArray& line : value.split('\n')) {
    if (line.trimmed().isEmpty()) continue;
    // One line is one cookie (RFC 6265 does not split on commas).
    const QList<QNetworkCookie> parsed = QNetworkCookie::parseCookies(line);
    if (parsed.size() != 1) continue;
    QNetworkCookie cookie = parsed.first();
    // A Domain attribute always names a domain (its leading dot is optional in the header).
    if (!cookie.domain().isEmpty() && !cookie.domain().startsWith(QLatin1Char('.'))) {
      cookie.setDomain(QLatin1Char('.') + cookie.domain());
    }
    if (const std::optional<qint64> maxAge = maxAgeOf(line)) {
      cookie.setExpirationDate(*maxAge <= 0 ? QDateTime::fromMSecsSinceEpoch(0, Qt::UTC)
                                            : now.addSecs(*maxAge));
    }
    if (std::optional<QNetworkCookie> accepted = acceptForURL(cookie, url)) out << *accepted;
  }
  return out;
}

QList<QNetworkCookie> CookieStore::cookiesWithResponseHeaderFields(const platform::StringMap& headers,
                                                                   const QUrl& url) {
  QList<QNetworkCookie> out;
  for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
    const QLatin1String setCookie("Set-Cookie");
    if (it.key().size() != setCookie.size()) continue;
    if (it.key().compare(setCookie, Qt::CaseInsensitive) != 0) continue;
    out += cookiesFromSetCookieValue(it.value().toLatin1(), url);
  }
  return out;
}

// ---- matching ---------------------------------------------------------------------------------------

QList<QNetworkCookie> CookieStore::cookiesForURL(const QUrl& url) const {
  {
    // Most requests go where no cookie was ever set: nothing to work out for them.
    std::lock_guard lock(mutex_);
    if (entries_.empty()) return {};
  }
  const QString host = hostOf(url);
  const QString path = requestPath(url);
  const bool secure = isSecureScheme(url);
  const QDateTime now = QDateTime::currentDateTimeUtc();
  std::vector<const Entry*> matches;
  {
    std::lock_guard lock(mutex_);
    for (const Entry& entry : entries_) {
      const QNetworkCookie& cookie = entry.cookie;
      if (isExpired(cookie, now) || (cookie.isSecure() && !secure)) continue;
      const bool hostOnly = !cookie.domain().startsWith(QLatin1Char('.'));
      if (hostOnly ? host != cookie.domain() : !domainMatches(host, cookie.domain().mid(1))) continue;
      if (!pathMatches(path, cookie.path())) continue;
      matches.push_back(&entry);
    }
    // Longer paths first, then the older cookie first (RFC 6265 section 5.4 step 2).
    std::stable_sort(matches.begin(), matches.end(), [](const Entry* a, const Entry* b) {
      if (a->cookie.path().size() != b->cookie.path().size()) {
        return a->cookie.path().size() > b->cookie.path().size();
      }
      return a->created < b->created;
    });
    QList<QNetworkCookie> out;
    for (const Entry* entry : matches) out << entry->cookie;
    return out;
  }
}

QList<QNetworkCookie> CookieStore::allCookies() const {
  const QDateTime now = QDateTime::currentDateTimeUtc();
  std::lock_guard lock(mutex_);
  QList<QNetworkCookie> out;
  for (const Entry& entry : entries_) {
    if (!isExpired(entry.cookie, now)) out << entry.cookie;
  }
  return out;
}

// ---- storing ---------------------------------------------------------------------------------------

qint64 CookieStore::nextCreationLocked() {
  lastCreated_ = std::max(lastCreated_ + 1, QDateTime::currentMSecsSinceEpoch());
  return lastCreated_;
}

void CookieStore::insertLocked(const QNetworkCookie& cookie, bool* persistentChanged) {
  qint64 created = 0;
  auto old = std::find_if(entries_.begin(), entries_.end(),
                          [&](const Entry& e) { return sameCookie(e.cookie, cookie); });
  if (old != entries_.end()) {
    created = old->created;
    if (!old->cookie.isSessionCookie()) *persistentChanged = true;
    entries_.erase(old);
  }
  if (isExpired(cookie, QDateTime::currentDateTimeUtc())) return;
  if (created == 0) created = nextCreationLocked();
  if (!cookie.isSessionCookie()) *persistentChanged = true;
  // Keep entries_ ordered by creation.
  auto at = std::upper_bound(entries_.begin(), entries_.end(), created,
                             [](qint64 c, const Entry& e) { return c < e.created; });
  entries_.insert(at, Entry{cookie, created});
}

void CookieStore::evictLocked(bool* persistentChanged) {
  const QDateTime now = QDateTime::currentDateTimeUtc();
  const auto remove = [&](std::vector<Entry>::iterator it) {
    if (!it->cookie.isSessionCookie()) *persistentChanged = true;
    return entries_.erase(it);
  };
  for (auto it = entries_.begin(); it != entries_.end();) {
    it = isExpired(it->cookie, now) ? remove(it) : it + 1;
  }
  // Per domain, then in all; entries_ is oldest first, so the first ones found go.
  std::map<QString, int> perDomain;
  for (const Entry& e : entries_) ++perDomain[bareDomain(e.cookie)];
  for (auto it = entries_.begin(); it != entries_.end();) {
    int& count = perDomain[bareDomain(it->cookie)];
    if (count > kMaxCookiesPerDomain) {
      --count;
      it = remove(it);
    } else {
      ++it;
    }
  }
  while (entries_.size() > static_cast<size_t>(kMaxCookies)) remove(entries_.begin());
}

void CookieStore::setCookies(const QList<QNetworkCookie>& cookies, const QUrl& url) {
  std::lock_guard lock(mutex_);
  bool persistentChanged = false;
  for (const QNetworkCookie& cookie : cookies) {
    if (std::optional<QNetworkCookie> accepted = acceptForURL(cookie, url)) {
      insertLocked(*accepted, &persistentChanged);
    }
  }
  evictLocked(&persistentChanged);
  if (persistentChanged) saveLocked();
}

void CookieStore::deleteCookie(const QNetworkCookie& cookie) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return sameCookie(e.cookie, cookie); });
  if (it == entries_.end()) return;
  const bool persistent = !it->cookie.isSessionCookie();
  entries_.erase(it);
  if (persistent) saveLocked();
}

// ---- the file ----------------------------------------------------------------------------------------

void CookieStore::loadLocked() {
  if (persistencePath_.isEmpty()) return;
  QFile file(persistencePath_);
  if (!file.open(QIODevice::ReadOnly)) return;
  const QJsonArray list = QJsonDocument::fromJson(file.readAll()).array();
  const QDateTime now = QDateTime::currentDateTimeUtc();
  for (const QJsonValue& item : list) {
    const QJsonObject o = item.toObject();
    QNetworkCookie cookie(QByteArray::fromBase64(o.value("name").toString().toLatin1()),
                          QByteArray::fromBase64(o.value("value").toString().toLatin1()));
    cookie.setDomain(o.value("domain").toString());
    cookie.setPath(o.value("path").toString());
    cookie.setExpirationDate(
        QDateTime::fromMSecsSinceEpoch(o.value("expires").toInteger(), Qt::UTC));
    cookie.setSecure(o.value("secure").toBool());
    cookie.setHttpOnly(o.value("httpOnly").toBool());
    cookie.setSameSitePolicy(static_cast<QNetworkCookie::SameSite>(o.value("sameSite").toInt()));
    const qint64 created = o.value("created").toInteger();
    // Only what could have been stored comes back: named, with a domain and an absolute path,
    // no unsafe bytes, not yet expired.
    if (cookie.name().isEmpty() || hasUnsafeBytes(cookie.name()) || hasUnsafeBytes(cookie.value()) ||
        cookie.domain().isEmpty() || !cookie.path().startsWith(QLatin1Char('/')) ||
        isExpired(cookie, now) || created <= 0) {
      continue;
    }
    entries_.push_back(Entry{cookie, created});
    lastCreated_ = std::max(lastCreated_, created);
  }
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const Entry& a, const Entry& b) { return a.created < b.created; });
  bool ignored = false;
  evictLocked(&ignored);
}

void CookieStore::saveLocked() const {
  if (persistencePath_.isEmpty()) return;
  QJsonArray list;
  for (const Entry& entry : entries_) {
    if (!entry.cookie.isSessionCookie()) list.append(toJson(entry.cookie, entry.created));
  }
  const QByteArray bytes = QJsonDocument(list).toJson(QJsonDocument::Compact);
  QDir().mkpath(QFileInfo(persistencePath_).absolutePath());
  // Written to a private temporary file beside the real one, then renamed over it: a reader
  // sees the old list or the new one, and nobody else can read the cookies.
  const QByteArray target = QFile::encodeName(persistencePath_);
  const QByteArray temporary = target + ".XXXXXX";
  QByteArray name = temporary;
  const int fd = ::mkstemp(name.data());  // mode 0600
  if (fd < 0) return;
  bool ok = true;
  for (qsizetype done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += n;
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(name.constData(), target.constData()) != 0) ::unlink(name.constData());
}

}  // namespace http::cookies
