// The NTLM messages (negotiate, challenge, authenticate) with NTLMv2 responses, as the NTLM
// authentication protocol document defines them; strings in UTF-16LE.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace http::auth {

// Flags of the negotiate message: Unicode, OEM, request target, NTLM, always sign, extended
// session security, target info, version, 128-bit, 56-bit.
inline constexpr quint32 kNtlmNegotiateFlags = 0x00000001 | 0x00000002 | 0x00000004 | 0x00000200 |
                                               0x00008000 | 0x00080000 | 0x00800000 | 0x02000000 |
                                               0x20000000 | 0x80000000;

// The negotiate (type 1) message: 40 bytes with the 8-byte version field, no domain or
// workstation. Servers that check the version refuse the 32-byte form.
QByteArray ntlmNegotiateMessage();

// What a challenge (type 2) message carries. Thread: any (a value).
struct NtlmChallenge {
  quint32 flags = 0;
  QByteArray serverChallenge;  // 8 bytes
  QByteArray targetInfo;       // AV pairs, as received
};

// Reads a challenge message; nothing when it is not one or any length or offset points outside
// the message (a hostile server cannot make us read past what it sent).
std::optional<NtlmChallenge> parseNtlmChallenge(const QByteArray& message);

// The NT hash: MD4 of the UTF-16LE password.
QByteArray ntlmHash(const QString& password);
// NTOWFv2: HMAC-MD5 keyed with the NT hash over UTF-16LE(upper-case user + domain).
QByteArray ntowfV2(const QString& user, const QString& domain, const QString& password);
// The blob hashed after the server challenge: 01 01, six zero bytes, the time stamp (little-
// endian 100 ns units since 1601), the client challenge, four zero bytes, the target info, four
// zero bytes.
QByteArray ntlmV2Blob(quint64 timestamp, const QByteArray& clientChallenge,
                      const QByteArray& targetInfo);
// HMAC-MD5(key, data).
QByteArray hmacMd5(const QByteArray& key, const QByteArray& data);

// The time stamp a target info carries (AV id 7), if any.
std::optional<quint64> ntlmTargetTimestamp(const QByteArray& targetInfo);

// The authenticate (type 3) message answering `challenge` with NTLMv2. `clientChallenge` is 8
// random bytes; `timestamp` is used when the target info carries none.
QByteArray ntlmAuthenticateMessage(const NtlmChallenge& challenge, const QString& user,
                                   const QString& domain, const QString& password,
                                   const QByteArray& clientChallenge, quint64 timestamp);

// Now as an NTLM time stamp.
quint64 ntlmTimestampNow();

}  // namespace http::auth
