// S3 requests without a server: the URLs and canonical resources they build, key escaping, the
// request date, and signatures checked against Python's hmac over the expected string to sign.
#include "cloud/s3/s3_bucket_request.h"
#include "cloud/s3/s3_object_request.h"
#include "cloud/s3/s3_service_request.h"

#include <QProcess>
#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

using namespace cloud::s3;

const QString kDate = QStringLiteral("Tue, 8 Dec 2026 10:00:00 +0000");

// The version-2 signature of `text` with `secret`, computed by Python's hmac module.
QString pythonSignature(const QString& secret, const QString& text) {
  QProcess python;
  python.start(QStringLiteral("/usr/bin/python3"),
               {QStringLiteral("-c"),
                QStringLiteral("import base64,hmac,hashlib,sys;"
                               "print(base64.b64encode(hmac.new(sys.argv[1].encode(),sys.argv[2].encode(),"
                               "hashlib.sha1).digest()).decode())"),
                secret, text});
  if (!python.waitForFinished(30000)) return QStringLiteral("python did not answer");
  return QString::fromUtf8(python.readAllStandardOutput()).trimmed();
}

class S3SigningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    S3Request::setS3Host(QStringLiteral("store.test:9000"));
    S3Request::setSharedAccessKey(QStringLiteral("AKID"));
    S3Request::setSharedSecretAccessKey(QStringLiteral("s3cr3t/+key"));
    S3Request::setUsesPathStyleAddressing(false);
  }
  void TearDown() override { S3Request::setUsesPathStyleAddressing(false); }

  // Signs `request` with the fixed date and checks its Authorization against Python's.
  void expectSigned(S3Request& request, const QString& expectedStringToSign) {
    request.setDateString(kDate);
    request.buildRequestHeaders();
    EXPECT_EQ(request.stringToSign(), expectedStringToSign);
    EXPECT_EQ(request.requestHeaders().value(QStringLiteral("Authorization")),
              QStringLiteral("AWS AKID:") + pythonSignature(QStringLiteral("s3cr3t/+key"), expectedStringToSign));
    EXPECT_EQ(request.requestHeaders().value(QStringLiteral("Date")), kDate);
    for (const QString& value : request.requestHeaders()) EXPECT_FALSE(value.contains(QStringLiteral("s3cr3t")));
  }
};

