// Reading response heads: the length as a decimal number, the keep-alive terms, the encoding,
// and the texts of many heads in a row.
#include "http/header_dictionary.h"
#include "http/http_request.h"
#include "http/transport/response_parser.h"

#include "support/test_http_server.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using http::HTTPRequest;
using testsupport::HttpResponse;
using testsupport::TestHttpServer;

TEST(ResponseHeadersTest, ContentLengthIsReadAsADecimalNumber) {
  TestHttpServer server;
  server.route("/", HttpResponse::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: 010\r\n\r\n0123456789"));
  auto request = HTTPRequest::requestWithURL(server.url("/"));
  request->startSynchronous();
  ASSERT_EQ(request->error(), nullptr);
  EXPECT_EQ(request->contentLength(), 10u);
  EXPECT_EQ(request->responseData(), "0123456789");
}

TEST(ResponseHeadersTest, KeepAliveTermsDecideWhetherTheConnectionIsReused) {
  struct Case {
    const char* name;
    QByteArray version;
    QByteArray connection;  // empty: no field
    QByteArray keepAlive;   // empty: no field
    bool reusable;
    double timeout;
  };
  const Case cases[] = {
      {"1.1 plain", "HTTP/1.1", "", "", true, 60},
      {"timeout and max", "HTTP/1.1", "", "timeout=15, max=100", true, 15},
      {"max of five", "HTTP/1.1", "", "timeout=15, max=5", false, 60},
      {"close", "HTTP/1.1", "close", "", false, 60},
      {"1.0 plain", "HTTP/1.0", "", "", false, 60},
      {"1.0 keep-alive", "HTTP/1.0", "Keep-Alive", "", true, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestHttpServer server;
    HttpResponse response = HttpResponse::ok("body");
    response.version = c.version;
    if (c.connection == "close") {
      response.closing();  // sends "Connection: close"
    } else if (!c.connection.isEmpty()) {
      response.withHeader("Connection", c.connection);
    }
    if (!c.keepAlive.isEmpty()) response.withHeader("Keep-Alive", c.keepAlive);
    server.route("/", response);
    auto request = HTTPRequest::requestWithURL(server.url("/"));
    request->startSynchronous();
    ASSERT_EQ(request->error(), nullptr);
    EXPECT_EQ(request->connectionCanBeReused(), c.reusable);
    EXPECT_DOUBLE_EQ(request->persistentConnectionTimeoutSeconds(), c.timeout);
    // The decision holds on the wire: the next request takes the same socket only when allowed.
    auto next = HTTPRequest::requestWithURL(server.url("/"));
    next->startSynchronous();
    ASSERT_EQ(next->error(), nullptr);
    EXPECT_EQ(server.connectionCount(), c.reusable ? 1 : 2);
  }
}

TEST(ResponseHeadersTest, TheCharsetOfTheContentTypeDecodesTheText) {
  TestHttpServer server;
  server.route("/latin", HttpResponse::ok("caf\xe9"));
  server.route("/utf8", HttpResponse::ok("caf\xc3\xa9").withHeader("Content-Type", "text/plain; charset=UTF-8"));
  auto latin = HTTPRequest::requestWithURL(server.url("/latin"));
  latin->startSynchronous();
  auto utf8 = HTTPRequest::requestWithURL(server.url("/utf8"));
  utf8->startSynchronous();
  EXPECT_EQ(latin->responseEncoding(), http::ISOLatin1StringEncoding);
  EXPECT_EQ(latin->responseString(), QStringLiteral("caf\u00e9"));
  EXPECT_EQ(utf8->responseString(), QStringLiteral("caf\u00e9"));
}

TEST(ResponseHeadersTest, StatusCodesAreNotErrors) {
  TestHttpServer server;
  auto request = HTTPRequest::requestWithURL(server.url("/missing"));
  request->startSynchronous();
  EXPECT_EQ(request->error(), nullptr);
  EXPECT_EQ(request->responseStatusCode(), 404);
  EXPECT_EQ(request->responseStatusMessage(), QStringLiteral("HTTP/1.1 404 Not Found"));
}

TEST(ResponseHeadersTest, HeadsInARowEachKeepTheirOwnTexts) {
  // Texts repeat between heads and are shared; these differ only in the middle (alike to a quick
  // look) or are changed after sharing (a folded line, a repeated field), and each head must
  // still read as it was received.
  std::vector<http::transport::ResponseHead> heads;
  for (int i = 0; i < 600; ++i) {
    const QByteArray id = "aaaaaaaa" + QByteArray::number(100 + i % 300) + "bbbbbbbb";
    QByteArray wire = "HTTP/1.1 200 OK\r\nX-Id: " + id + "\r\nx-ID: " + id + "\r\nFolded: first\r\n";
    if (i % 2 == 1) wire += "  second\r\n";
    wire += "Content-Length: 0\r\n\r\n";
    http::transport::ResponseParser parser;
    std::vector<http::transport::BodyPiece> body;
    parser.feed(wire, body);
    ASSERT_TRUE(parser.isDone()) << i;
    heads.push_back(parser.head());
  }
  for (int i = 0; i < 600; ++i) {
    const QString id = QStringLiteral("aaaaaaaa%1bbbbbbbb").arg(100 + i % 300);
    const QString folded = i % 2 == 1 ? QStringLiteral("first second") : QStringLiteral("first");
    EXPECT_EQ(heads[i].headers.value("Folded"), folded.toLatin1()) << i;
    const platform::StringMap dictionary = http::headerDictionary(heads[i].headers);
    EXPECT_EQ(dictionary.value(QStringLiteral("X-Id")), id + QStringLiteral(", ") + id) << i;
    EXPECT_EQ(dictionary.value(QStringLiteral("Folded")), folded) << i;
    EXPECT_EQ(dictionary.value(QStringLiteral("Content-Length")), QStringLiteral("0")) << i;
  }
}

}  // namespace
