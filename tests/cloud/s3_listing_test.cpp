// Reading S3 answers without a server: bucket and service listings, error documents, refusals
// without a body, and hostile documents (entities are never expanded or fetched).
#include "cloud/s3/s3_bucket_request.h"
#include "cloud/s3/s3_service_request.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace {

using namespace cloud::s3;

// Gives `request` a finished answer and reads it; true when it would be reported as finished.
bool answer(S3Request& request, int status, const QByteArray& body,
            const QString& contentType = QStringLiteral("application/xml")) {
  request.setResponseStatusCode(status);
  request.setResponseHeaders(platform::StringMap{{QStringLiteral("Content-Type"), contentType}});
  request.setRawResponseData(body);
  return request.handleResponse();
}

const QByteArray kListing = R"(<?xml version="1.0" encoding="UTF-8"?>
<ListBucketResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/">
  <Name>b</Name><Prefix>addons/</Prefix><Marker></Marker><MaxKeys>2</MaxKeys>
  <Delimiter>/</Delimiter><IsTruncated>true</IsTruncated>
  <Contents><Key>addons/a &amp; b.zip</Key><LastModified>2026-01-05T09:08:07.000Z</LastModified>
    <ETag>"0cc175b9c0f1b6a831c399e269772661"</ETag><Size>5000000000</Size>
    <Owner><ID>test:tester</ID><DisplayName>tester</DisplayName></Owner>
    <StorageClass>STANDARD</StorageClass></Contents>
  <Contents><Key>addons/b.zip</Key><LastModified>2026-01-06T00:00:00.000Z</LastModified>
    <ETag>"x"</ETag><Size>1</Size></Contents>
  <CommonPrefixes><Prefix>addons/sub/</Prefix></CommonPrefixes>
  <CommonPrefixes><Prefix>addons/zz/</Prefix></CommonPrefixes>
</ListBucketResult>)";

TEST(S3ListingTest, BucketListingReadsObjectsPrefixesAndTruncation) {
  auto request = S3BucketRequest::requestWithBucket(QStringLiteral("b"));
  EXPECT_TRUE(answer(*request, 200, kListing));
  EXPECT_FALSE(request->error());
  ASSERT_EQ(request->objects().size(), 2);
  const auto& first = *request->objects()[0];
  EXPECT_EQ(first.bucket, QStringLiteral("b"));
  EXPECT_EQ(first.key, QStringLiteral("addons/a & b.zip"));
  EXPECT_EQ(first.size, 5000000000ULL);
  EXPECT_EQ(first.ETag, QStringLiteral("\"0cc175b9c0f1b6a831c399e269772661\""));
  EXPECT_EQ(first.ownerID, QStringLiteral("test:tester"));
  EXPECT_EQ(first.ownerName, QStringLiteral("tester"));
  EXPECT_EQ(first.description(),
            QStringLiteral("Key: addons/a & b.zip lastModified: 2026-01-05 09:08:07 +0000 ETag: "
                           "\"0cc175b9c0f1b6a831c399e269772661\" size: 5000000000 ownerID: test:tester "
                           "ownerName: tester"));
  EXPECT_EQ(request->objects()[1]->size, 1u);
  // The listing's own Prefix is not a common prefix.
  EXPECT_EQ(request->commonPrefixes(), (QStringList{"addons/sub/", "addons/zz/"}));
  EXPECT_TRUE(request->isTruncated());
  EXPECT_TRUE(request->currentXMLElementStack().isEmpty());
}

TEST(S3ListingTest, IsTruncatedOnlyForExactlyTrue) {
  for (const char* text : {"True", "TRUE", "1", " true", "false"}) {
    SCOPED_TRACE(text);
    auto request = S3BucketRequest::requestWithBucket(QStringLiteral("b"));
    answer(*request, 200, QByteArray("<ListBucketResult><IsTruncated>") + text + "</IsTruncated></ListBucketResult>");
    EXPECT_FALSE(request->isTruncated());
  }
}

