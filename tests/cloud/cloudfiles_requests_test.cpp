// Cloud Files requests without a server: the URLs, methods and headers each constructor makes,
// and the reading of answers (headers in both spellings, listings, objects with metadata).
#include "cloud/cloudfiles/cloudfiles_cdn_request.h"
#include "cloud/cloudfiles/cloudfiles_container_request.h"
#include "cloud/cloudfiles/cloudfiles_object_request.h"

#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

using namespace cloud::cloudfiles;

const QString kStorage = QStringLiteral("http://127.0.0.1:1/v1/AUTH_test");
const QString kCDN = QStringLiteral("http://127.0.0.1:2/cdn/v1/AUTH_test");

class CloudFilesRequestsTest : public ::testing::Test {
 protected:
  void SetUp() override { CloudFilesRequest::setAccessDetails(QStringLiteral("tok"), kStorage, kCDN); }
};

TEST_F(CloudFilesRequestsTest, ConstructorsMakeTheirURLsAndMethods) {
  struct Case {
    const char* what;
    std::shared_ptr<http::HTTPRequest> request;
    const char* method;
    QString url;
  };
  const std::vector<Case> cases = {
      {"account info", CloudFilesContainerRequest::accountInfoRequest(), "HEAD", kStorage},
      {"container list", CloudFilesContainerRequest::listRequest(), "GET", kStorage + "?format=xml"},
      {"limit 0, no marker", CloudFilesContainerRequest::listRequestWithLimit(0, {}), "GET", kStorage + "?format=xml"},
      {"limit and marker", CloudFilesContainerRequest::listRequestWithLimit(5, "m n"), "GET",
       kStorage + "?format=xml&limit=5&marker=m%20n"},
      {"create", CloudFilesContainerRequest::createContainerRequest("c"), "PUT", kStorage + "/c"},
      {"delete", CloudFilesContainerRequest::deleteContainerRequest("c"), "DELETE", kStorage + "/c"},
      {"container info", CloudFilesObjectRequest::containerInfoRequest("c"), "HEAD", kStorage + "/c"},
      {"object info", CloudFilesObjectRequest::objectInfoRequest("c", "a/b c"), "HEAD", kStorage + "/c/a/b%20c"},
      {"object list", CloudFilesObjectRequest::listRequestWithContainer("c"), "GET", kStorage + "/c?format=xml"},
      {"object list, all", CloudFilesObjectRequest::listRequestWithContainer("c", 10, "a&b", "p", "dir/x"), "GET",
       kStorage + "/c?format=xml&limit=10&marker=a%26b&path=dir%2Fx&prefix=p"},
      {"get with '?' and '#'", CloudFilesObjectRequest::getObjectRequestWithContainer("c", "q?#.txt"), "GET",
       kStorage + "/c/q%3F%23.txt"},
      {"delete object", CloudFilesObjectRequest::deleteObjectRequestWithContainer("c", "o"), "DELETE", kStorage + "/c/o"},
      {"cdn list", CloudFilesCDNRequest::listRequest(), "GET", kCDN + "?format=xml"},
      {"cdn list, limit 0", CloudFilesCDNRequest::listRequestWithLimit(0, {}, false), "GET", kCDN + "?format=xml"},
      {"cdn list, limit", CloudFilesCDNRequest::listRequestWithLimit(3, "m", true), "GET",
       kCDN + "?format=xml&limit=3&marker=m&enabled_only=true"},
      {"cdn info", CloudFilesCDNRequest::containerInfoRequest("c"), "HEAD", kCDN + "/c"},
      {"cdn put", CloudFilesCDNRequest::putRequestWithContainer("c"), "PUT", kCDN + "/c"},
      {"cdn post", CloudFilesCDNRequest::postRequestWithContainer("c"), "POST", kCDN + "/c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.request->requestMethod(), QString::fromLatin1(c.method));
    EXPECT_EQ(c.request->url().toString(QUrl::FullyEncoded), c.url);
    EXPECT_EQ(c.request->requestHeaders().value(QStringLiteral("X-Auth-Token")), QStringLiteral("tok"));
  }
}

TEST_F(CloudFilesRequestsTest, PutAndPostSendMetadataHeaders) {
  const QMap<QString, QString> meta{{"Color", "red"}, {"Version", "1.2"}};
  auto put = CloudFilesObjectRequest::putObjectRequestWithContainer("c", "a/b", "text/plain", "hello", meta, {});
  EXPECT_EQ(put->requestMethod(), QStringLiteral("PUT"));
  EXPECT_EQ(put->containerName(), QStringLiteral("c"));
  EXPECT_EQ(put->postBody(), QByteArray("hello"));
  const platform::StringMap expected{{"X-Auth-Token", "tok"}, {"Content-Type", "text/plain"},
                                     {"X-Object-Meta-Color", "red"}, {"X-Object-Meta-Version", "1.2"}};
  EXPECT_EQ(put->requestHeaders(), expected);

  auto fromFile = CloudFilesObjectRequest::putObjectRequestWithContainerFile("c", "o", "application/zip",
                                                                             "/tmp/x.zip", meta, {});
  EXPECT_TRUE(fromFile->shouldStreamPostDataFromDisk());
  EXPECT_EQ(fromFile->postBodyFilePath(), QStringLiteral("/tmp/x.zip"));
  platform::StringMap zipHeaders = expected;
  zipHeaders[QStringLiteral("Content-Type")] = QStringLiteral("application/zip");
  EXPECT_EQ(fromFile->requestHeaders(), zipHeaders);

  auto post = CloudFilesObjectRequest::postObjectRequestWithContainer("c", "a/b", {{"Author", "bob"}});
  EXPECT_EQ(post->requestHeaders(), (platform::StringMap{{"X-Auth-Token", "tok"}, {"X-Object-Meta-Author", "bob"}}));

  auto cdnPut = CloudFilesCDNRequest::putRequestWithContainer("c", 3600);
  EXPECT_EQ(cdnPut->requestHeaders().value("X-Ttl"), QStringLiteral("3600"));
  auto disable = CloudFilesCDNRequest::postRequestWithContainer("c", false, 0);
  EXPECT_FALSE(disable->requestHeaders().contains("X-Ttl"));
  EXPECT_EQ(disable->requestHeaders().value("X-CDN-Enabled"), QStringLiteral("False"));
  auto enable = CloudFilesCDNRequest::postRequestWithContainer("c", true, 60);
  EXPECT_EQ(enable->requestHeaders().value("X-Ttl"), QStringLiteral("60"));
  EXPECT_EQ(enable->requestHeaders().value("X-CDN-Enabled"), QStringLiteral("True"));
}

TEST_F(CloudFilesRequestsTest, CDNHeadersAreReadInEitherSpelling) {
  struct Case {
    platform::StringMap headers;
    bool enabled;
    quint64 ttl;
    const char* uri;
  };
  const std::vector<Case> cases = {
      {{{"X-CDN-Enabled", "True"}, {"X-TTL", "3600"}, {"X-CDN-URI", "http://u1"}}, true, 3600, "http://u1"},
      {{{"X-Cdn-Enabled", "True"}, {"X-Ttl", "60"}, {"X-Cdn-Uri", "http://u2"}}, true, 60, "http://u2"},
      {{{"X-Cdn-Enabled", "False"}}, false, 0, ""},
      {{{"X-Cdn-Enabled", "yes"}}, true, 0, ""},
      {{}, false, 0, ""},
  };
  for (const Case& c : cases) {
    auto request = CloudFilesCDNRequest::containerInfoRequest("c");
    request->setResponseHeaders(c.headers);
    EXPECT_EQ(request->cdnEnabled(), c.enabled);
    EXPECT_EQ(request->cdnTTL(), c.ttl);
    EXPECT_EQ(request->cdnURI(), QString::fromLatin1(c.uri));
  }
}

TEST_F(CloudFilesRequestsTest, ContainerListingsFlagsOnlyForTrueInCapitals) {
  auto request = CloudFilesCDNRequest::listRequest();
  request->setRawResponseData(QByteArray(R"(<?xml version="1.0"?><account name="AUTH_test">
    <container><name>one</name><cdn_enabled>True</cdn_enabled><ttl>3600</ttl><cdn_url>http://u</cdn_url>
      <log_retention>true</log_retention><referrer_acl>r</referrer_acl><useragent_acl>ua</useragent_acl></container>
    <container><name>two</name><cdn_enabled>true</cdn_enabled><count>7</count><bytes>9000000000</bytes>
      <log_retention>True</log_retention></container></account>)"));
  const auto containers = request->containers();
  ASSERT_EQ(containers.size(), 2);
  EXPECT_EQ(containers[0]->name, QStringLiteral("one"));
  EXPECT_TRUE(containers[0]->cdnEnabled);
  EXPECT_FALSE(containers[0]->logRetention);
  EXPECT_EQ(containers[0]->ttl, 3600u);
  EXPECT_EQ(containers[0]->cdnURL, QStringLiteral("http://u"));
  EXPECT_EQ(containers[0]->referrerACL, QStringLiteral("r"));
  EXPECT_EQ(containers[0]->useragentACL, QStringLiteral("ua"));
  EXPECT_FALSE(containers[1]->cdnEnabled);
  EXPECT_TRUE(containers[1]->logRetention);
  EXPECT_EQ(containers[1]->count, 7u);
  EXPECT_EQ(containers[1]->bytes, 9000000000ULL);
  // Read once: the same records come back.
  EXPECT_EQ(request->containers()[0], containers[0]);
}

TEST_F(CloudFilesRequestsTest, ListingsRefuseDocumentTypeDeclarations) {
  auto request = CloudFilesContainerRequest::listRequest();
  request->setRawResponseData(QByteArray(R"(<!DOCTYPE a [<!ENTITY x "expanded">]><account>
    <container><name>&x;</name></container></account>)"));
  EXPECT_TRUE(request->containers().isEmpty());

  auto objects = CloudFilesObjectRequest::listRequestWithContainer("c");
  objects->setRawResponseData(QByteArray(R"(<!DOCTYPE a [<!ENTITY x "expanded">]><container>
    <object><name>&x;</name></object></container>)"));
  EXPECT_TRUE(objects->objects().isEmpty());
}

TEST_F(CloudFilesRequestsTest, ObjectListingReadsEveryField) {
  auto request = CloudFilesObjectRequest::listRequestWithContainer("c");
  request->setRawResponseData(QByteArray(R"(<?xml version="1.0"?><container name="c">
    <object><name>dir/a.txt</name><hash>5d41402abc4b2a76b9719d911017c592</hash><bytes>5</bytes>
      <content_type>text/plain</content_type><last_modified>2026-12-08T10:20:52.123456</last_modified></object>
    <subdir name="dir/sub/"><name>dir/sub/</name></subdir></container>)"));
  const auto objects = request->objects();
  ASSERT_EQ(objects.size(), 1);
  EXPECT_EQ(objects[0]->name, QStringLiteral("dir/a.txt"));
  EXPECT_EQ(objects[0]->hash, QStringLiteral("5d41402abc4b2a76b9719d911017c592"));
  EXPECT_EQ(objects[0]->bytes, 5u);
  EXPECT_EQ(objects[0]->contentType, QStringLiteral("text/plain"));
  EXPECT_EQ(objects[0]->lastModified,
            QDateTime(QDate(2026, 12, 8), QTime(10, 20, 52, 123), QTimeZone::utc()));
}

TEST_F(CloudFilesRequestsTest, ObjectReadBackFromHeaders) {
  struct Case {
    const char* container;
    const char* path;
    const char* name;
  };
  // A container named like a part of the account path still yields the right name.
  for (const Case& c : std::vector<Case>{{"c", "a/b", "a/b"}, {"test", "x/test/y", "x/test/y"}, {"c", "a b", "a b"}}) {
    SCOPED_TRACE(c.path);
    auto request = CloudFilesObjectRequest::getObjectRequestWithContainer(c.container, c.path);
    request->setResponseHeaders(platform::StringMap{{"Etag", "abc"},
                                                    {"Content-Length", "5"},
                                                    {"Content-Type", "text/plain"},
                                                    {"Last-Modified", "Tue, 08 Dec 2026 10:20:52 GMT"},
                                                    {"X-Object-Meta-Color", "red"},
                                                    {"X-Object-Meta-", "empty name"},
                                                    {"X-Container-Meta-Other", "no"}});
    request->setRawResponseData(QByteArray("hello"));
    const auto object = request->object();
    EXPECT_EQ(object->name, QString::fromLatin1(c.name));
    EXPECT_EQ(object->hash, QStringLiteral("abc"));
    EXPECT_EQ(object->bytes, 5u);
    EXPECT_EQ(object->contentType, QStringLiteral("text/plain"));
    EXPECT_EQ(object->lastModified, QDateTime(QDate(2026, 12, 8), QTime(10, 20, 52), QTimeZone::utc()));
    EXPECT_EQ(object->metadata, (QMap<QString, QString>{{"Color", "red"}, {"", "empty name"}}));
    EXPECT_EQ(object->data, QByteArray("hello"));
  }
}

}  // namespace
