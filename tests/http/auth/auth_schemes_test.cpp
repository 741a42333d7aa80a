// Known-answer tests of the Digest and NTLMv2 computations, the Basic value, and the NTLM
// messages we send and read (including challenge messages whose lengths point outside them).
#include "http/auth/digest.h"
#include "http/auth/http_authentication.h"
#include "http/auth/ntlm.h"

#include <QtEndian>

#include <gtest/gtest.h>

namespace {

using namespace http::auth;

// RFC 7616 section 3.9.1.
DigestInput rfc7616Example(const char* algorithm) {
  DigestInput in;
  in.algorithm = algorithm;
  in.username = "Mufasa";
  in.password = "Circle of Life";
  in.realm = "http-auth@example.org";
  in.method = "GET";
  in.uri = "/dir/index.html";
  in.qop = "auth";
  in.nc = 1;
  in.nonce = "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v";
  in.cnonce = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ";
  return in;
}

QByteArray md5Hex(const QByteArray& s) { return QCryptographicHash::hash(s, QCryptographicHash::Md5).toHex(); }
QByteArray sha256Hex(const QByteArray& s) { return QCryptographicHash::hash(s, QCryptographicHash::Sha256).toHex(); }

TEST(DigestTest, ResponsesMatchThePublishedExamples) {
  EXPECT_EQ(digestResponse(rfc7616Example("MD5")), "8ca523f5e9506fed4657c9700eebdbec");
  EXPECT_EQ(digestResponse(rfc7616Example("SHA-256")),
            "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1");
  EXPECT_EQ(digestResponse(rfc7616Example("sha-256")),
            "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1")
      << "algorithm names are case-insensitive";
}

TEST(DigestTest, SessionVariantsNoQopAndUserhashFollowTheirDefinitions) {
  // -sess: HA1 = H(H(user:realm:password):nonce:cnonce).
  for (auto [algorithm, hash] : {std::pair{"MD5-sess", &md5Hex}, std::pair{"SHA-256-sess", &sha256Hex}}) {
    SCOPED_TRACE(algorithm);
    DigestInput in = rfc7616Example(algorithm);
    const QByteArray ha1 = hash(hash("Mufasa:http-auth@example.org:Circle of Life") + ':' + in.nonce + ':' + in.cnonce);
    const QByteArray ha2 = hash("GET:/dir/index.html");
    EXPECT_EQ(digestResponse(in), hash(ha1 + ':' + in.nonce + ":00000001:" + in.cnonce + ":auth:" + ha2));
  }
  DigestInput noQop = rfc7616Example("MD5");
  noQop.qop.clear();
  EXPECT_EQ(digestResponse(noQop), md5Hex(md5Hex("Mufasa:http-auth@example.org:Circle of Life") + ':' +
                                          noQop.nonce + ':' + md5Hex("GET:/dir/index.html")));
  EXPECT_EQ(digestUserHash(rfc7616Example("SHA-256")), sha256Hex("Mufasa:http-auth@example.org"));
  EXPECT_EQ(digestNonceCount(1), "00000001");
  EXPECT_EQ(digestNonceCount(0x1ab), "000001ab");
  EXPECT_FALSE(digestHash("SHA-512-256").has_value());
}

QByteArray hex(const char* text) { return QByteArray::fromHex(text); }

// The NTLMv2 example of the protocol document.
QByteArray exampleTargetInfo() {
  auto pair = [](quint16 id, const QString& value) {
    QByteArray out(4, '\0');
    qToLittleEndian<quint16>(id, out.data());
    qToLittleEndian<quint16>(static_cast<quint16>(value.size() * 2), out.data() + 2);
    for (QChar c : value) {
      out += static_cast<char>(c.unicode() & 0xff);
      out += static_cast<char>(c.unicode() >> 8);
    }
    return out;
  };
  return pair(2, "Domain") + pair(1, "Server") + QByteArray(4, '\0');
}

TEST(NtlmTest, NtlmV2ValuesMatchThePublishedExample) {
  EXPECT_EQ(ntlmHash("Password").toHex(), "a4f49c406510bdcab6824ee7c30fd852");
  const QByteArray key = ntowfV2("User", "Domain", "Password");
  EXPECT_EQ(key.toHex(), "0c868a403bfd7a93a3001ef22ef02e3f");
  const QByteArray server = hex("0123456789abcdef");
  const QByteArray client = hex("aaaaaaaaaaaaaaaa");
  const QByteArray proof = hmacMd5(key, server + ntlmV2Blob(0, client, exampleTargetInfo()));
  EXPECT_EQ(proof.toHex(), "68cd0ab851e51c96aabc927bebef6a1c");
  EXPECT_EQ((hmacMd5(key, server + client) + client).toHex(), "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");
  EXPECT_EQ(hmacMd5(key, proof).toHex(), "8de40ccadbc14a82f15cb0ad0de95ca3");
}

QByteArray challengeMessage(const QByteArray& targetInfo, quint32 infoOffset = 48) {
  QByteArray m("NTLMSSP\0", 8);
  m += QByteArray(48 - 8, '\0');
  qToLittleEndian<quint32>(2, m.data() + 8);
  qToLittleEndian<quint32>(48, m.data() + 16);  // empty target name at the end of the header
  qToLittleEndian<quint32>(0xe2898235, m.data() + 20);
  m.replace(24, 8, hex("0123456789abcdef"));
  qToLittleEndian<quint16>(static_cast<quint16>(targetInfo.size()), m.data() + 40);
  qToLittleEndian<quint16>(static_cast<quint16>(targetInfo.size()), m.data() + 42);
  qToLittleEndian<quint32>(infoOffset, m.data() + 44);
  return m + targetInfo;
}

TEST(NtlmTest, AuthenticateMessageCarriesTheExampleResponseAndNames) {
  auto challenge = parseNtlmChallenge(challengeMessage(exampleTargetInfo()));
  ASSERT_TRUE(challenge);
  EXPECT_EQ(challenge->serverChallenge, hex("0123456789abcdef"));
  EXPECT_EQ(challenge->targetInfo, exampleTargetInfo());
  const QByteArray m = ntlmAuthenticateMessage(*challenge, "User", "Domain", "Password", hex("aaaaaaaaaaaaaaaa"), 0);
  ASSERT_GE(m.size(), 72);
  auto field = [&](int at) {
    const quint16 len = qFromLittleEndian<quint16>(m.constData() + at);
    const quint32 off = qFromLittleEndian<quint32>(m.constData() + at + 4);
    EXPECT_LE(off + len, static_cast<quint32>(m.size()));
    return m.mid(off, len);
  };
  EXPECT_EQ(field(12).toHex(), "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");
  EXPECT_EQ(field(20).left(16).toHex(), "68cd0ab851e51c96aabc927bebef6a1c");
  EXPECT_EQ(field(28), QByteArray("D\0o\0m\0a\0i\0n\0", 12));
  EXPECT_EQ(field(36), QByteArray("U\0s\0e\0r\0", 8)) << "the user name is sent as given, not upper-cased";
}

TEST(NtlmTest, NegotiateMessageCarriesTheVersionField) {
  const QByteArray m = ntlmNegotiateMessage();
  ASSERT_EQ(m.size(), 40);
  EXPECT_TRUE(m.startsWith(QByteArray("NTLMSSP\0\1\0\0\0", 12)));
  EXPECT_TRUE(qFromLittleEndian<quint32>(m.constData() + 12) & 0x02000000u) << "version flag";
}

TEST(NtlmTest, HostileChallengeMessagesAreRefusedWithoutReadingOutside) {
  const QByteArray good = challengeMessage(exampleTargetInfo());
  QByteArray lengthPastEnd = good;
  qToLittleEndian<quint16>(0xffff, lengthPastEnd.data() + 40);
  QByteArray offsetPastEnd = good;
  qToLittleEndian<quint32>(0xfffffff0u, offsetPastEnd.data() + 44);
  QByteArray emptyInfoAnywhere = good;  // a zero-length field reads nothing, wherever it points
  qToLittleEndian<quint16>(0, emptyInfoAnywhere.data() + 40);
  qToLittleEndian<quint32>(0xaaaaaaaau, emptyInfoAnywhere.data() + 44);
  QByteArray wrongType = good;
  wrongType[8] = 3;
  const struct {
    const char* name;
    QByteArray message;
  } cases[] = {
      {"target info length past the end", lengthPastEnd},
      {"target info offset past the end", offsetPastEnd},
      {"not a challenge", wrongType},
      {"truncated header", good.left(31)},
      {"empty", QByteArray()},
      {"no signature", QByteArray(64, 'x')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Exact-size copy so that a sanitizer sees any read past it.
    EXPECT_FALSE(parseNtlmChallenge(QByteArray(c.message.constData(), c.message.size())).has_value());
  }
  EXPECT_FALSE(ntlmTargetTimestamp(QByteArray("\7\0\x08\0\1\2", 6)).has_value()) << "a pair running past the end";
  auto lenient = parseNtlmChallenge(emptyInfoAnywhere);
  ASSERT_TRUE(lenient.has_value());
  EXPECT_TRUE(lenient->targetInfo.isEmpty());
}

TEST(BasicTest, UserAndPasswordAreUtf8InBase64) {
  EXPECT_EQ(HttpAuthentication::basicAuthorization("Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(HttpAuthentication::basicAuthorization(QString::fromUtf8("test"), QString::fromUtf8("123\xC2\xA3")),
            "Basic dGVzdDoxMjPCow==");  // RFC 7617 section 2.1
}

}  // namespace
