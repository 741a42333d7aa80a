// Reading challenges (several per field and over several fields, quoted strings with escapes,
// token68) and the authentication object: which scheme it picks, how it follows an exchange
// and how it refuses malformed or hostile challenges.
#include "http/auth/auth_challenge.h"
#include "http/auth/http_authentication.h"

#include <gtest/gtest.h>

namespace {

using namespace http::auth;
using http::transport::HeaderList;
using http::transport::RequestHead;

// "scheme[token68]{k=v,...}" for each challenge, joined by " | ".
QByteArray describe(const std::vector<AuthChallenge>& challenges) {
  QByteArrayList parts;
  for (const AuthChallenge& c : challenges) {
    QByteArray s = c.scheme;
    if (!c.token68.isEmpty()) s += '[' + c.token68 + ']';
    QByteArrayList params;
    for (auto it = c.params.cbegin(); it != c.params.cend(); ++it) params << it.key() + '=' + it.value();
    if (!params.isEmpty()) s += '{' + params.join(',') + '}';
    parts << s;
  }
  return parts.join(" | ");
}

TEST(AuthChallengeTest, ParsesTheChallengeGrammar) {
  const struct {
    std::vector<QByteArray> fields;
    const char* expected;
  } cases[] = {
      {{"Basic realm=\"simple\""}, "Basic{realm=simple}"},
      {{"Basic realm=\"a, b\", charset=\"UTF-8\", Digest realm=x, nonce=\"n\",qop=\"auth,auth-int\""},
       "Basic{charset=UTF-8,realm=a, b} | Digest{nonce=n,qop=auth,auth-int,realm=x}"},
      {{"Negotiate", "NTLM"}, "Negotiate | NTLM"},
      {{"NTLM TlRMTVNTUAACAAAA==, Basic realm=r"}, "NTLM[TlRMTVNTUAACAAAA==] | Basic{realm=r}"},
      {{"Digest realm=\"say \\\"hi\\\" \\\\ there\", NONCE=abc"}, "Digest{nonce=abc,realm=say \"hi\" \\ there}"},
      {{"Basic realm=first, realm=second"}, "Basic{realm=first}"},
      {{" , Basic realm = \"sp\" , ,"}, "Basic{realm=sp}"},
      {{""}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fields.front().constData());
    auto parsed = parseChallenges(c.fields);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(describe(*parsed), c.expected);
  }
}

TEST(AuthChallengeTest, RefusesMalformedAndOversizedFields) {
  const std::vector<QByteArray> bad[] = {
      {"Basic realm=\"unterminated"},
      {"Basic realm=\"ends in escape\\"},
      {"Basic realm=\"a\" charset=b"},
      {"Basic realm=a b"},
      {"=x"},
      {"Basic realm=\"" + QByteArray(kMaxChallengeBytes, 'a') + "\""},
      {QByteArray("Basic realm=a, ").repeated(kMaxChallenges + 1).replace("realm", "x").replace(", ", ", B ")},
  };
  for (const auto& fields : bad) {
    SCOPED_TRACE(fields.front().left(40).constData());
    EXPECT_FALSE(parseChallenges(fields).has_value());
  }
}

HeaderList challenge(const char* field, std::initializer_list<const char*> values) {
  HeaderList h;
  for (const char* v : values) h.append(field, v);
  return h;
}

TEST(HttpAuthenticationTest, PicksTheStrongestSchemeItCanAnswer) {
  using NoAnswer = HttpAuthentication::NoAnswer;
  const struct {
    std::initializer_list<const char*> values;
    const char* method;  // null: no object can be made, for the reason `why`
    NoAnswer why = NoAnswer::Unusable;
  } cases[] = {
      {{"Basic realm=r", "Digest realm=r, nonce=n, qop=auth", "NTLM"}, "NTLM"},
      {{"Basic realm=r, Digest realm=r, nonce=n"}, "Digest"},
      {{"Negotiate", "Basic realm=r"}, "Basic"},
      {{"Digest realm=r, nonce=n, algorithm=SHA-512-256", "Basic realm=r"}, "Basic"},
      {{"Digest realm=r, nonce=n, algorithm=SHA-512-256"}, nullptr},
      {{"Digest realm=r"}, nullptr},
      {{"Digest realm=r, nonce=n, qop=auth-int"}, nullptr},
      {{"NTLM bm90IGFuIE5UTE0gbWVzc2FnZQ=="}, nullptr},
      {{"Negotiate"}, nullptr, NoAnswer::OnlyUnknownSchemes},
      {{"Basic realm=\"open"}, nullptr, NoAnswer::Malformed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(*c.values.begin());
    NoAnswer why = NoAnswer::NotAChallenge;
    auto object = HttpAuthentication::fromResponse(401, challenge("WWW-Authenticate", c.values), &why);
    if (!c.method) {
      EXPECT_EQ(object, nullptr);
      EXPECT_EQ(why, c.why);
      continue;
    }
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->method(), c.method);
    EXPECT_EQ(object->isValid(), nullptr);
  }
  EXPECT_EQ(HttpAuthentication::fromResponse(407, challenge("WWW-Authenticate", {"Basic realm=r"})), nullptr)
      << "a proxy challenge is read from Proxy-Authenticate";
}

const QVariantMap kAlice{{kUsernameKey, "alice"}, {kPasswordKey, "wonderland"}};

QByteArray applyOnce(HttpAuthentication& object, const char* field = "Authorization") {
  RequestHead head;
  head.url = QUrl("http://127.0.0.1/x");
  EXPECT_TRUE(object.apply(kAlice, head, "/x"));
  return head.headers.value(field);
}

TEST(HttpAuthenticationTest, DigestCountsUsesOfANonceAndTakesAStaleOneWithoutRejection) {
  auto object = HttpAuthentication::fromResponse(
      407, challenge("Proxy-Authenticate", {"Digest realm=\"r\", nonce=\"n1\", qop=\"auth\", opaque=\"o\", userhash=true"}));
  ASSERT_NE(object, nullptr);
  EXPECT_TRUE(object->isProxy());
  const QByteArray first = applyOnce(*object, "Proxy-Authorization");
  EXPECT_TRUE(first.contains("nc=00000001")) << first.constData();
  EXPECT_TRUE(first.contains("opaque=\"o\""));
  EXPECT_TRUE(first.contains("userhash=true"));
  EXPECT_FALSE(first.contains("alice")) << "the user name is hashed when the server asks";
  EXPECT_TRUE(applyOnce(*object, "Proxy-Authorization").contains("nc=00000002"));

  object->updateFromResponse(407, challenge("Proxy-Authenticate", {"Digest realm=\"r\", nonce=\"n2\", qop=auth, stale=TRUE"}));
  EXPECT_EQ(object->isValid(), nullptr);
  const QByteArray again = applyOnce(*object, "Proxy-Authorization");
  EXPECT_TRUE(again.contains("nonce=\"n2\"") && again.contains("nc=00000001")) << again.constData();

  object->updateFromResponse(407, challenge("Proxy-Authenticate", {"Digest realm=\"r\", nonce=\"n3\", qop=auth"}));
  ASSERT_NE(object->isValid(), nullptr);
  EXPECT_EQ(object->isValid()->code(), BadPasswordError);
}

TEST(HttpAuthenticationTest, BasicIsRefusedByASecondChallenge) {
  auto object = HttpAuthentication::fromResponse(401, challenge("WWW-Authenticate", {"Basic realm=\"r\""}));
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->realm(), "r");
  EXPECT_EQ(applyOnce(*object), "Basic YWxpY2U6d29uZGVybGFuZA==");
  object->updateFromResponse(401, challenge("WWW-Authenticate", {"Basic realm=\"r\""}));
  ASSERT_NE(object->isValid(), nullptr);
  EXPECT_EQ(object->isValid()->code(), BadPasswordError);
  RequestHead head;
  EXPECT_FALSE(object->apply(kAlice, head, "/")) << "an invalid exchange applies nothing";
}

