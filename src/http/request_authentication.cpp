// Answering authentication challenges: credentials sent before a challenge, the session and
// system stores, finding and applying credentials for a 401 or 407, asking the delegate, and
// failing. Challenges are answered on the request's own thread; the delegate is asked on the
// main thread.
#include "http/http_request.h"

#include "http/auth/credential_storage.h"
#include "http/auth/http_authentication.h"
#include "http/auth/session_credentials.h"
#include "http/request_class_state.h"
#include "http/transport/http_stream.h"
#include "platform/threads.h"

#include <map>

namespace http {
namespace {

using auth::HttpAuthentication;
using auth::SessionCredentials;
using EntryList = std::vector<std::shared_ptr<const SessionCredentials>>;

// Restarts of one request to answer challenges. An NTLM exchange takes two, a stale Digest
// nonce one more; past this a server that keeps challenging is refused rather than looped on.
constexpr int kMaxAuthenticationRestarts = 5;

// The two session stores, guarded by the class-wide sessionCredentialsLock.
EntryList& serverStore() {
  static auto* store = new EntryList;
  return *store;
}
EntryList& proxyStore() {
  static auto* store = new EntryList;
  return *store;
}


QVariantMap credentialsOf(const QString& user, const QString& password) {
  return {{auth::kUsernameKey, user}, {auth::kPasswordKey, password}};
}

// A user name and password pair is complete when the name is not empty and a password was
// given (it may be empty).
bool isCompletePair(const QString& user, const QString& password) {
  return !user.isEmpty() && !password.isNull();
}

// The account domain rule for NTLM: an explicit domain wins; else "DOMAIN\user" is split;
// else the domain is empty.
void addAccountDomain(QVariantMap& credentials, const QString& explicitDomain,
                      const QString& fallbackDomain = {}) {
  QString user = credentials.value(auth::kUsernameKey).toString();
  QString domain = explicitDomain;
  if (domain.isEmpty()) {
    const QStringList parts = user.split(QLatin1Char('\\'));
    if (parts.size() == 2) {
      domain = parts[0];
      user = parts[1];
    } else {
      domain = fallbackDomain;
    }
  }
  credentials.insert(auth::kUsernameKey, user);
  credentials.insert(auth::kAccountDomainKey, domain.isNull() ? QString(QLatin1String("")) : domain);
}

// Requests waiting for another request's question to the delegate about the same protection
// space, so that the delegate is asked once and the others take the answer from the session
// store. Guarded by the class-wide pendingQuestionsLock.
struct PendingQuestion {
  std::weak_ptr<HTTPRequest> asker;
  std::vector<std::weak_ptr<HTTPRequest>> waiters;
};
std::map<QString, PendingQuestion>& pendingQuestions() {
  static auto* questions = new std::map<QString, PendingQuestion>;
  return *questions;
}

platform::ErrorPtr credentialsError(const char* text) {
  return makeRequestError(InternalErrorWhileApplyingCredentialsType, QString::fromLatin1(text));
}

}  // namespace

bool sameOriginForCredentials(const QUrl& a, const QUrl& b) {
  const auto port = [](const QUrl& u) {
    return u.port(u.scheme().toLower() == QLatin1String("https") ? 443 : 80);
  };
  return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
         a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && port(a) == port(b);
}

// The fields one side of authentication (server or proxy) works on.
struct HTTPRequest::AuthSide {
  bool proxy;
  std::shared_ptr<HttpAuthentication>& authentication;
  QString& scheme;
  QString& realm;
  QVariantMap& credentials;
  int& retryCount;
};

HTTPRequest::AuthSide HTTPRequest::authSide(bool proxy) {
  if (proxy) {
    return {true, proxyAuthentication_, proxyAuthenticationScheme_, proxyAuthenticationRealm_,
            proxyCredentials_, proxyAuthenticationRetryCount_};
  }
  return {false, requestAuthentication_, authenticationScheme_, authenticationRealm_,
          requestCredentials_, authenticationRetryCount_};
}

// ---- Before a challenge ----------------------------------------------------------------------

void HTTPRequest::addBasicAuthenticationHeader(const QString& username, const QString& password) {
  addRequestHeader(QStringLiteral("Authorization"),
                   QString::fromLatin1(HttpAuthentication::basicAuthorization(username, password)));
  authenticationScheme_ = QStringLiteral("Basic");
}

bool HTTPRequest::mayUseRequestCredentials() const {
  // The caller's credentials were given for the URL it asked for: after a redirect to another
  // origin they stay behind unless the delegate supplied them for the new URL.
  return redirectCount_ == 0 || originalURL_.isEmpty() || sameOriginForCredentials(url_, originalURL_) ||
         credentialsSuppliedForURL_;
}

void HTTPRequest::applyAuthorizationHeader() {
  if (!shouldPresentCredentialsBeforeChallenge_ || !requestMessage_) return;
  if (!requestHeaders_.contains(QStringLiteral("Authorization"))) {
    if (isCompletePair(username_, password_) && authenticationScheme_ == QLatin1String("Basic") &&
        mayUseRequestCredentials()) {
      addBasicAuthenticationHeader(username_, password_);
    } else if (useSessionPersistence_) {
      if (auto entry = findSessionAuthenticationCredentials()) {
        if (!entry->authentication) {
          addBasicAuthenticationHeader(entry->credentials.value(auth::kUsernameKey).toString(),
                                       entry->credentials.value(auth::kPasswordKey).toString());
        } else if (entry->authentication->scheme() != HttpAuthentication::Scheme::Ntlm) {
          // NTLM is bound to one connection's handshake: it is never sent before a challenge.
          if (entry->authentication->apply(entry->credentials, *requestMessage_,
                                           authenticationTarget(false))) {
            authenticationScheme_ = entry->authenticationScheme;
          } else {
            removeAuthenticationCredentialsFromSessionStore(entry->credentials);
          }
        }
      }
    }
  }
  if (useSessionPersistence_) {
    if (auto entry = findSessionProxyAuthenticationCredentials();
        entry && entry->authentication &&
        entry->authentication->scheme() != HttpAuthentication::Scheme::Ntlm) {
      if (!entry->authentication->apply(entry->credentials, *requestMessage_, authenticationTarget(true),
                                        authenticationMethod(true))) {
        removeProxyAuthenticationCredentialsFromSessionStore(entry->credentials);
      }
    }
  }
}

void HTTPRequest::storeBasicCredentialsAfterSuccess() {
  if (requestAuthentication_ || authenticationScheme_ != QLatin1String("Basic") ||
      !isCompletePair(username_, password_) || !useSessionPersistence_ || !mayUseRequestCredentials()) {
    return;
  }
  std::lock_guard lock(classState().sessionCredentialsLock);
  // One entry per URL and credentials: a hundred requests that worked leave one entry, not a
  // hundred.
  for (const auto& e : serverStore()) {
    if (!e->authentication && e->url == url_ &&
        e->credentials == credentialsOf(username_, password_)) {
      return;
    }
  }
  SessionCredentials entry;
  entry.credentials = credentialsOf(username_, password_);
  entry.url = url_;
  entry.authenticationScheme = QStringLiteral("Basic");
  storeAuthenticationCredentialsInSessionStore(entry);
}

QByteArray HTTPRequest::authenticationMethod(bool proxy) const {
  const bool tunnel = proxy && !proxyHost_.isEmpty() && proxyPort_ != 0 &&
                      proxyType_ != QLatin1String("SOCKS") &&
                      url_.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
  return tunnel ? QByteArray("CONNECT") : QByteArray();
}

QByteArray HTTPRequest::authenticationTarget(bool proxy) const {
  const bool throughProxy = !proxyHost_.isEmpty() && proxyPort_ != 0 &&
                            proxyType_ != QLatin1String("SOCKS");
  const bool tls = url_.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
  if (throughProxy && proxy && tls) {
    return url_.host().toUtf8() + ':' + QByteArray::number(url_.port(443));
  }
  if (throughProxy && !tls) {
    return url_.toEncoded(QUrl::RemoveUserInfo | QUrl::RemoveFragment);
  }
  QByteArray target = url_.path(QUrl::FullyEncoded).toLatin1();
  if (target.isEmpty()) target = "/";
  if (url_.hasQuery()) target += '?' + url_.query(QUrl::FullyEncoded).toLatin1();
  return target;
}

// ---- Session stores ------------------------------------------------------------------------------

std::shared_ptr<const SessionCredentials> HTTPRequest::findSessionAuthenticationCredentials() const {
  std::lock_guard lock(classState().sessionCredentialsLock);
  std::shared_ptr<const SessionCredentials> kept;
  for (const auto& entry : serverStore()) {
    const QUrl& u = entry->url;
    const bool exact = u == url_;
    const bool sameServer = u.host() == url_.host() && u.scheme() == url_.scheme() &&
                            u.port() == url_.port();
    if (!exact && (kept || !sameServer)) continue;
    const bool realmFits = authenticationRealm_.isEmpty() || entry->authenticationRealm.isEmpty() ||
                           entry->authenticationRealm == authenticationRealm_;
    const bool userFits = username_.isEmpty() || password_.isNull() ||
                          (entry->credentials.value(auth::kUsernameKey).toString() == username_ &&
                           entry->credentials.value(auth::kPasswordKey).toString() == password_);
    if (!realmFits || !userFits) continue;
    if (exact) return entry;
    kept = entry;
  }
  return kept;
}

std::shared_ptr<const SessionCredentials> HTTPRequest::findSessionProxyAuthenticationCredentials() const {
  if (proxyHost_.isEmpty()) return nullptr;
  std::lock_guard lock(classState().sessionCredentialsLock);
  for (const auto& entry : proxyStore()) {
    if (entry->host == proxyHost_ && entry->port == proxyPort_) return entry;
  }
  return nullptr;
}

namespace {

void storeEntry(EntryList& store, const SessionCredentials& entry) {
  std::lock_guard lock(classState().sessionCredentialsLock);
  auto same = std::find_if(store.begin(), store.end(), [&](const auto& e) {
    return e->credentials.isSharedWith(entry.credentials);
  });
  if (same != store.end()) store.erase(same);
  store.push_back(std::make_shared<const SessionCredentials>(entry));
}

void removeEntry(EntryList& store, const QVariantMap& credentials) {
  if (credentials.isEmpty()) return;
  std::lock_guard lock(classState().sessionCredentialsLock);
  auto same = std::find_if(store.begin(), store.end(), [&](const auto& e) {
    return e->credentials.isSharedWith(credentials);
  });
  if (same != store.end()) store.erase(same);
}

}  // namespace

EntryList HTTPRequest::sessionCredentialsStore() {
  std::lock_guard lock(classState().sessionCredentialsLock);
  return serverStore();
}

EntryList HTTPRequest::sessionProxyCredentialsStore() {
  std::lock_guard lock(classState().sessionCredentialsLock);
  return proxyStore();
}

void HTTPRequest::storeAuthenticationCredentialsInSessionStore(const SessionCredentials& entry) {
  storeEntry(serverStore(), entry);
}

void HTTPRequest::storeProxyAuthenticationCredentialsInSessionStore(const SessionCredentials& entry) {
  storeEntry(proxyStore(), entry);
}

void HTTPRequest::removeAuthenticationCredentialsFromSessionStore(const QVariantMap& credentials) {
  removeEntry(serverStore(), credentials);
}

void HTTPRequest::removeProxyAuthenticationCredentialsFromSessionStore(const QVariantMap& credentials) {
  removeEntry(proxyStore(), credentials);
}

void HTTPRequest::clearServerSessionCredentials() {
  std::lock_guard lock(classState().sessionCredentialsLock);
  serverStore().clear();
}

void HTTPRequest::clearSessionCredentials() {
  std::lock_guard lock(classState().sessionCredentialsLock);
  serverStore().clear();
  proxyStore().clear();
}

// ---- System store ------------------------------------------------------------------------------

void HTTPRequest::saveCredentials(const QVariantMap& credentials, const QString& host, int port,
                                  const QString& protocol, const QString& realm) {
  auth::CredentialStorage::save({host, port, protocol, realm, false},
                                {credentials.value(auth::kUsernameKey).toString(),
                                 credentials.value(auth::kPasswordKey).toString()});
}

void HTTPRequest::saveCredentialsForProxy(const QVariantMap& credentials, const QString& host,
                                          int port, const QString& realm) {
  auth::CredentialStorage::save({host, port, {}, realm, true},
                                {credentials.value(auth::kUsernameKey).toString(),
                                 credentials.value(auth::kPasswordKey).toString()});
}

QVariantMap HTTPRequest::savedCredentialsForHost(const QString& host, int port,
                                                 const QString& protocol, const QString& realm) {
  auto found = auth::CredentialStorage::find({host, port, protocol, realm, false});
  return found ? credentialsOf(found->username, found->password) : QVariantMap();
}

QVariantMap HTTPRequest::savedCredentialsForProxy(const QString& host, int port, const QString&,
                                                  const QString& realm) {
  auto found = auth::CredentialStorage::find({host, port, {}, realm, true});
  return found ? credentialsOf(found->username, found->password) : QVariantMap();
}

void HTTPRequest::removeCredentialsForHost(const QString& host, int port, const QString& protocol,
                                           const QString& realm) {
  auth::CredentialStorage::remove({host, port, protocol, realm, false});
}

void HTTPRequest::removeCredentialsForProxy(const QString& host, int port, const QString& realm) {
  auth::CredentialStorage::remove({host, port, {}, realm, true});
}

void HTTPRequest::saveCredentialsToKeychain(const QVariantMap& credentials) {
  saveCredentials(credentials, url_.host(), std::max(url_.port(), 0), url_.scheme(),
                  authenticationRealm_);
}

void HTTPRequest::saveProxyCredentialsToKeychain(const QVariantMap& credentials) {
  saveCredentialsForProxy(credentials, proxyHost_, proxyPort_, proxyAuthenticationRealm_);
}

// ---- Finding and applying credentials ----------------------------------------------------------

QVariantMap HTTPRequest::findCredentials() {
  QVariantMap found;
  const QString urlUser = url_.userName();
  const QString urlPassword = url_.password();
  auto measured = mainRequest_.lock();
  if (isCompletePair(urlUser, urlPassword)) {
    found = credentialsOf(urlUser, urlPassword);
  } else if (mayUseRequestCredentials() && measured &&
             isCompletePair(measured->username(), measured->password())) {
    found = credentialsOf(measured->username(), measured->password());
  } else if (mayUseRequestCredentials() && isCompletePair(username_, password_)) {
    found = credentialsOf(username_, password_);
  } else if (useKeychainPersistence_) {
    found = savedCredentialsForHost(url_.host(), std::max(url_.port(), 0), url_.scheme(),
                                    authenticationRealm_);
  }
  if (found.isEmpty()) return {};
  if (requestAuthentication_ && requestAuthentication_->requiresAccountDomain()) {
    addAccountDomain(found, domain_);
  }
  return found;
}

QVariantMap HTTPRequest::findProxyCredentials() {
  QVariantMap found;
  auto measured = mainRequest_.lock();
  if (measured && isCompletePair(measured->proxyUsername(), measured->proxyPassword())) {
    found = credentialsOf(measured->proxyUsername(), measured->proxyPassword());
  } else if (isCompletePair(proxyUsername_, proxyPassword_)) {
    found = credentialsOf(proxyUsername_, proxyPassword_);
  } else if (proxyAuthentication_ &&
             proxyAuthentication_->scheme() == HttpAuthentication::Scheme::Ntlm &&
             isCompletePair(username_, password_)) {
    found = credentialsOf(username_, password_);
  } else {
    found = savedCredentialsForProxy(proxyHost_, proxyPort_, url_.scheme(), proxyAuthenticationRealm_);
  }
  if (found.isEmpty()) return {};
  if (proxyAuthentication_ && proxyAuthentication_->requiresAccountDomain()) {
    addAccountDomain(found, proxyDomain_, domain_);
  }
  return found;
}

bool HTTPRequest::applyCredentials(const QVariantMap& credentials) {
  return applyCredentialsFor(false, credentials);
}

bool HTTPRequest::applyProxyCredentials(const QVariantMap& credentials) {
  return applyCredentialsFor(true, credentials);
}

bool HTTPRequest::applyCredentialsFor(bool proxy, const QVariantMap& credentials) {
  AuthSide side = authSide(proxy);
  ++side.retryCount;
  if (credentials.isEmpty() || !side.authentication || !requestMessage_) return false;
  if (!side.authentication->apply(credentials, *requestMessage_, authenticationTarget(proxy),
                                  authenticationMethod(proxy))) {
    if (proxy) removeProxyAuthenticationCredentialsFromSessionStore(credentials);
    else removeAuthenticationCredentialsFromSessionStore(credentials);
    return false;
  }
  if (useKeychainPersistence_) {
    if (proxy) saveProxyCredentialsToKeychain(credentials);
    else saveCredentialsToKeychain(credentials);
  }
  if (useSessionPersistence_) {
    SessionCredentials entry;
    entry.authentication = side.authentication;
    entry.credentials = credentials;
    entry.authenticationScheme = side.scheme;
    if (proxy) {
      entry.host = proxyHost_;
      entry.port = proxyPort_;
      storeProxyAuthenticationCredentialsInSessionStore(entry);
    } else {
      entry.url = url_;
      entry.authenticationRealm = authenticationRealm_;
      storeAuthenticationCredentialsInSessionStore(entry);
    }
  }
  side.credentials = credentials;
  return true;
}

// ---- Answering a challenge -----------------------------------------------------------------------

void HTTPRequest::attemptToApplyCredentialsAndResume() {
  {
    std::lock_guard lock(cancelledLock_);
    if (error_ || cancelled_) return;
  }
  answerChallenge(authenticationNeeded_ == 2);
}

void HTTPRequest::attemptToApplyProxyCredentialsAndResume() { answerChallenge(true); }

void HTTPRequest::restartForAuthentication() {
  if (++authenticationRestarts_ > kMaxAuthenticationRestarts) {
    cancelLoad();
    failWithError(AuthenticationError());
    return;
  }
  startRequest();
}

void HTTPRequest::answerChallenge(bool proxy) {
  auto keepAlive = self();
  std::unique_lock lock(cancelledLock_);
  if (error_ || cancelled_) return;
  AuthSide side = authSide(proxy);
  const int status = proxy ? 407 : 401;
  const std::optional<transport::ResponseHead> head =
      readStream_ ? readStream_->responseHead() : std::nullopt;

  if (!side.authentication) {
    HttpAuthentication::NoAnswer whyNot = HttpAuthentication::NoAnswer::Malformed;
    if (head) side.authentication = HttpAuthentication::fromResponse(status, head->headers, &whyNot);
    if (!side.authentication) {
      cancelLoad();
      // Only schemes we do not speak (a store's own token scheme, say): authentication is
      // needed and cannot be given.
      failWithError(whyNot == HttpAuthentication::NoAnswer::OnlyUnknownSchemes
                        ? AuthenticationError()
                        : credentialsError("Failed to get authentication object from response headers"));
      return;
    }
    side.scheme = side.authentication->method();
  } else if (head) {
    side.authentication->updateFromResponse(status, head->headers);
  }
  side.realm.clear();
  if (!side.authentication->requiresAccountDomain()) side.realm = side.authentication->realm();

  const platform::ErrorPtr invalid = side.authentication->isValid();
  std::recursive_mutex& delegateLock = classState().delegateAuthenticationLock;
  auto willAsk = [&] { return proxy ? willAskDelegateForProxyCredentials() : willAskDelegateForCredentials(); };
  const char* applyFailure =
      proxy ? "Failed to apply proxy credentials to request" : "Failed to apply credentials to request";

  if (!invalid) {
    cancelLoad();
    if (!side.credentials.isEmpty()) {
      // The exchange goes on with the credentials already applied (the NTLM answer to the
      // server's challenge message, a stale Digest nonce).
      const bool ntlm = side.scheme == QLatin1String("NTLM");
      if (!ntlm || side.retryCount < 2) {
        if (applyCredentialsFor(proxy, side.credentials)) {
          restartForAuthentication();
        } else {
          failWithError(credentialsError(applyFailure));
        }
      } else if (side.retryCount == 2) {
        failWithError(AuthenticationError());
      } else {
        failWithError(credentialsError(applyFailure));
      }
      return;
    }
    // Look-up and asking are serialised over all requests, so that a second request for the
    // same server waits here and then finds the first one's credentials in the session store.
    // The lock is never held across a wait for the main thread.
    lock.unlock();
    std::unique_lock asking(delegateLock);
    lock.lock();
    if (error_ || cancelled_) return;
    if (useSessionPersistence_) {
      auto entry = proxy ? findSessionProxyAuthenticationCredentials() : findSessionAuthenticationCredentials();
      if (entry && applyCredentialsFor(proxy, entry->credentials)) {
        asking.unlock();
        restartForAuthentication();
        return;
      }
    }
    const QVariantMap found = proxy ? findProxyCredentials() : findCredentials();
    if (found.isEmpty()) {
      if (waitForQuestion(proxy)) return;  // resumed when the other request got its answer
      if (willAsk()) {
        noteQuestion(proxy);
        return;  // the delegate continues the request
      }
      asking.unlock();
      failWithError(AuthenticationError());
      return;
    }
    if (!applyCredentialsFor(proxy, found)) {
      asking.unlock();
      failWithError(credentialsError(applyFailure));
      return;
    }
    asking.unlock();
    restartForAuthentication();
    return;
  }

  // The exchange cannot go on: forget the object; a new one is made from the next challenge.
  side.authentication.reset();
  if (invalid->domain() == auth::kAuthenticationErrorDomain &&
      (invalid->code() == auth::BadUsernameError || invalid->code() == auth::BadPasswordError)) {
    lock.unlock();
    std::unique_lock asking(delegateLock);
    lock.lock();
    if (proxy) removeProxyAuthenticationCredentialsFromSessionStore(side.credentials);
    else removeAuthenticationCredentialsFromSessionStore(side.credentials);
    side.credentials.clear();
    if (error_ || cancelled_) return;
    lastActivityTime_.reset();
    // Credentials were refused: only someone who can supply new ones lets the request go on.
    if (willAsk()) {
      noteQuestion(proxy);
      return;
    }
  }
  cancelLoad();
  failWithError(AuthenticationError());
}

// ---- Asking the delegate -------------------------------------------------------------------------

QString HTTPRequest::questionKey(bool proxy) const {
  if (proxy) return QStringLiteral("proxy %1:%2").arg(proxyHost_).arg(proxyPort_);
  return QStringLiteral("%1://%2:%3 %4")
      .arg(url_.scheme().toLower(), url_.host().toLower())
      .arg(url_.port(0))
      .arg(authenticationRealm_);
}

bool HTTPRequest::waitForQuestion(bool proxy) {
  if (isSynchronous_) return false;
  std::lock_guard lock(classState().pendingQuestionsLock);
  auto it = pendingQuestions().find(questionKey(proxy));
  if (it == pendingQuestions().end()) return false;
  auto asker = it->second.asker.lock();
  if (!asker || asker.get() == this) return false;
  it->second.waiters.push_back(self());
  return true;
}

void HTTPRequest::noteQuestion(bool proxy) {
  std::lock_guard lock(classState().pendingQuestionsLock);
  PendingQuestion& question = pendingQuestions()[questionKey(proxy)];
  question.asker = self();
}

void HTTPRequest::releaseAuthenticationWaiters() {
  std::vector<std::weak_ptr<HTTPRequest>> waiters;
  {
    std::lock_guard lock(classState().pendingQuestionsLock);
    auto& questions = pendingQuestions();
    for (auto it = questions.begin(); it != questions.end();) {
      auto asker = it->second.asker.lock();
      if (!asker || asker.get() == this) {
        for (auto& w : it->second.waiters) waiters.push_back(std::move(w));
        it = questions.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Each waiter looks again: the session store now holds what the delegate supplied (or, when
  // the delegate gave up, the waiter asks for itself).
  for (auto& weak : waiters) {
    if (auto waiter = weak.lock()) {
      platform::performOnNetworkThread([waiter] { waiter->attemptToApplyCredentialsAndResume(); });
    }
  }
}

bool HTTPRequest::willAskDelegateForCredentials() {
  if (isSynchronous_) return false;
  std::shared_ptr<platform::Object> target = delegate_.lock();
  if (!target) target = queue_;
  const bool answers = target && target->respondsToSelector("authenticationNeededForRequest:");
  if (!answers && !authenticationNeededBlock_) return false;
  auto request = self();
  platform::performOnMainThread([request] { request->askDelegateForCredentials(); }, false);
  return true;
}

bool HTTPRequest::willAskDelegateForProxyCredentials() {
  if (isSynchronous_) return false;
  std::shared_ptr<platform::Object> target = delegate_.lock();
  if (!target) target = queue_;
  const bool answers = target && target->respondsToSelector("proxyAuthenticationNeededForRequest:");
  if (!answers && !proxyAuthenticationNeededBlock_) return false;
  auto request = self();
  platform::performOnMainThread([request] { request->askDelegateForProxyCredentials(); }, false);
  return true;
}

void HTTPRequest::askDelegateForCredentials() {
  std::shared_ptr<platform::Object> target = delegate().lock();
  if (!target) target = queue();
  if (target && target->respondsToSelector("authenticationNeededForRequest:")) {
    target->perform("authenticationNeededForRequest:", self());
  } else if (authenticationNeededBlock_) {
    authenticationNeededBlock_();
  }
}

void HTTPRequest::askDelegateForProxyCredentials() {
  std::shared_ptr<platform::Object> target = delegate().lock();
  if (!target) target = queue();
  if (target && target->respondsToSelector("proxyAuthenticationNeededForRequest:")) {
    target->perform("proxyAuthenticationNeededForRequest:", self());
  } else if (proxyAuthenticationNeededBlock_) {
    proxyAuthenticationNeededBlock_();
  }
}

void HTTPRequest::retryUsingSuppliedCredentials() {
  auto request = self();
  auto resume = [request] {
    {
      std::lock_guard lock(request->cancelledLock_);
      request->credentialsSuppliedForURL_ = true;
    }
    if (request->requestMessage_) request->attemptToApplyCredentialsAndResume();
    else request->main();
    request->releaseAuthenticationWaiters();
  };
  if (isSynchronous_) resume();
  else platform::performOnNetworkThread(resume);
}

void HTTPRequest::cancelAuthentication() {
  auto request = self();
  auto give = [request] { request->failAuthentication(); };
  if (isSynchronous_) give();
  else platform::performOnNetworkThread(give);
}

void HTTPRequest::failAuthentication() {
  std::lock_guard lock(cancelledLock_);
  if (error_ || cancelled_) return;
  cancelLoad();
  failWithError(AuthenticationError());
}

}  // namespace http
