// The Cloud Files requests against a real object store (v1.0 token auth): authentication,
// containers, objects with metadata from memory and files, refused tokens, and the CDN requests
// against the test's stand-in for the hosted CDN management service.
#include "cloud/cloudfiles/cloudfiles_cdn_request.h"
#include "cloud/cloudfiles/cloudfiles_container_request.h"
#include "cloud/cloudfiles/cloudfiles_object_request.h"
#include "store_fixture.h"
#include "support/temp_dir.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

using namespace cloud::cloudfiles;

class CloudFilesStoreTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(CloudFilesRequest::authenticate(), nullptr);
  }
};

TEST_F(CloudFilesStoreTest, AuthenticationFillsTheAccessDetails) {
  EXPECT_TRUE(CloudFilesRequest::authToken().startsWith(QStringLiteral("AUTH_tk")));
  EXPECT_EQ(CloudFilesRequest::storageURL(), QStringLiteral("http://127.0.0.1:%1/v1/AUTH_test").arg(peer_.proxyPort));
  EXPECT_EQ(CloudFilesRequest::cdnManagementURL(),
            QStringLiteral("http://127.0.0.1:%1/cdn/v1/AUTH_test").arg(peer_.cdnPort));

  CloudFilesRequest::setApiKey(QStringLiteral("wrong-key"));
  const auto error = CloudFilesRequest::authenticate();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_FALSE(error->localizedDescription().contains(QStringLiteral("wrong-key")));
  // The details of the last good authentication are kept.
  EXPECT_TRUE(CloudFilesRequest::authToken().startsWith(QStringLiteral("AUTH_tk")));
}

TEST_F(CloudFilesStoreTest, ContainersObjectsAndMetadata) {
  const QString container = uniqueName("cf");
  ASSERT_EQ(run(CloudFilesContainerRequest::createContainerRequest(container)), nullptr);

  auto put = CloudFilesObjectRequest::putObjectRequestWithContainer(container, QStringLiteral("a/b"),
                                                                    QStringLiteral("text/plain"), "hello",
                                                                    {{"Color", "red"}}, QString());
  ASSERT_EQ(run(put), nullptr);
  EXPECT_EQ(put->responseStatusCode(), 201);
  testsupport::TempDir dir;
  const QByteArray big(2 << 20, 'z');
  testsupport::writeFile(dir / "big.bin", big.toStdString());
  auto fromFile = CloudFilesObjectRequest::putObjectRequestWithContainerFile(
      container, QStringLiteral("big file.bin"), QStringLiteral("application/octet-stream"),
      QString::fromStdString((dir / "big.bin").string()), {{"Version", "1.2"}}, QString());
  ASSERT_EQ(run(fromFile), nullptr);
  EXPECT_EQ(fromFile->responseStatusCode(), 201);

  auto info = CloudFilesObjectRequest::containerInfoRequest(container);
  ASSERT_EQ(run(info), nullptr);
  EXPECT_EQ(info->containerObjectCount(), 2u);
  EXPECT_EQ(info->containerBytesUsed(), 5u + big.size());

  auto containers = CloudFilesContainerRequest::listRequest();
  ASSERT_EQ(run(containers), nullptr);
  bool listed = false;
  for (const auto& c : containers->containers()) listed = listed || c->name == container;
  EXPECT_TRUE(listed);

  auto first = CloudFilesObjectRequest::listRequestWithContainer(container, 1, QString(), QString(), QString());
  ASSERT_EQ(run(first), nullptr);
  ASSERT_EQ(first->objects().size(), 1);
  EXPECT_EQ(first->objects()[0]->name, QStringLiteral("a/b"));
  EXPECT_EQ(first->objects()[0]->hash, QStringLiteral("5d41402abc4b2a76b9719d911017c592"));
  EXPECT_TRUE(first->objects()[0]->lastModified.isValid());
  auto second = CloudFilesObjectRequest::listRequestWithContainer(container, 1, QStringLiteral("a/b"), QString(), QString());
  ASSERT_EQ(run(second), nullptr);
  ASSERT_EQ(second->objects().size(), 1);
  EXPECT_EQ(second->objects()[0]->name, QStringLiteral("big file.bin"));
  EXPECT_EQ(second->objects()[0]->bytes, static_cast<quint64>(big.size()));

  auto head = CloudFilesObjectRequest::objectInfoRequest(container, QStringLiteral("a/b"));
  ASSERT_EQ(run(head), nullptr);
  EXPECT_EQ(head->object()->name, QStringLiteral("a/b"));
  EXPECT_EQ(head->object()->metadata, (QMap<QString, QString>{{"Color", "red"}}));
  EXPECT_EQ(head->object()->bytes, 5u);

  auto stored = testsupport::readWithSwiftClient(peer_, container, QStringLiteral("big file.bin"));
  EXPECT_TRUE(stored.found) << stored.error.toStdString();
  EXPECT_EQ(stored.sha256, QCryptographicHash::hash(big, QCryptographicHash::Sha256).toHex());
  EXPECT_EQ(stored.metadata, (QMap<QString, QString>{{"version", "1.2"}}));

  // POST replaces all of the object's metadata.
  ASSERT_EQ(run(CloudFilesObjectRequest::postObjectRequestWithContainer(container, QStringLiteral("a/b"),
                                                                         {{"Author", "bob"}})),
            nullptr);
  auto get = CloudFilesObjectRequest::getObjectRequestWithContainer(container, QStringLiteral("a/b"));
  ASSERT_EQ(run(get), nullptr);
  const auto object = get->object();
  EXPECT_EQ(object->data, QByteArray("hello"));
  EXPECT_EQ(object->contentType, QStringLiteral("text/plain"));
  EXPECT_EQ(object->metadata, (QMap<QString, QString>{{"Author", "bob"}}));
  EXPECT_EQ(testsupport::readWithSwiftClient(peer_, container, QStringLiteral("a/b")).metadata,
            (QMap<QString, QString>{{"author", "bob"}}));

  for (const char* name : {"a/b", "big file.bin"}) {
    auto del = CloudFilesObjectRequest::deleteObjectRequestWithContainer(container, QString::fromLatin1(name));
    ASSERT_EQ(run(del), nullptr);
    EXPECT_EQ(del->responseStatusCode(), 204);
  }
  auto delContainer = CloudFilesContainerRequest::deleteContainerRequest(container);
  ASSERT_EQ(run(delContainer), nullptr);
  EXPECT_EQ(delContainer->responseStatusCode(), 204);
}

