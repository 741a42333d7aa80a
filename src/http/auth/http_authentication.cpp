// Choosing the challenge to answer, following the exchange across responses, and writing the
// Authorization value of each scheme.
#include "http/auth/http_authentication.h"

#include "http/auth/auth_challenge.h"
#include "http/auth/digest.h"
#include "http/auth/ntlm.h"

#include <QRandomGenerator>

#include <algorithm>

namespace http::auth {
namespace {

platform::ErrorPtr makeAuthError(int code, const QString& text) {
  return platform::Error::make(kAuthenticationErrorDomain, code, text);
}

QByteArray randomBytes(int n) {
  QByteArray out(n, Qt::Uninitialized);
  for (char& c : out) c = static_cast<char>(QRandomGenerator::system()->bounded(256));
  return out;
}

// The qop we answer with: "auth" when offered, empty when the challenge has no qop (RFC 2069
// style); nothing when only other protections (auth-int) are offered.
std::optional<QByteArray> chooseQop(const AuthChallenge& c) {
  if (!c.params.contains("qop")) return QByteArray();
  for (const QByteArray& option : c.param("qop").split(',')) {
    if (option.trimmed().compare("auth", Qt::CaseInsensitive) == 0) return QByteArray("auth");
  }
  return std::nullopt;
}

// Rank of a challenge we can answer (higher is stronger); 0 when we cannot answer it.
int rank(const AuthChallenge& c) {
  if (c.is("NTLM")) {
    if (!c.token68.isEmpty() && !parseNtlmChallenge(QByteArray::fromBase64(c.token68))) return 0;
    return 4;
  }
  if (c.is("Digest")) {
    const auto hash = digestHash(c.param("algorithm"));
    if (!hash || c.param("nonce").isEmpty() || !chooseQop(c)) return 0;
    return *hash == QCryptographicHash::Sha256 ? 3 : 2;
  }
  if (c.is("Basic")) return 1;
  return 0;
}

QByteArray quote(const QByteArray& v) {
  QByteArray out = v;
  out.replace('\\', "\\\\").replace('"', "\\\"");
  return '"' + out + '"';
}

std::optional<std::vector<AuthChallenge>> challengesOf(int status,
                                                       const transport::HeaderList& headers) {
  return parseChallenges(headers.values(status == 407 ? "Proxy-Authenticate" : "WWW-Authenticate"));
}

}  // namespace

QByteArray HttpAuthentication::basicAuthorization(const QString& user, const QString& password) {
  return "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64();
}

std::shared_ptr<HttpAuthentication> HttpAuthentication::fromResponse(
    int status, const transport::HeaderList& headers, NoAnswer* whyNot) {
  auto fail = [whyNot](NoAnswer why) {
    if (whyNot) *whyNot = why;
    return std::shared_ptr<HttpAuthentication>();
  };
  if (status != 401 && status != 407) return fail(NoAnswer::NotAChallenge);
  const auto challenges = challengesOf(status, headers);
  if (!challenges) return fail(NoAnswer::Malformed);
  const AuthChallenge* best = nullptr;
  for (const AuthChallenge& c : *challenges) {
    if (rank(c) > 0 && (!best || rank(c) > rank(*best))) best = &c;
  }
  if (!best) {
    const bool known = std::any_of(challenges->begin(), challenges->end(), [](const AuthChallenge& c) {
      return c.is("NTLM") || c.is("Digest") || c.is("Basic");
    });
    return fail(known ? NoAnswer::Unusable : NoAnswer::OnlyUnknownSchemes);
  }
  std::shared_ptr<HttpAuthentication> object(new HttpAuthentication);
  object->proxy_ = status == 407;
  if (!object->takeChallenge(*best)) return fail(NoAnswer::Unusable);
  return object;
}

bool HttpAuthentication::takeChallenge(const AuthChallenge& c) {
  realm_ = c.param("realm");
  if (c.is("NTLM")) {
    scheme_ = Scheme::Ntlm;
    realm_.clear();
    if (!c.token68.isEmpty()) {
      auto parsed = parseNtlmChallenge(QByteArray::fromBase64(c.token68));
      if (!parsed) return false;
      ntlmChallenge_ = std::make_shared<NtlmChallenge>(*parsed);
    }
    return true;
  }
  if (c.is("Digest")) {
    scheme_ = Scheme::Digest;
    const auto qop = chooseQop(c);
    if (!qop || !digestHash(c.param("algorithm")) || c.param("nonce").isEmpty()) return false;
    if (c.param("nonce") != nonce_) nonceCount_ = 0;
    nonce_ = c.param("nonce");
    opaque_ = c.param("opaque");
    algorithm_ = c.params.contains("algorithm") ? c.param("algorithm") : QByteArray();
    qop_ = *qop;
    userhash_ = c.param("userhash").compare("true", Qt::CaseInsensitive) == 0;
    return true;
  }
  scheme_ = Scheme::Basic;
  return true;
}

void HttpAuthentication::updateFromResponse(int status, const transport::HeaderList& headers) {
  std::lock_guard lock(mutex_);
  if (invalid_) return;
  const auto challenges = challengesOf(status, headers);
  if (!challenges) {
    invalid_ = makeAuthError(UnsupportedChallengeError, QStringLiteral("malformed challenge"));
    return;
  }
  const AuthChallenge* same = nullptr;
  for (const AuthChallenge& c : *challenges) {
    if (c.is(method().toLatin1().constData()) && (!same || rank(c) > rank(*same))) same = &c;
  }
  const bool applied = appliedSinceChallenge_;
  appliedSinceChallenge_ = false;
  if (!same) {
    invalid_ = applied ? makeAuthError(BadPasswordError, QStringLiteral("credentials refused"))
                       : makeAuthError(UnsupportedChallengeError, QStringLiteral("scheme withdrawn"));
    return;
  }
  switch (scheme_) {
    case Scheme::Ntlm:
      if (ntlmStage_ == 2 || (ntlmStage_ == 1 && same->token68.isEmpty())) {
        // After our answer the server starts again: the answer was refused.
        invalid_ = makeAuthError(BadPasswordError, QStringLiteral("credentials refused"));
        return;
      }
      if (!same->token68.isEmpty()) {
        auto parsed = parseNtlmChallenge(QByteArray::fromBase64(same->token68));
        if (!parsed) {
          invalid_ = makeAuthError(UnsupportedChallengeError, QStringLiteral("bad NTLM challenge"));
          return;
        }
        ntlmChallenge_ = std::make_shared<NtlmChallenge>(*parsed);
      }
      return;
    case Scheme::Digest: {
      const bool stale = same->param("stale").compare("true", Qt::CaseInsensitive) == 0;
      if (!takeChallenge(*same)) {
        invalid_ = makeAuthError(UnsupportedChallengeError, QStringLiteral("unusable challenge"));
        return;
      }
      // A stale nonce is not a refusal: the same credentials go out again with the new nonce.
      if (applied && !stale) {
        invalid_ = makeAuthError(BadPasswordError, QStringLiteral("credentials refused"));
      }
      return;
    }
    case Scheme::Basic:
      realm_ = same->param("realm");
      if (applied) invalid_ = makeAuthError(BadPasswordError, QStringLiteral("credentials refused"));
      return;
  }
}

QString HttpAuthentication::method() const {
  switch (scheme_) {
    case Scheme::Basic: return QStringLiteral("Basic");
    case Scheme::Digest: return QStringLiteral("Digest");
    case Scheme::Ntlm: return QStringLiteral("NTLM");
  }
  return {};
}

QString HttpAuthentication::realm() const {
  std::lock_guard lock(mutex_);
  return QString::fromUtf8(realm_);
}

platform::ErrorPtr HttpAuthentication::isValid() const {
  std::lock_guard lock(mutex_);
  return invalid_;
}

bool HttpAuthentication::apply(const QVariantMap& credentials, transport::RequestHead& head,
                               const QByteArray& target, const QByteArray& method) {
  std::lock_guard lock(mutex_);
  if (invalid_) return false;
  if (!credentials.contains(kUsernameKey) || !credentials.contains(kPasswordKey)) return false;
  const QString user = credentials.value(kUsernameKey).toString();
  const QString password = credentials.value(kPasswordKey).toString();
  QByteArray value;
  switch (scheme_) {
    case Scheme::Basic:
      value = basicAuthorization(user, password);
      break;
    case Scheme::Digest: {
      DigestInput in;
      in.algorithm = algorithm_.isEmpty() ? QByteArray("MD5") : algorithm_;
      in.username = user.toUtf8();
      in.password = password.toUtf8();
      in.realm = realm_;
      in.nonce = nonce_;
      in.cnonce = randomBytes(16).toHex();
      in.method = method.isEmpty() ? head.method : method;
      in.uri = target;
      in.qop = qop_;
      in.nc = ++nonceCount_;
      const QByteArray shownUser = userhash_ ? digestUserHash(in) : in.username;
      value = "Digest username=" + quote(shownUser) + ", realm=" + quote(realm_) +
              ", nonce=" + quote(nonce_) + ", uri=" + quote(target) + ", response=\"" +
              digestResponse(in) + '"';
      if (!algorithm_.isEmpty()) value += ", algorithm=" + algorithm_;
      if (!opaque_.isEmpty()) value += ", opaque=" + quote(opaque_);
      if (!qop_.isEmpty()) {
        value += ", qop=" + qop_ + ", nc=" + digestNonceCount(in.nc) + ", cnonce=\"" + in.cnonce + '"';
      }
      if (userhash_) value += ", userhash=true";
      break;
    }
    case Scheme::Ntlm:
      if (ntlmStage_ == 1 && ntlmChallenge_) {
        const QString domain = credentials.value(kAccountDomainKey).toString();
        value = "NTLM " + ntlmAuthenticateMessage(*ntlmChallenge_, user, domain, password,
                                                  randomBytes(8), ntlmTimestampNow())
                              .toBase64();
        ntlmStage_ = 2;
      } else {
        // The handshake starts (again) with a negotiate message on this connection.
        ntlmChallenge_.reset();
        value = "NTLM " + ntlmNegotiateMessage().toBase64();
        ntlmStage_ = 1;
      }
      break;
  }
  head.headers.set(proxy_ ? "Proxy-Authorization" : "Authorization", value);
  appliedSinceChallenge_ = true;
  return true;
}

}  // namespace http::auth
