// The S3 requests against a real object store (S3 protocol, signature version 2, path-style
// addressing): buckets, listings, objects from memory and files, copies, refusals.
#include "cloud/s3/s3_bucket_request.h"
#include "cloud/s3/s3_object_request.h"
#include "cloud/s3/s3_service_request.h"
#include "store_fixture.h"
#include "http/transport/host_overrides.h"
#include "support/temp_dir.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace {

using namespace cloud::s3;

class S3StoreTest : public StoreTest {};

QByteArray randomBytes(qsizetype size) {
  QByteArray data(size, Qt::Uninitialized);
  QRandomGenerator generator(42);
  generator.fillRange(reinterpret_cast<quint32*>(data.data()), size / 4);
  return data;
}

QByteArray sha256Hex(const QByteArray& data) {
  return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// Every key of `bucket` under `prefix`, page by page with `pageSize` keys a page.
QStringList listAll(const QString& bucket, const QString& prefix, int pageSize, int* pages) {
  QStringList keys;
  QString marker;
  *pages = 0;
  for (int guard = 0; guard < 100; ++guard) {
    auto request = S3BucketRequest::requestWithBucket(bucket);
    request->setPrefix(prefix);
    request->setMarker(marker);
    request->setMaxResultCount(pageSize);
    if (request->startSynchronous(), request->error()) return {QStringLiteral("failed")};
    ++*pages;
    for (const auto& object : request->objects()) keys << object->key;
    if (!request->isTruncated()) break;
    marker = keys.last();
  }
  return keys;
}

TEST_F(S3StoreTest, BucketsObjectsListingsCopiesAndDeletes) {
  const QString bucket = uniqueName("s3b");
  ASSERT_EQ(run(S3BucketRequest::PUTRequestWithBucket(bucket)), nullptr);

  const QStringList keys = {"addons/a.zip", "addons/b.zip", "addons/sub/c.zip", "a b/c~!'()*+,;=.txt",
                            QString::fromUtf8("unicode/\xC3\xBC.txt")};
  for (const QString& key : keys) {
    SCOPED_TRACE(key.toStdString());
    auto put = S3ObjectRequest::PUTRequestForData("data of " + key.toUtf8(), bucket, key);
    put->setMimeType(QStringLiteral("text/plain"));
    ASSERT_EQ(run(put), nullptr) << put->error()->localizedDescription().toStdString();
  }
  testsupport::TempDir dir;
  const QByteArray big = randomBytes(3 << 20);
  testsupport::writeFile(dir / "big.zip", big.toStdString());
  const QString bigPath = QString::fromStdString((dir / "big.zip").string());
  ASSERT_EQ(run(S3ObjectRequest::PUTRequestForFile(bigPath, bucket, QStringLiteral("files/big.zip"))), nullptr);

  auto service = S3ServiceRequest::serviceRequest();
  ASSERT_EQ(run(service), nullptr);
  QStringList bucketNames;
  for (const auto& b : service->buckets()) bucketNames << b->name;
  EXPECT_TRUE(bucketNames.contains(bucket));

  auto listing = S3BucketRequest::requestWithBucket(bucket);
  listing->setPrefix(QStringLiteral("addons/"));
  listing->setDelimiter(QStringLiteral("/"));
  ASSERT_EQ(run(listing), nullptr);
  QStringList listed;
  for (const auto& object : listing->objects()) listed << object->key;
  EXPECT_EQ(listed, (QStringList{"addons/a.zip", "addons/b.zip"}));
  EXPECT_EQ(listing->commonPrefixes(), QStringList{"addons/sub/"});
  EXPECT_FALSE(listing->isTruncated());
  EXPECT_EQ(listing->objects()[0]->size, 20u);
  EXPECT_TRUE(listing->objects()[0]->lastModified.isValid());

  auto page = S3BucketRequest::requestWithBucket(bucket);
  page->setMarker(QStringLiteral("addons/a.zip"));
  page->setMaxResultCount(2);
  ASSERT_EQ(run(page), nullptr);
  ASSERT_EQ(page->objects().size(), 2);
  EXPECT_EQ(page->objects()[0]->key, QStringLiteral("addons/b.zip"));
  EXPECT_TRUE(page->isTruncated());

  int pages = 0;
  QStringList all = listAll(bucket, QString(), 2, &pages);
  QStringList expected = keys;
  expected << QStringLiteral("files/big.zip");
  expected.sort();
  EXPECT_EQ(all, expected);
  EXPECT_EQ(pages, 3);

  // Bytes, from memory and from a file, read back by the store's own client.
  const auto stored = testsupport::readWithSwiftClient(peer_, bucket, QStringLiteral("files/big.zip"));
  EXPECT_TRUE(stored.found) << stored.error.toStdString();
  EXPECT_EQ(stored.sha256, sha256Hex(big));
  EXPECT_EQ(stored.contentType, QStringLiteral("application/zip"));
  const auto odd = testsupport::readWithSwiftClient(peer_, bucket, keys[3]);
  EXPECT_EQ(odd.sha256, sha256Hex("data of " + keys[3].toUtf8()));

  auto copy = S3ObjectRequest::COPYRequestFromBucket(bucket, keys[3], bucket, QStringLiteral("copy.txt"));
  copy->setAccessPolicy(S3AccessPolicyPublicRead);
  ASSERT_EQ(run(copy), nullptr);
  auto head = S3ObjectRequest::HEADRequestWithBucket(bucket, QStringLiteral("copy.txt"));
  ASSERT_EQ(run(head), nullptr);
  EXPECT_EQ(head->responseHeaders()->value(QStringLiteral("Content-Length")),
            QString::number(("data of " + keys[3].toUtf8()).size()));
  auto get = S3ObjectRequest::requestWithBucket(bucket, QStringLiteral("copy.txt"));
  ASSERT_EQ(run(get), nullptr);
  EXPECT_EQ(get->responseData(), "data of " + keys[3].toUtf8());
  auto acl = S3ObjectRequest::requestWithBucket(bucket, QStringLiteral("copy.txt"), QStringLiteral("acl"));
  ASSERT_EQ(run(acl), nullptr);
  EXPECT_TRUE(acl->responseString().contains(QStringLiteral("AllUsers"))) << acl->responseString().toStdString();

  auto toFile = S3ObjectRequest::requestWithBucket(bucket, QStringLiteral("files/big.zip"));
  toFile->setDownloadDestinationPath(QString::fromStdString((dir / "back.zip").string()));
  ASSERT_EQ(run(toFile), nullptr);
  EXPECT_EQ(sha256Hex(QByteArray::fromStdString(testsupport::readFile(dir / "back.zip"))), sha256Hex(big));

  for (const QString& key : expected + QStringList{"copy.txt"}) {
    ASSERT_EQ(run(S3ObjectRequest::DELETERequestWithBucket(bucket, key)), nullptr) << key.toStdString();
  }
  auto gone = S3ObjectRequest::requestWithBucket(bucket, QStringLiteral("copy.txt"));
  const auto error = run(gone);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(error->localizedDescription(), QStringLiteral("The specified key does not exist."));
  auto goneHead = S3ObjectRequest::HEADRequestWithBucket(bucket, QStringLiteral("copy.txt"));
  ASSERT_TRUE(run(goneHead));
  EXPECT_EQ(goneHead->error()->code(), 2);
  EXPECT_EQ(run(S3BucketRequest::DELETERequestWithBucket(bucket)), nullptr);
}

TEST_F(S3StoreTest, StoreRefusesAWrongSecretAndASkewedDate) {
  struct Case {
    const char* what;
    QString secret;
    QString date;
    QString message;
  };
  const std::vector<Case> cases = {
      {"wrong secret", "not-the-secret", {},
       "The request signature we calculated does not match the signature you provided. Check your key "
       "and signing method."},
      {"skewed date", {}, "Mon, 1 Jan 2024 00:00:00 +0000",
       "The difference between the request time and the current time is too large."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto request = S3ServiceRequest::serviceRequest();
    if (!c.secret.isEmpty()) request->setSecretAccessKey(c.secret);
    if (!c.date.isEmpty()) request->setDateString(c.date);
    const auto error = run(request);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 2);
    EXPECT_EQ(error->localizedDescription(), c.message);
    EXPECT_EQ(request->responseStatusCode(), 403);
    EXPECT_FALSE(error->localizedDescription().contains(QStringLiteral("not-the-secret")));
  }
}

TEST_F(S3StoreTest, KeysThatWouldChangeTheRequestAreRefusedBeforeSending) {
  const QString bucket = uniqueName("s3c");
  ASSERT_EQ(run(S3BucketRequest::PUTRequestWithBucket(bucket)), nullptr);
  const std::vector<std::shared_ptr<S3ObjectRequest>> requests = {
      S3ObjectRequest::PUTRequestForData("x", bucket, QStringLiteral("evil\r\nX-Injected: 1")),
      S3ObjectRequest::PUTRequestForData("x", bucket, QStringLiteral("evil\nline")),
      S3ObjectRequest::PUTRequestForData("x", bucket, QStringLiteral("evil") + QChar(0) + QStringLiteral("nul")),
      S3ObjectRequest::COPYRequestFromBucket(bucket, QStringLiteral("a\rb"), bucket, QStringLiteral("evil-copy")),
  };
  for (const auto& request : requests) {
    const auto error = run(request);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 6);
    EXPECT_EQ(request->responseStatusCode(), 0);  // nothing was sent
  }
  int pages = 0;
  EXPECT_TRUE(listAll(bucket, QString(), 100, &pages).isEmpty());
  EXPECT_EQ(run(S3BucketRequest::DELETERequestWithBucket(bucket)), nullptr);
}