TEST_F(S3SigningTest, URLsAndCanonicalResourcesInBothAddressingStyles) {
  struct Case {
    const char* what;
    std::function<std::shared_ptr<S3Request>()> make;
    bool pathStyle;
    const char* url;
    const char* resource;
  };
  const std::vector<Case> cases = {
      {"service", [] { return S3ServiceRequest::serviceRequest(); }, false, "http://store.test:9000", "/"},
      {"key with a space", [] { return S3ObjectRequest::requestWithBucket("b", "a b/c"); }, false,
       "http://b.store.test:9000/a%20b/c", "/b/a%20b/c"},
      {"key with a space, path-style", [] { return S3ObjectRequest::requestWithBucket("b", "a b/c"); }, true,
       "http://store.test:9000/b/a%20b/c", "/b/a%20b/c"},
      {"object sub-resource", [] { return S3ObjectRequest::requestWithBucket("b", "k", "acl"); }, false,
       "http://b.store.test:9000/k?acl", "/b/k?acl"},
      {"listing with prefix and max-keys",
       [] {
         auto r = S3BucketRequest::requestWithBucket("b");
         r->setPrefix("p/x y");
         r->setMaxResultCount(10);
         return r;
       },
       false, "http://b.store.test:9000?prefix=p%2Fx%20y&max-keys=10", "/b/"},
      {"listing, all parameters, path-style",
       [] {
         auto r = S3BucketRequest::requestWithBucket("b");
         r->setPrefix("p");
         r->setMarker("m&n");
         r->setDelimiter("/");
         r->setMaxResultCount(1000);
         return r;
       },
       true, "http://store.test:9000/b/?prefix=p&marker=m%26n&delimiter=%2F&max-keys=1000", "/b/"},
      {"bucket sub-resource with a marker",
       [] {
         auto r = S3BucketRequest::requestWithBucket("b", "acl");
         r->setMarker("m");
         return r;
       },
       false, "http://b.store.test:9000/?acl&marker=m", "/b/?acl"},
      {"negative page size is not sent",
       [] {
         auto r = S3BucketRequest::requestWithBucket("b");
         r->setMaxResultCount(-1);
         return r;
       },
       true, "http://store.test:9000/b/", "/b/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    S3Request::setUsesPathStyleAddressing(c.pathStyle);
    auto request = c.make();
    EXPECT_EQ(request->buildURL().toString(QUrl::FullyEncoded), QString::fromLatin1(c.url));
    EXPECT_EQ(request->canonicalResource(), QString::fromLatin1(c.resource));
  }
}

TEST_F(S3SigningTest, KeyEscaping) {
  struct Case {
    QString key;
    QString path;
  };
  const std::vector<Case> cases = {
      {"", "/"},
      {"/already/rooted", "/already/rooted"},
      {"plain-name_1.txt", "/plain-name_1.txt"},
      {"a:b?c#d[e]@f!g$h", "/a%3Ab%3Fc%23d%5Be%5D%40f%21g%24h"},
      {" &'()*+,;=\"<>%{}|\\^~`", "/%20%26%27%28%29%2A%2B%2C%3B%3D%22%3C%3E%25%7B%7D%7C%5C%5E%7E%60"},
      {QString::fromUtf8("dir/\xC3\xBC.zip"), "/dir/%C3%BC.zip"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key.toStdString());
    EXPECT_EQ(S3Request::stringByURLEncodingForS3Path(c.key), c.path);
  }
}

TEST_F(S3SigningTest, RequestDateIsUtcInTheCLocale) {
  const QDateTime date(QDate(2026, 1, 5), QTime(9, 8, 7), QTimeZone::utc());
  EXPECT_EQ(S3Request::requestDateString(date), QStringLiteral("Mon, 5 Jan 2026 09:08:07 +0000"));
  EXPECT_EQ(S3Request::requestDateString(date.toTimeZone(QTimeZone(3600 * 5))),
            QStringLiteral("Mon, 5 Jan 2026 09:08:07 +0000"));
  EXPECT_EQ(S3Request::dateFromResponseString(QStringLiteral("2026-01-05T09:08:07.000Z")), date);
}

TEST_F(S3SigningTest, GetOfAKeyWithASpace) {
  auto request = S3ObjectRequest::requestWithBucket(QStringLiteral("b"), QStringLiteral("a b/c"));
  expectSigned(*request, QStringLiteral("GET\n\n\n") + kDate + QStringLiteral("\n/b/a%20b/c"));
}

TEST_F(S3SigningTest, CopySignsItsThreeAmzHeadersInOrder) {
  auto request = S3ObjectRequest::COPYRequestFromBucket(QStringLiteral("src"), QStringLiteral("k y"),
                                                        QStringLiteral("b"), QStringLiteral("k"));
  request->setAccessPolicy(S3AccessPolicyPublicRead);
  request->setStorageClass(S3StorageClassReducedRedundancy);
  expectSigned(*request, QStringLiteral("PUT\n\n\n") + kDate +
                             QStringLiteral("\nx-amz-acl:public-read\nx-amz-copy-source:src/k%20y\n"
                                            "x-amz-storage-class:REDUCED_REDUNDANCY\n/b/k"));
  EXPECT_EQ(request->requestHeaders().value(QStringLiteral("x-amz-copy-source")), QStringLiteral("src/k%20y"));
  EXPECT_FALSE(request->requestHeaders().contains(QStringLiteral("Content-Type")));
  // A PUT without a body still announces its length.
  EXPECT_EQ(request->requestHeaders().value(QStringLiteral("Content-Length")), QStringLiteral("0"));
}

TEST_F(S3SigningTest, PutSignsItsContentType) {
  auto fromData = S3ObjectRequest::PUTRequestForData("bytes", QStringLiteral("b"), QStringLiteral("k"));
  expectSigned(*fromData, QStringLiteral("PUT\n\napplication/octet-stream\n") + kDate + QStringLiteral("\n/b/k"));
  EXPECT_EQ(fromData->requestHeaders().value(QStringLiteral("Content-Type")),
            QStringLiteral("application/octet-stream"));

  auto typed = S3ObjectRequest::PUTRequestForData("{}", QStringLiteral("b"), QStringLiteral("k.json"));
  typed->setMimeType(QStringLiteral("application/json"));
  typed->setAccessPolicy(S3AccessPolicyPrivate);
  expectSigned(*typed, QStringLiteral("PUT\n\napplication/json\n") + kDate +
                           QStringLiteral("\nx-amz-acl:private\n/b/k.json"));
}

TEST_F(S3SigningTest, ServiceListingAndKeysOfTheRequestItself) {
  auto request = S3ServiceRequest::serviceRequest();
  request->setAccessKey(QStringLiteral("OTHER"));
  request->setSecretAccessKey(QStringLiteral("s3cr3t-other"));
  request->setDateString(kDate);
  request->buildRequestHeaders();
  const QString expected = QStringLiteral("GET\n\n\n") + kDate + QStringLiteral("\n/");
  EXPECT_EQ(request->requestHeaders().value(QStringLiteral("Authorization")),
            QStringLiteral("AWS OTHER:") + pythonSignature(QStringLiteral("s3cr3t-other"), expected));
}

TEST_F(S3SigningTest, HeadAndCopiesCarryTheS3Fields) {
  auto request = S3ObjectRequest::requestWithBucket(QStringLiteral("b"), QStringLiteral("k"));
  request->setAccessKey(QStringLiteral("A2"));
  request->setSecretAccessKey(QStringLiteral("S2"));
  request->setAccessPolicy(S3AccessPolicyPublicRead);
  request->setStorageClass(S3StorageClassStandard);
  EXPECT_EQ(request->persistentConnectionTimeoutSeconds(), 20);

  auto copy = std::dynamic_pointer_cast<S3ObjectRequest>(request->copy());
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->key(), QStringLiteral("k"));
  EXPECT_EQ(copy->secretAccessKey(), QStringLiteral("S2"));
  EXPECT_EQ(copy->accessPolicy(), S3AccessPolicyPublicRead);
  EXPECT_EQ(copy->storageClass(), S3StorageClassStandard);

  auto head = std::dynamic_pointer_cast<S3ObjectRequest>(request->HEADRequest());
  ASSERT_TRUE(head);
  EXPECT_EQ(head->requestMethod(), QStringLiteral("HEAD"));
  EXPECT_EQ(head->bucket(), QStringLiteral("b"));
  EXPECT_EQ(head->accessKey(), QStringLiteral("A2"));
}

}  // namespace
