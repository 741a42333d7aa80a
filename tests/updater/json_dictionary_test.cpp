// Fetching and writing JSON documents.
#include "updater/json_dictionary.h"

#include "http/transport/simple_loader.h"
#include "support/test_http_server.h"

#include <QVariantList>
#include <gtest/gtest.h>

namespace {

using testsupport::HttpResponse;

TEST(JsonDictionaryTest, TheTopLevelValueComesBackAsItIs) {
  testsupport::TestHttpServer server;
  server.route("/object.json", HttpResponse::ok(R"({"plughttpaddr":"http://x/","extra":1})"));
  server.route("/array.json", HttpResponse::ok(R"([1,2,3])"));
  server.route("/broken.json", HttpResponse::ok(R"({"a":)"));
  server.route("/scalar.json", HttpResponse::ok(R"("just text")"));
  const QVariant object = updater::dictionaryWithContentsOfURLString(server.url("/object.json").toString());
  EXPECT_EQ(object.toMap().value("plughttpaddr").toString(), QStringLiteral("http://x/"));
  const QVariant array = updater::dictionaryWithContentsOfURLString(server.url("/array.json").toString());
  EXPECT_EQ(array.toList().size(), 3);
  EXPECT_TRUE(updater::dictionaryWithContentsOfURLString(server.url("/broken.json").toString()).isNull());
  EXPECT_TRUE(updater::dictionaryWithContentsOfURLString(server.url("/scalar.json").toString()).isNull());
  EXPECT_TRUE(updater::dictionaryWithContentsOfURLString(server.url("/missing.json").toString()).isNull());
  EXPECT_TRUE(updater::dictionaryWithContentsOfURLString(QString()).isNull());
  EXPECT_TRUE(updater::dictionaryWithContentsOfURLString(QStringLiteral("::not a url")).isNull());
}

TEST(JsonDictionaryTest, OnlyWebAddressesAreRead) {
  for (const char* url : {"file:///dev/zero", "file:///etc/hostname", "ftp://127.0.0.1/x.json", "data:,{}",
                          "/etc/hostname", "http:///no-host.json"}) {
    SCOPED_TRACE(url);
    QString why;
    EXPECT_FALSE(updater::documentWithContentsOfURLString(QString::fromLatin1(url), &why).has_value());
    EXPECT_FALSE(why.isEmpty());
    EXPECT_TRUE(updater::dictionaryWithContentsOfURLString(QString::fromLatin1(url)).isNull());
  }
}

TEST(JsonDictionaryTest, ALoadStopsAtItsSizeLimit) {
  testsupport::TestHttpServer server;
  const QByteArray body(3000, ' ');
  server.route("/length", HttpResponse::ok(body));
  server.route("/chunked", HttpResponse::ok(body).chunked(100));
  server.route("/until-close", HttpResponse::ok(body).untilClose());
  for (const char* path : {"/length", "/chunked", "/until-close"}) {
    SCOPED_TRACE(path);
    QString why;
    const QUrl url = server.url(QString::fromLatin1(path));
    EXPECT_FALSE(http::transport::SimpleLoader::load(url, &why, 10, 2999).has_value());
    EXPECT_TRUE(why.contains("longer than 2999 bytes")) << why.toStdString();
    EXPECT_EQ(http::transport::SimpleLoader::load(url, nullptr, 10, 3000), body);
  }
}

TEST(JsonDictionaryTest, DictionariesAreWrittenCompactly) {
  EXPECT_EQ(updater::toJSON({}), QByteArray("{}"));
  EXPECT_EQ(updater::toJSON({{"a", 1}, {"b", QVariantList{"x"}}}), QByteArray(R"({"a":1,"b":["x"]})"));
}

}  // namespace
