// The engine's utilities: Base64, HTTP dates, expiry dates, Content-Type parsing, MIME types of
// files and the default User-Agent.
#include "http/http_request.h"

#include "support/temp_dir.h"
#include "support/test_http_server.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

namespace {

using http::HTTPRequest;

TEST(UtilitiesTest, Base64PadsShortGroups) {
  EXPECT_EQ(HTTPRequest::base64forData(""), QString());
  EXPECT_EQ(HTTPRequest::base64forData("M"), QStringLiteral("TQ=="));
  EXPECT_EQ(HTTPRequest::base64forData("Ma"), QStringLiteral("TWE="));
  EXPECT_EQ(HTTPRequest::base64forData("Man"), QStringLiteral("TWFu"));
  EXPECT_EQ(HTTPRequest::base64forData(QByteArray("\xff\xfe\x00", 3)), QStringLiteral("//4A"));
}

TEST(UtilitiesTest, HttpDatesParseOnlyInTheirTwoLayouts) {
  const QDateTime expected(QDate(1994, 11, 6), QTime(8, 49, 37), Qt::UTC);
  EXPECT_EQ(HTTPRequest::dateFromRFC1123String("Sun, 06 Nov 1994 08:49:37 GMT"), expected);
  EXPECT_EQ(HTTPRequest::dateFromRFC1123String("06 Nov 1994 08:49 GMT"),
            QDateTime(QDate(1994, 11, 6), QTime(8, 49), Qt::UTC));
  EXPECT_FALSE(HTTPRequest::dateFromRFC1123String("Sunday, 06-Nov-94 08:49:37 GMT").isValid());
  EXPECT_FALSE(HTTPRequest::dateFromRFC1123String("Sun Nov  6 08:49:37 1994").isValid());
  EXPECT_FALSE(HTTPRequest::dateFromRFC1123String("yesterday").isValid());
}

TEST(UtilitiesTest, ContentTypesSplitIntoMimeTypeAndEncoding) {
  struct Case {
    QString contentType;
    QString mime;
    http::StringEncoding encoding;
  };
  const Case cases[] = {
      {"text/html; charset=UTF-8", "text/html", http::UTF8StringEncoding},
      {"text/html", "text/html", 99},
      {" text/plain ;charset=iso-8859-1", "text/plain", http::ISOLatin1StringEncoding},
      {"text/html; Charset=UTF-8", "text/html", 99},
      {"text/html; charset=no-such-set", "text/html", 99},
      {"text/css; charset=gb2312; x=y", "text/css", 0x80000930},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.contentType.toStdString());
    QString mime;
    http::StringEncoding encoding = 99;
    HTTPRequest::parseMimeType(&mime, &encoding, c.contentType);
    EXPECT_EQ(mime, c.mime);
    EXPECT_EQ(encoding, c.encoding);
  }
}

TEST(UtilitiesTest, ExpiryComesFromMaxAgeThenExpires) {
  testsupport::TestHttpServer server;
  server.route("/age", testsupport::HttpResponse::ok("x").withHeader("Cache-Control", "no-cache, Max-Age=60"));
  server.route("/expires", testsupport::HttpResponse::ok("x")
                               .withHeader("Cache-Control", "max-age=0")
                               .withHeader("Expires", "Sun, 06 Nov 2094 08:49:37 GMT"));
  server.route("/none", testsupport::HttpResponse::ok("x"));
  auto age = HTTPRequest::requestWithURL(server.url("/age"));
  age->startSynchronous();
  const QDateTime now = QDateTime::currentDateTimeUtc();
  const qint64 ahead = now.secsTo(HTTPRequest::expiryDateForRequest(*age, 0));
  EXPECT_NEAR(ahead, 60, 2);
  EXPECT_NEAR(now.secsTo(HTTPRequest::expiryDateForRequest(*age, 10)), 10, 2) << "a given age wins";
  auto expires = HTTPRequest::requestWithURL(server.url("/expires"));
  expires->startSynchronous();
  EXPECT_EQ(HTTPRequest::expiryDateForRequest(*expires, 0),
            QDateTime(QDate(2094, 11, 6), QTime(8, 49, 37), Qt::UTC));
  auto none = HTTPRequest::requestWithURL(server.url("/none"));
  none->startSynchronous();
  EXPECT_FALSE(HTTPRequest::expiryDateForRequest(*none, 0).isValid());
}

TEST(UtilitiesTest, MimeTypesOfFilesComeFromTheirExtension) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "page.html", "<html/>");
  testsupport::writeFile(dir / "blob.unknownext", "x");
  EXPECT_EQ(HTTPRequest::mimeTypeForFileAtPath(QString::fromStdString((dir / "page.html").string())),
            QStringLiteral("text/html"));
  EXPECT_EQ(HTTPRequest::mimeTypeForFileAtPath(QString::fromStdString((dir / "blob.unknownext").string())),
            QStringLiteral("application/octet-stream"));
  EXPECT_TRUE(HTTPRequest::mimeTypeForFileAtPath(QString::fromStdString((dir / "missing.txt").string())).isNull());
}

TEST(UtilitiesTest, TheDefaultUserAgentNamesTheApplicationMachineAndLocale) {
  HTTPRequest::setDefaultUserAgentString(QString());
  const QString name = QCoreApplication::applicationName();
  QCoreApplication::setApplicationName(QStringLiteral("Up\u00e9dater"));
  const QString agent = HTTPRequest::defaultUserAgentString();
  QCoreApplication::setApplicationName(name);
  // The name's UTF-8 bytes, each shown as one Latin-1 character.
  EXPECT_TRUE(agent.startsWith(QStringLiteral("Up\u00c3\u00a9dater 1.0 (X11; Linux "))) << agent.toStdString();
  EXPECT_TRUE(agent.endsWith(QStringLiteral("; ") + QLocale::system().name() + QStringLiteral(")")));
  EXPECT_EQ(HTTPRequest::defaultUserAgentString(), agent) << "built once, then kept";

  HTTPRequest::setDefaultUserAgentString(QStringLiteral("Fixed/1"));
  EXPECT_EQ(HTTPRequest::defaultUserAgentString(), QStringLiteral("Fixed/1"));
  HTTPRequest::setDefaultUserAgentString(QString());
}

}  // namespace
