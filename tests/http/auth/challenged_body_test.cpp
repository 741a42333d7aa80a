// A challenged request with a body sends the whole body again with its credentials: a PUT of a
// file (the caller's own and a temporary body file) answered with Basic, Digest and NTLM
// challenges, the server receiving every byte on the attempt that succeeds.
#include "http/http_request.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"

#include <gtest/gtest.h>

namespace {

using http::HTTPRequest;
using testsupport::HttpResponse;
using testsupport::RecordedRequest;
using testsupport::TestHttpServer;

QByteArray ntlmChallengeMessage() {
  QByteArray m("NTLMSSP\0\2\0\0\0", 12);
  m += QByteArray(36, '\0');
  m[16] = 48;
  m[20] = 1;  // Unicode
  m.replace(24, 8, QByteArray::fromHex("0123456789abcdef"));
  return "NTLM " + m.toBase64();
}

TEST(ChallengedBodyTest, APutOfAFileResendsTheWholeBodyWithItsCredentials) {
  QByteArray body(300 * 1024 + 7, '\0');
  for (qsizetype i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 131 % 251);
  const struct {
    const char* name;
    QByteArray challenge;
    bool ownFile;
    int attempts;  // requests the server sees
  } cases[] = {
      {"Basic, caller's file", "Basic realm=\"r\"", true, 2},
      {"Digest, temporary body file", "Digest realm=\"r\", nonce=\"abc\", qop=\"auth\"", false, 2},
      {"NTLM, caller's file", "NTLM", true, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HTTPRequest::clearSessionCredentials();
    TestHttpServer server;
    server.setHandler([&](const RecordedRequest& sent) -> std::optional<HttpResponse> {
      const QByteArray auth = sent.header("Authorization");
      const bool ntlm = QByteArray(c.challenge) == "NTLM";
      if (auth.isEmpty()) return HttpResponse::withStatus(401, "Unauthorized").withHeader("WWW-Authenticate", c.challenge);
      if (ntlm && auth.startsWith("NTLM TlRMTVNTUAAB")) {
        return HttpResponse::withStatus(401, "Unauthorized").withHeader("WWW-Authenticate", ntlmChallengeMessage());
      }
      return HttpResponse::ok("stored");
    });
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "upload.bin", body.toStdString());
    auto request = HTTPRequest::requestWithURL(server.url("/upload.bin"));
    request->setRequestMethod("PUT");
    request->setShouldStreamPostDataFromDisk(true);
    const QString path = QString::fromStdString((dir / "upload.bin").string());
    if (c.ownFile) request->setPostBodyFilePath(path);
    else request->appendPostDataFromFile(path);
    request->setUsername("TESTDOM\\alice");
    request->setPassword("wonderland");
    request->startSynchronous();
    ASSERT_EQ(request->error(), nullptr) << request->error()->toString().toStdString();
    EXPECT_EQ(request->responseString(), "stored");
    const auto sent = server.requests();
    ASSERT_EQ(static_cast<int>(sent.size()), c.attempts);
    for (const auto& attempt : sent) {
      EXPECT_EQ(attempt.method, "PUT");
      EXPECT_EQ(attempt.body, body) << "every attempt carries the whole body";
    }
    EXPECT_TRUE(sent.back().hasHeader("Authorization"));
  }
}

}  // namespace
