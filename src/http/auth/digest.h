// The Digest scheme's computations (RFC 7616): hashes with MD5 or SHA-256, their session
// variants, qop "auth" or none (RFC 2069 style), and the user name hash.
#pragma once

#include <QByteArray>
#include <QCryptographicHash>

#include <optional>

namespace http::auth {

// What one Authorization value is computed from. Thread: any (a value).
struct DigestInput {
  QByteArray algorithm = "MD5";  // MD5, MD5-sess, SHA-256 or SHA-256-sess (case-insensitive)
  QByteArray username;           // UTF-8
  QByteArray password;           // UTF-8
  QByteArray realm;
  QByteArray nonce;
  QByteArray cnonce;
  QByteArray method;             // "GET"
  QByteArray uri;                // the request target as sent
  QByteArray qop;                // "auth" or empty (no qop)
  quint32 nc = 1;                // nonce count
};

// The hash of a supported algorithm name; nothing for others (SHA-512-256, auth-int...).
std::optional<QCryptographicHash::Algorithm> digestHash(const QByteArray& algorithm);
// True for the "-sess" variants.
bool isSessionAlgorithm(const QByteArray& algorithm);

// The "response" value in lower-case hex. Precondition: digestHash(in.algorithm) is set.
QByteArray digestResponse(const DigestInput& in);
// The hashed user name sent when the server asks for userhash=true: H(username ":" realm).
QByteArray digestUserHash(const DigestInput& in);
// The nonce count as sent: eight lower-case hex digits.
QByteArray digestNonceCount(quint32 nc);

}  // namespace http::auth
