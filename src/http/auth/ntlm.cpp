// NTLM message layout and NTLMv2 arithmetic. Every field of a received message is read through
// bounds-checked helpers.
#include "http/auth/ntlm.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QMessageAuthenticationCode>
#include <QtEndian>

namespace http::auth {
namespace {

const QByteArray kSignature("NTLMSSP\0", 8);

// Version field: Windows 6.1 build 7601, NTLM revision 15 (the values clients usually send).
const QByteArray kVersion("\x06\x01\xb1\x1d\x00\x00\x00\x0f", 8);

// Header size of the authenticate message with its version field (no MIC).
constexpr int kAuthenticateHeaderBytes = 72;

void put16(QByteArray& out, int offset, quint16 v) {
  qToLittleEndian(v, reinterpret_cast<uchar*>(out.data() + offset));
}
void put32(QByteArray& out, int offset, quint32 v) {
  qToLittleEndian(v, reinterpret_cast<uchar*>(out.data() + offset));
}
// Reads a little-endian value at `offset` if it lies inside `in`.
template <class T>
std::optional<T> get(const QByteArray& in, qsizetype offset) {
  if (offset < 0 || offset + static_cast<qsizetype>(sizeof(T)) > in.size()) return std::nullopt;
  return qFromLittleEndian<T>(reinterpret_cast<const uchar*>(in.constData() + offset));
}
// A security buffer (length, maximum length, offset) at `field`, resolved inside `in`.
std::optional<QByteArray> buffer(const QByteArray& in, qsizetype field) {
  auto length = get<quint16>(in, field);
  auto offset = get<quint32>(in, field + 4);
  if (!length || !offset) return std::nullopt;
  if (*length == 0) return QByteArray();  // nothing to read, wherever it points
  if (static_cast<qint64>(*offset) + *length > in.size()) return std::nullopt;
  return in.mid(static_cast<qsizetype>(*offset), *length);
}

QByteArray utf16le(const QString& s) {
  QByteArray out(s.size() * 2, Qt::Uninitialized);
  for (qsizetype i = 0; i < s.size(); ++i) put16(out, static_cast<int>(i * 2), s[i].unicode());
  return out;
}

}  // namespace

QByteArray ntlmNegotiateMessage() {
  QByteArray m(40, '\0');
  m.replace(0, 8, kSignature);
  put32(m, 8, 1);
  put32(m, 12, kNtlmNegotiateFlags);
  // Empty domain and workstation buffers point at the end of the header.
  put32(m, 20, 40);
  put32(m, 28, 40);
  m.replace(32, 8, kVersion);
  return m;
}

std::optional<NtlmChallenge> parseNtlmChallenge(const QByteArray& message) {
  if (message.size() < 32 || !message.startsWith(kSignature)) return std::nullopt;
  if (get<quint32>(message, 8) != 2u) return std::nullopt;
  NtlmChallenge c;
  c.flags = *get<quint32>(message, 20);
  c.serverChallenge = message.mid(24, 8);
  // The target name is never read, so where it points does not matter.
  // Target info follows when the message is long enough to have its field (48 bytes).
  if (message.size() >= 48) {
    auto info = buffer(message, 40);
    if (!info) return std::nullopt;
    c.targetInfo = *info;
  }
  return c;
}

QByteArray hmacMd5(const QByteArray& key, const QByteArray& data) {
  return QMessageAuthenticationCode::hash(data, key, QCryptographicHash::Md5);
}

QByteArray ntlmHash(const QString& password) {
  return QCryptographicHash::hash(utf16le(password), QCryptographicHash::Md4);
}

QByteArray ntowfV2(const QString& user, const QString& domain, const QString& password) {
  return hmacMd5(ntlmHash(password), utf16le(user.toUpper() + domain));
}

QByteArray ntlmV2Blob(quint64 timestamp, const QByteArray& clientChallenge,
                      const QByteArray& targetInfo) {
  QByteArray blob(16, '\0');
  blob[0] = 1;
  blob[1] = 1;
  qToLittleEndian(timestamp, reinterpret_cast<uchar*>(blob.data() + 8));
  blob += clientChallenge;
  blob += QByteArray(4, '\0');
  blob += targetInfo;
  blob += QByteArray(4, '\0');
  return blob;
}

std::optional<quint64> ntlmTargetTimestamp(const QByteArray& targetInfo) {
  qsizetype pos = 0;
  while (pos + 4 <= targetInfo.size()) {
    const quint16 id = *get<quint16>(targetInfo, pos);
    const quint16 length = *get<quint16>(targetInfo, pos + 2);
    if (id == 0) break;  // end of list
    if (pos + 4 + length > targetInfo.size()) break;
    if (id == 7 && length == 8) return get<quint64>(targetInfo, pos + 4);
    pos += 4 + length;
  }
  return std::nullopt;
}

quint64 ntlmTimestampNow() {
  // 100 ns units since 1601-01-01; 11644473600 seconds lie between 1601 and 1970.
  const qint64 ms = QDateTime::currentMSecsSinceEpoch();
  return (static_cast<quint64>(ms) + 11644473600000ull) * 10000ull;
}

QByteArray ntlmAuthenticateMessage(const NtlmChallenge& challenge, const QString& user,
                                   const QString& domain, const QString& password,
                                   const QByteArray& clientChallenge, quint64 timestamp) {
  const QByteArray key = ntowfV2(user, domain, password);
  const std::optional<quint64> serverTime = ntlmTargetTimestamp(challenge.targetInfo);
  const QByteArray blob = ntlmV2Blob(serverTime.value_or(timestamp), clientChallenge,
                                     challenge.targetInfo);
  const QByteArray ntProof = hmacMd5(key, challenge.serverChallenge + blob);
  const QByteArray ntResponse = ntProof + blob;
  // With a server time stamp the LMv2 response is left as zeros.
  const QByteArray lmResponse =
      serverTime ? QByteArray(24, '\0')
                 : hmacMd5(key, challenge.serverChallenge + clientChallenge) + clientChallenge;
  const QByteArray domainBytes = utf16le(domain);
  const QByteArray userBytes = utf16le(user);
  const QByteArray workstation;

  QByteArray m(kAuthenticateHeaderBytes, '\0');
  m.replace(0, 8, kSignature);
  put32(m, 8, 3);
  int offset = kAuthenticateHeaderBytes;
  auto field = [&](int at, const QByteArray& data) {
    put16(m, at, static_cast<quint16>(data.size()));
    put16(m, at + 2, static_cast<quint16>(data.size()));
    put32(m, at + 4, static_cast<quint32>(offset));
    offset += static_cast<int>(data.size());
  };
  field(12, lmResponse);
  field(20, ntResponse);
  field(28, domainBytes);
  field(36, userBytes);
  field(44, workstation);
  field(52, QByteArray());  // no session key exchange
  put32(m, 60, challenge.flags & kNtlmNegotiateFlags);
  m.replace(64, 8, kVersion);
  m += lmResponse + ntResponse + domainBytes + userBytes + workstation;
  return m;
}

}  // namespace http::auth
