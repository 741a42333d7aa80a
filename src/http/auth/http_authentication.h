// The authentication object of one challenged request: made from a 401 or 407 response, it
// knows the chosen scheme, realm and state of the exchange and puts credentials on the
// outgoing request head (Basic, Digest and NTLM, for servers and proxies).
#pragma once

#include "http/transport/http_headers.h"
#include "http/transport/request_head.h"
#include "platform/error.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <mutex>
#include <optional>

namespace http::auth {

struct AuthChallenge;
struct NtlmChallenge;

// Keys of a credentials dictionary.
inline const QString kUsernameKey = QStringLiteral("Username");
inline const QString kPasswordKey = QStringLiteral("Password");
inline const QString kAccountDomainKey = QStringLiteral("AccountDomain");

// Domain and codes of the errors isValid() reports.
inline const QString kAuthenticationErrorDomain = QStringLiteral("HTTPAuthenticationErrorDomain");
enum AuthenticationErrorCode : int {
  UnsupportedChallengeError = -1000,  // nothing in the challenge can be answered
  BadUsernameError = -1001,           // the server refused the user name
  BadPasswordError = -1002,           // the server refused the credentials
};

// Thread: any; one object may be shared by requests through the session store, so its state is
// guarded by its own lock.
class HttpAuthentication {
 public:
  enum class Scheme { Basic, Digest, Ntlm };

  // Why fromResponse() gave no object.
  enum class NoAnswer {
    NotAChallenge,       // the status is neither 401 nor 407
    Malformed,           // the challenge fields cannot be read (or are too large)
    Unusable,            // a scheme we speak, offered in a form we cannot answer
    OnlyUnknownSchemes,  // well formed, but no Basic, Digest or NTLM at all: the server wants
                         // something this engine cannot give (a refusal, not a faulty challenge)
  };
  // The object for the strongest challenge we can answer (NTLM, then Digest with SHA-256, then
  // Digest with MD5, then Basic) among the WWW-Authenticate (401) or Proxy-Authenticate (407)
  // fields of `headers`. Null, with the reason in `whyNot`, when the fields are malformed or
  // offer nothing usable (an unknown algorithm, a Digest challenge without nonce, only
  // qop=auth-int, an NTLM challenge message that is not one, only schemes we do not speak).
  static std::shared_ptr<HttpAuthentication> fromResponse(int status,
                                                          const transport::HeaderList& headers,
                                                          NoAnswer* whyNot = nullptr);

  // Takes in the next challenge of the same exchange: the NTLM challenge message after our
  // negotiate message, a fresh Digest nonce, or the sign that the credentials sent were refused
  // (then isValid() says so). A challenge that cannot be parsed makes the object invalid.
  void updateFromResponse(int status, const transport::HeaderList& headers);

  Scheme scheme() const { return scheme_; }
  // "Basic", "Digest" or "NTLM".
  QString method() const;
  // The realm of the challenge (empty for NTLM).
  QString realm() const;
  bool isProxy() const { return proxy_; }
  // Null when the exchange can go on; otherwise why not (kAuthenticationErrorDomain).
  platform::ErrorPtr isValid() const;
  // Every scheme here needs a user name and password.
  bool requiresUsernameAndPassword() const { return true; }
  // NTLM also needs an account domain.
  bool requiresAccountDomain() const { return scheme_ == Scheme::Ntlm; }

  // Sets "Authorization" (or "Proxy-Authorization") on `head` for `credentials` (keys above),
  // answering the current state of the exchange. `target` is the request target as sent (path
  // and query, the absolute URL through a proxy, or host:port for a tunnel). False when the
  // credentials lack a user name or password or the exchange cannot go on.
  // `method` replaces the head's method in the Digest hash (CONNECT for a tunnel).
  bool apply(const QVariantMap& credentials, transport::RequestHead& head,
             const QByteArray& target, const QByteArray& method = {});

  // "Basic " and the Base64 of UTF-8 "user:password" (RFC 7617).
  static QByteArray basicAuthorization(const QString& user, const QString& password);

 private:
  HttpAuthentication() = default;
  bool takeChallenge(const AuthChallenge& challenge);

  mutable std::mutex mutex_;
  Scheme scheme_ = Scheme::Basic;
  bool proxy_ = false;
  QByteArray realm_;
  // Digest
  QByteArray nonce_;
  QByteArray opaque_;
  QByteArray algorithm_;
  QByteArray qop_;               // "auth" or empty
  bool userhash_ = false;
  quint32 nonceCount_ = 0;       // uses of nonce_ so far
  // NTLM
  std::shared_ptr<NtlmChallenge> ntlmChallenge_;  // the server's type 2 message, once received
  int ntlmStage_ = 0;            // 0 nothing sent, 1 negotiate sent, 2 authenticate sent
  // Exchange state
  bool appliedSinceChallenge_ = false;  // credentials went out since the last challenge
  platform::ErrorPtr invalid_;          // set once the exchange cannot go on
};

}  // namespace http::auth
