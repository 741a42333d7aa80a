// The request's side of cookies: the Cookie header, taking the cookies a response sets, the
// class-wide list of cookies received during the process, and clearing the session.
#include "http/cache_delegate.h"
#include "http/cookies/cookie_store.h"
#include "http/http_request.h"
#include "http/request_class_state.h"

#include <QNetworkCookie>

#include <optional>

namespace http {

namespace {

// The cookies received during the process; absent until first asked for. sessionCookiesLock.
std::optional<QList<QNetworkCookie>>& sessionCookieList() {
  static std::optional<QList<QNetworkCookie>> list;
  return list;
}

// True when the cookie can go into a Cookie header as "name=value" without changing the
// header's meaning: no CR, LF, NUL or ";" in name or value (such bytes would end the header or
// forge another cookie).
bool isSafeInHeader(const QNetworkCookie& cookie) {
  const auto safe = [](const QByteArray& text) {
    return !text.contains('\r') && !text.contains('\n') && !text.contains(';') &&
           !text.contains('\0');
  };
  return !cookie.name().isEmpty() && safe(cookie.name()) && safe(cookie.value());
}

}  // namespace

void HTTPRequest::applyCookieHeader() {
  if (useCookiePersistence_) {
    for (const QNetworkCookie& cookie : cookies::CookieStore::sharedCookieStore().cookiesForURL(url_)) {
      requestCookies_.append(QVariant::fromValue(cookie));
    }
  }
  const std::shared_ptr<HTTPRequest> measured = mainRequest_.lock();
  const QVariantList cookies = measured ? measured->requestCookies() : requestCookies_;
  // Built in list order, names and values as they are.
  QByteArray value;
  for (const QVariant& item : cookies) {
    const QNetworkCookie cookie = qvariant_cast<QNetworkCookie>(item);
    if (!isSafeInHeader(cookie)) continue;
    if (!value.isEmpty()) value += "; ";
    value += cookie.name() + '=' + cookie.value();
  }
  if (value.isEmpty()) return;
  addRequestHeader(QStringLiteral("Cookie"), QString::fromLatin1(value));
}

void HTTPRequest::receiveResponseCookies(const platform::StringMap& headers) {
  const QList<QNetworkCookie> received =
      cookies::CookieStore::cookiesWithResponseHeaderFields(headers, url_);
  responseCookies_.clear();
  for (const QNetworkCookie& cookie : received) responseCookies_.append(QVariant::fromValue(cookie));
  if (!useCookiePersistence_ || received.isEmpty()) return;
  cookies::CookieStore::sharedCookieStore().setCookies(received, url_);
  for (const QNetworkCookie& cookie : received) addSessionCookie(cookie);
}

// ---- the session ------------------------------------------------------------------------------------

QList<QNetworkCookie> HTTPRequest::sessionCookies() {
  std::lock_guard lock(classState().sessionCookiesLock);
  if (!sessionCookieList()) setSessionCookies({});
  return *sessionCookieList();
}

void HTTPRequest::setSessionCookies(const QList<QNetworkCookie>& cookies) {
  std::lock_guard lock(classState().sessionCookiesLock);
  std::optional<QList<QNetworkCookie>>& list = sessionCookieList();
  if (list) {
    cookies::CookieStore& store = cookies::CookieStore::sharedCookieStore();
    for (const QNetworkCookie& cookie : *list) store.deleteCookie(cookie);
  }
  list = cookies;
}

void HTTPRequest::addSessionCookie(const QNetworkCookie& cookie) {
  std::lock_guard lock(classState().sessionCookiesLock);
  std::optional<QList<QNetworkCookie>>& list = sessionCookieList();
  if (!list) list.emplace();
  for (qsizetype i = 0; i < list->size(); ++i) {
    const QNetworkCookie& listed = list->at(i);
    if (listed.domain() == cookie.domain() && listed.path() == cookie.path() &&
        listed.name() == cookie.name()) {
      list->removeAt(i);
      break;
    }
  }
  list->append(cookie);
}

void HTTPRequest::clearServerSessionCredentials() {
  std::lock_guard lock(classState().sessionCredentialsLock);
  // Hook for the server session credential store of the authentication code: it empties that
  // store here. Until the store exists there is nothing to forget.
}

void HTTPRequest::clearSession() {
  clearServerSessionCredentials();
  setSessionCookies({});
  {
    std::lock_guard lock(classState().sessionCookiesLock);
    sessionCookieList().reset();
  }
  if (std::shared_ptr<CacheDelegate> cache = defaultCache()) {
    cache->clearCachedResponsesForStoragePolicy(CacheForSessionDurationCacheStoragePolicy);
  }
}

}  // namespace http
