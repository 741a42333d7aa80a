// The process's cookie store (RFC 6265): cookies parsed from Set-Cookie headers and checked
// against the URL that set them, matched to request URLs, kept within the RFC's limits and,
// when they have an expiry, saved to a file so that they outlive the process.
#pragma once

#include "platform/object.h"

#include <QByteArray>
#include <QList>
#include <QNetworkCookie>
#include <QString>
#include <QUrl>

#include <mutex>
#include <vector>

namespace http::cookies {

// How a stored cookie's domain is written: "host.example" (no leading dot) for a host-only
// cookie, sent to that host only; ".example" for a cookie set with Domain=example, sent to
// example and its subdomains.
//
// Cookies are refused (left out of what parsing returns, and never stored) when their name or
// value holds a control character or ";", when name and value together exceed kMaxCookieBytes,
// when their Domain does not domain-match the host that set them or is a public suffix other
// than that host itself, and when they are Secure but were set over plain http. A cookie that
// arrives already expired deletes the stored cookie of the same name, domain and path.
//
// Thread: any; one mutex guards the store.
class CookieStore {
 public:
  // Limits of RFC 6265 section 6.1 (the least a store must keep). Longer cookies are refused;
  // beyond the counts the oldest cookies (by creation) are evicted, of the domain first.
  static constexpr int kMaxCookieBytes = 4096;    // name and value together
  static constexpr int kMaxCookiesPerDomain = 50;
  static constexpr int kMaxCookies = 3000;

  // A store whose cookies with an expiry are saved in `persistencePath` (read at construction,
  // rewritten after every change to them, mode 0600, through a temporary file renamed into
  // place). An empty path keeps everything in memory.
  explicit CookieStore(QString persistencePath = {});
  CookieStore(const CookieStore&) = delete;
  CookieStore& operator=(const CookieStore&) = delete;

  // The process's store, made on first use, saved in defaultPersistencePath().
  static CookieStore& sharedCookieStore();
  // <the program's XDG data folder>/cookies.json.
  static QString defaultPersistencePath();

  // ---- the four operations the request engine uses ----
  // The unexpired cookies to send to `url`: domain, path and Secure (https only) matching, in
  // RFC 6265 order (longer paths first, then older first).
  QList<QNetworkCookie> cookiesForURL(const QUrl& url) const;
  // The acceptable cookies that the "Set-Cookie" entries of `headers` (several values joined
  // by "\n", as in response header dictionaries) set for `url`, normalised (see the class
  // comment), the last Max-Age attribute winning over Expires.
  static QList<QNetworkCookie> cookiesWithResponseHeaderFields(const platform::StringMap& headers,
                                                               const QUrl& url);
  // Stores `cookies` as set by `url` (each checked again the same way), replacing cookies of
  // the same name, domain and path (which keep their creation time); expired ones delete.
  void setCookies(const QList<QNetworkCookie>& cookies, const QUrl& url);
  // Removes the stored cookie of the same name, domain and path, if any.
  void deleteCookie(const QNetworkCookie& cookie);

  // ---- inspection ----
  // The set-cookie lines one header value holds, parsed as above.
  static QList<QNetworkCookie> cookiesFromSetCookieValue(const QByteArray& value, const QUrl& url);
  // Every unexpired cookie, oldest first.
  QList<QNetworkCookie> allCookies() const;
  const QString& persistencePath() const { return persistencePath_; }

 private:
  struct Entry {
    QNetworkCookie cookie;  // normalised
    qint64 created = 0;     // creation time in ms since 1970, unique and increasing
  };

  void insertLocked(const QNetworkCookie& cookie, bool* persistentChanged);
  void evictLocked(bool* persistentChanged);
  void loadLocked();
  void saveLocked() const;
  qint64 nextCreationLocked();

  mutable std::mutex mutex_;
  QString persistencePath_;
  std::vector<Entry> entries_;  // oldest first
  qint64 lastCreated_ = 0;
};

}  // namespace http::cookies