TEST_F(CloudFilesStoreTest, AWrongTokenIsRefused) {
  const QString good = CloudFilesRequest::authToken();
  CloudFilesRequest::setAccessDetails(QStringLiteral("AUTH_tkwrong"), CloudFilesRequest::storageURL(),
                                      CloudFilesRequest::cdnManagementURL());
  for (const auto& request : std::vector<std::shared_ptr<http::HTTPRequest>>{
           CloudFilesContainerRequest::listRequest(), CloudFilesCDNRequest::listRequest()}) {
    const auto error = run(request);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 3);
    EXPECT_EQ(request->responseStatusCode(), 401);
    EXPECT_FALSE(error->localizedDescription().contains(QStringLiteral("AUTH_tk")));
  }
  EXPECT_NE(good, QStringLiteral("AUTH_tkwrong"));
}

// The requests the CDN stand-in recorded for `container`, oldest first.
std::vector<QJsonObject> recorded(const QString& log, const QString& container) {
  std::vector<QJsonObject> lines;
  QFile file(log);
  if (!file.open(QIODevice::ReadOnly)) return lines;
  for (const QByteArray& line : file.readAll().split('\n')) {
    const QJsonObject entry = QJsonDocument::fromJson(line).object();
    if (entry.value(QStringLiteral("path")).toString().contains(container)) lines.push_back(entry);
  }
  return lines;
}

TEST_F(CloudFilesStoreTest, CDNRequestsAgainstTheStandIn) {
  const QString container = uniqueName("cdn");
  auto enable = CloudFilesCDNRequest::putRequestWithContainer(container, 3600);
  ASSERT_EQ(run(enable), nullptr);
  EXPECT_EQ(enable->responseStatusCode(), 201);
  EXPECT_TRUE(enable->cdnURI().endsWith(container));

  auto info = CloudFilesCDNRequest::containerInfoRequest(container);
  ASSERT_EQ(run(info), nullptr);
  EXPECT_TRUE(info->cdnEnabled());
  EXPECT_EQ(info->cdnTTL(), 3600u);
  EXPECT_TRUE(info->cdnSSLURI().startsWith(QStringLiteral("https:")));

  ASSERT_EQ(run(CloudFilesCDNRequest::postRequestWithContainer(container, false, 60)), nullptr);
  // The stand-in answers in the other header spelling when asked to.
  auto second = CloudFilesCDNRequest::cdnRequestWithMethod(QStringLiteral("HEAD"),
                                                           QStringLiteral("/%1?spelling=second").arg(container));
  ASSERT_EQ(run(second), nullptr);
  EXPECT_FALSE(second->cdnEnabled());
  EXPECT_EQ(second->cdnTTL(), 60u);
  EXPECT_TRUE(second->cdnURI().endsWith(container));

  auto list = CloudFilesCDNRequest::listRequestWithLimit(0, QString(), false);
  ASSERT_EQ(run(list), nullptr);
  bool found = false;
  for (const auto& c : list->containers()) {
    if (c->name != container) continue;
    found = true;
    EXPECT_FALSE(c->cdnEnabled);
    EXPECT_EQ(c->ttl, 60u);
    EXPECT_TRUE(c->cdnURL.endsWith(container));
  }
  EXPECT_TRUE(found);

  const auto sent = recorded(peer_.cdnLog, container);
  ASSERT_GE(sent.size(), 3u);
  const QJsonObject put = sent[0].value(QStringLiteral("headers")).toObject();
  EXPECT_EQ(sent[0].value(QStringLiteral("method")).toString(), QStringLiteral("PUT"));
  EXPECT_EQ(put.value(QStringLiteral("X-Ttl")).toString(), QStringLiteral("3600"));
  EXPECT_EQ(put.value(QStringLiteral("X-Auth-Token")).toString(), CloudFilesRequest::authToken());
  const QJsonObject post = sent[2].value(QStringLiteral("headers")).toObject();
  EXPECT_EQ(sent[2].value(QStringLiteral("method")).toString(), QStringLiteral("POST"));
  EXPECT_EQ(post.value(QStringLiteral("X-CDN-Enabled")).toString(), QStringLiteral("False"));
  EXPECT_EQ(post.value(QStringLiteral("X-Ttl")).toString(), QStringLiteral("60"));
}

}  // namespace