TEST_F(S3StoreTest, VirtualHostAddressingThroughAHostOverride) {
  const QString bucket = uniqueName("vh");
  const QString bucketHost = bucket + QStringLiteral(".s3.test");
  ASSERT_TRUE(http::transport::HostOverrides::set(bucketHost, peer_.proxyPort, QStringLiteral("127.0.0.1")));
  S3Request::setUsesPathStyleAddressing(false);
  S3Request::setS3Host(QStringLiteral("s3.test:%1").arg(peer_.proxyPort));

  const QString key = QStringLiteral("a b/c~(1).txt");
  ASSERT_EQ(run(S3BucketRequest::PUTRequestWithBucket(bucket)), nullptr);
  auto put = S3ObjectRequest::PUTRequestForData("virtual", bucket, key);
  ASSERT_EQ(run(put), nullptr);
  EXPECT_EQ(put->url().host(), bucketHost);
  auto listing = S3BucketRequest::requestWithBucket(bucket);
  listing->setPrefix(QStringLiteral("a b/"));
  listing->setMaxResultCount(10);
  ASSERT_EQ(run(listing), nullptr);
  ASSERT_EQ(listing->objects().size(), 1);
  EXPECT_EQ(listing->objects()[0]->key, key);
  auto get = S3ObjectRequest::requestWithBucket(bucket, key);
  ASSERT_EQ(run(get), nullptr);
  EXPECT_EQ(get->responseData(), QByteArray("virtual"));
  EXPECT_EQ(testsupport::readWithSwiftClient(peer_, bucket, key).length, 7);
  ASSERT_EQ(run(S3ObjectRequest::DELETERequestWithBucket(bucket, key)), nullptr);
  ASSERT_EQ(run(S3BucketRequest::DELETERequestWithBucket(bucket)), nullptr);
  http::transport::HostOverrides::remove(bucketHost, peer_.proxyPort);
}

}  // namespace
