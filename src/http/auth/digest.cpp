// Digest hashes as RFC 7616 section 3.4 defines them.
#include "http/auth/digest.h"

namespace http::auth {
namespace {

QByteArray hex(QCryptographicHash::Algorithm h, const QByteArray& data) {
  return QCryptographicHash::hash(data, h).toHex();
}

}  // namespace

std::optional<QCryptographicHash::Algorithm> digestHash(const QByteArray& algorithm) {
  const QByteArray a = algorithm.toUpper();
  if (a.isEmpty() || a == "MD5" || a == "MD5-SESS") return QCryptographicHash::Md5;
  if (a == "SHA-256" || a == "SHA-256-SESS") return QCryptographicHash::Sha256;
  return std::nullopt;
}

bool isSessionAlgorithm(const QByteArray& algorithm) {
  return algorithm.toUpper().endsWith("-SESS");
}

QByteArray digestNonceCount(quint32 nc) {
  return QByteArray::number(nc, 16).rightJustified(8, '0');
}

QByteArray digestUserHash(const DigestInput& in) {
  return hex(*digestHash(in.algorithm), in.username + ':' + in.realm);
}

QByteArray digestResponse(const DigestInput& in) {
  const QCryptographicHash::Algorithm h = *digestHash(in.algorithm);
  QByteArray ha1 = hex(h, in.username + ':' + in.realm + ':' + in.password);
  if (isSessionAlgorithm(in.algorithm)) ha1 = hex(h, ha1 + ':' + in.nonce + ':' + in.cnonce);
  const QByteArray ha2 = hex(h, in.method + ':' + in.uri);
  if (in.qop.isEmpty()) return hex(h, ha1 + ':' + in.nonce + ':' + ha2);
  return hex(h, ha1 + ':' + in.nonce + ':' + digestNonceCount(in.nc) + ':' + in.cnonce + ':' +
                    in.qop + ':' + ha2);
}

}  // namespace http::auth