TEST(HttpAuthenticationTest, NtlmNegotiatesThenAnswersAndTakesAFreshBareChallengeAsRefusal) {
  auto object = HttpAuthentication::fromResponse(401, challenge("WWW-Authenticate", {"Negotiate", "NTLM"}));
  ASSERT_NE(object, nullptr);
  EXPECT_TRUE(object->requiresAccountDomain());
  EXPECT_EQ(object->realm(), "");
  const QByteArray negotiate = applyOnce(*object);
  EXPECT_TRUE(negotiate.startsWith("NTLM TlRMTVNTUAABAAAA")) << negotiate.constData();
  // A challenge message: header of 48 bytes, no target info.
  QByteArray type2("NTLMSSP\0\2\0\0\0", 12);
  type2 += QByteArray(36, '\0');
  type2[16] = 48;
  object->updateFromResponse(401, challenge("WWW-Authenticate", {("NTLM " + type2.toBase64()).constData()}));
  EXPECT_EQ(object->isValid(), nullptr);
  EXPECT_TRUE(applyOnce(*object).startsWith("NTLM TlRMTVNTUAADAAAA"));
  object->updateFromResponse(401, challenge("WWW-Authenticate", {"NTLM"}));
  ASSERT_NE(object->isValid(), nullptr);
  EXPECT_EQ(object->isValid()->code(), BadPasswordError);

  auto hostile = HttpAuthentication::fromResponse(401, challenge("WWW-Authenticate", {"NTLM"}));
  applyOnce(*hostile);
  hostile->updateFromResponse(401, challenge("WWW-Authenticate", {("NTLM " + type2.left(20).toBase64()).constData()}));
  ASSERT_NE(hostile->isValid(), nullptr);
  EXPECT_EQ(hostile->isValid()->code(), UnsupportedChallengeError);
}

}  // namespace
