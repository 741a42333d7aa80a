// Fetching and writing JSON documents.
#include "updater/json_dictionary.h"

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

TEST(JsonDictionaryTest, DictionariesAreWrittenCompactly) {
  EXPECT_EQ(updater::toJSON({}), QByteArray("{}"));
  EXPECT_EQ(updater::toJSON({{"a", 1}, {"b", QVariantList{"x"}}}), QByteArray(R"({"a":1,"b":["x"]})"));
}

}  // namespace
