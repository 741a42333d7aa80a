// Challenges from a misbehaving server: malformed, oversized, unanswerable or endless. Each
// fails the request with an error (never a success, never a loop) after a bounded number of
// attempts.
#include "http/http_request.h"
#include "support/test_http_server.h"

#include <gtest/gtest.h>

#include <QtEndian>

namespace {

using http::HTTPRequest;
using testsupport::HttpResponse;
using testsupport::RecordedRequest;
using testsupport::TestHttpServer;

HttpResponse challenge(const QByteArray& value) {
  return HttpResponse::withStatus(401, "Unauthorized", "no").withHeader("WWW-Authenticate", value);
}

QByteArray ntlmChallengeMessage(bool hostile) {
  QByteArray m("NTLMSSP\0\2\0\0\0", 12);
  m += QByteArray(36, '\0');
  m[16] = 48;
  m.replace(24, 8, QByteArray::fromHex("0123456789abcdef"));
  if (hostile) {
    qToLittleEndian<quint16>(0x4000, m.data() + 40);  // target info far past the end
    qToLittleEndian<quint32>(40, m.data() + 44);
  }
  return "NTLM " + m.toBase64();
}

TEST(HostileChallengeTest, FailsWithAnErrorAfterBoundedAttempts) {
  const struct {
    const char* name;
    // Answer for the n-th request (1-based) given what it sent.
    std::function<HttpResponse(int n, const RecordedRequest&)> answer;
    int code;          // expected error code
    int maxRequests;   // attempts allowed before giving up
  } cases[] = {
      {"unterminated quoted string", [](int, auto&) { return challenge("Basic realm=\"open"); }, 7, 1},
      {"40 KB challenge", [](int, auto&) { return challenge("Basic realm=\"" + QByteArray(40000, 'a') + "\""); }, 7, 1},
      {"100 KB head is refused by the transport",
       [](int, auto&) { return challenge("Basic realm=\"" + QByteArray(100000, 'a') + "\""); }, 1, 2},
      {"unknown algorithm", [](int, auto&) { return challenge("Digest realm=r, nonce=n, algorithm=SHA-512-256"); }, 7, 1},
      {"missing nonce", [](int, auto&) { return challenge("Digest realm=r, qop=auth"); }, 7, 1},
      {"only auth-int", [](int, auto&) { return challenge("Digest realm=r, nonce=n, qop=auth-int"); }, 7, 1},
      {"only a scheme this engine does not speak", [](int, auto&) { return challenge("Swift realm=\"store\""); }, 3, 1},
      {"NTLM challenge message pointing outside itself",
       [](int n, auto&) { return challenge(n == 1 ? QByteArray("NTLM") : ntlmChallengeMessage(true)); }, 3, 2},
      {"NTLM server that never accepts",
       [](int n, auto&) { return challenge(n == 1 ? QByteArray("NTLM") : ntlmChallengeMessage(false)); }, 3, 3},
      {"Basic server that never accepts", [](int, auto&) { return challenge("Basic realm=r"); }, 3, 3},
      {"Digest server whose nonce is always stale",
       [](int n, auto&) {
         return challenge("Digest realm=r, qop=auth, stale=true, nonce=n" + QByteArray::number(n));
       },
       3, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestHttpServer server;
    int count = 0;
    server.setHandler([&](const RecordedRequest& sent) -> std::optional<HttpResponse> {
      return c.answer(++count, sent);
    });
    auto request = HTTPRequest::requestWithURL(server.url("/secret"));
    request->setUsername("alice");
    request->setPassword("wonderland");
    request->setUseSessionPersistence(false);
    request->startSynchronous();
    ASSERT_NE(request->error(), nullptr) << "a challenge that cannot be met never ends in success";
    EXPECT_EQ(request->error()->code(), c.code) << request->error()->toString().toStdString();
    EXPECT_LE(server.requestCount(), c.maxRequests);
    if (c.code == 7) {
      EXPECT_EQ(request->error()->localizedDescription(), "Failed to get authentication object from response headers");
    }
  }
}

}  // namespace