TEST(S3ListingTest, ServiceListingGivesBucketsTheirOwner) {
  auto request = S3ServiceRequest::serviceRequest();
  EXPECT_TRUE(answer(*request, 200, R"(<ListAllMyBucketsResult><Owner><ID>o1</ID><DisplayName>Owner One</DisplayName></Owner>
    <Buckets><Bucket><Name>first</Name><CreationDate>2026-01-05T09:08:07.000Z</CreationDate></Bucket>
    <Bucket><Name>second</Name><CreationDate>bad date</CreationDate></Bucket></Buckets></ListAllMyBucketsResult>)"));
  ASSERT_EQ(request->buckets().size(), 2);
  EXPECT_EQ(request->buckets()[0]->description(),
            QStringLiteral("Name: first creationDate: 2026-01-05 09:08:07 +0000 ownerID: o1 ownerName: Owner One"));
  EXPECT_EQ(request->buckets()[1]->name, QStringLiteral("second"));
  EXPECT_FALSE(request->buckets()[1]->creationDate.isValid());
  EXPECT_EQ(request->ownerName(), QStringLiteral("Owner One"));
}

TEST(S3ListingTest, FailuresCarryTheServiceMessageOrTheStatus) {
  struct Case {
    const char* what;
    int status;
    QByteArray body;
    QString contentType;
    qint64 code;
    QString description;
  };
  const std::vector<Case> cases = {
      {"error document", 403,
       "<Error><Code>SignatureDoesNotMatch</Code><Message>The signature does not match.</Message></Error>",
       "application/xml", 2, "The signature does not match."},
      {"refusal without a body", 404, "", "application/xml", 2,
       "The service refused the request (HTTP status 404)"},
      {"refusal in another format", 500, "oops", "text/plain", 2,
       "The service refused the request (HTTP status 500)"},
      {"broken document", 200, "<ListBucketResult><Contents>", "application/xml", 1,
       "Parsing the resposnse failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto request = S3BucketRequest::requestWithBucket(QStringLiteral("b"));
    EXPECT_FALSE(answer(*request, c.status, c.body, c.contentType));
    ASSERT_TRUE(request->error());
    EXPECT_EQ(request->error()->domain(), QStringLiteral("HTTPRequestErrorDomain"));
    EXPECT_EQ(request->error()->code(), c.code);
    EXPECT_EQ(request->error()->localizedDescription(), c.description);
  }
}

TEST(S3ListingTest, OtherContentTypesAreNotParsed) {
  auto request = S3BucketRequest::requestWithBucket(QStringLiteral("b"));
  EXPECT_TRUE(answer(*request, 200, kListing, QStringLiteral("text/xml")));
  EXPECT_TRUE(request->objects().isEmpty());
}

TEST(S3ListingTest, HostileDocumentsAreRefusedUnexpanded) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "secret.txt", "TOP-SECRET");
  const QByteArray file = QByteArray::fromStdString((dir / "secret.txt").string());
  const std::vector<QByteArray> documents = {
      // entity expansion
      R"(<?xml version="1.0"?><!DOCTYPE l [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">
         <!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">]><ListBucketResult><Contents><Key>&c;</Key></Contents></ListBucketResult>)",
      // a file read through an external entity
      "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY x SYSTEM \"file://" + file +
          "\">]><ListBucketResult><Contents><Key>&x;</Key></Contents></ListBucketResult>",
      // an undeclared entity
      "<ListBucketResult><Contents><Key>&x;</Key></Contents></ListBucketResult>",
  };
  for (const QByteArray& document : documents) {
    SCOPED_TRACE(document.toStdString());
    auto request = S3BucketRequest::requestWithBucket(QStringLiteral("b"));
    EXPECT_FALSE(answer(*request, 200, document));
    ASSERT_TRUE(request->error());
    EXPECT_EQ(request->error()->code(), 1);
    for (const auto& object : request->objects()) {
      EXPECT_FALSE(object->key.contains(QStringLiteral("TOP-SECRET")));
      EXPECT_FALSE(object->key.contains(QStringLiteral("aaaa")));
    }
  }
}

}  // namespace
