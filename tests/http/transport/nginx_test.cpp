// The stream against a real nginx on 127.0.0.1: byte-identical downloads over one kept-alive
// connection, HTTP/1.0 mode, an upload, and TLS with certificates made for the test.
#include "http/transport/http_stream.h"
#include "http/transport/transport_error.h"
#include "stream_runner.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"

#include <QFile>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace http::transport {
namespace {

using testing::codeOf;
using testing::getStream;
using testing::StreamRunner;
using testsupport::NginxServer;

QByteArray randomBytes(qsizetype n, quint32 seed) {
  QByteArray out(n, '\0');
  QRandomGenerator generator(seed);
  generator.fillRange(reinterpret_cast<quint32*>(out.data()), n / 4);
  return out;
}

// Connection numbers of the access log lines ("<connection> <index> <status> <request>").
std::vector<std::string> connectionsOf(const std::vector<std::string>& log) {
  std::vector<std::string> out;
  for (const std::string& line : log) out.push_back(line.substr(0, line.find(' ')));
  return out;
}

class NginxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!NginxServer::isInstalled()) return;
    content_ = new testsupport::TempDir;
    files_ = new std::map<QString, QByteArray>;
    const std::vector<std::pair<const char*, qsizetype>> sizes = {
        {"empty.bin", 0}, {"one.bin", 1}, {"small.bin", 1500}, {"mid.bin", 100000},
        {"large.bin", 24 * 1024 * 1024 + 7}};
    quint32 seed = 1;
    for (const auto& [name, size] : sizes) {
      const QByteArray data = randomBytes(size, seed++);
      testsupport::writeFile(*content_ / name, data.toStdString());
      (*files_)[QString::fromLatin1(name)] = data;
    }
    std::filesystem::create_directories(*content_ / "upload");
  }
  static void TearDownTestSuite() {
    delete content_;
    delete files_;
  }
  void SetUp() override {
    if (!NginxServer::isInstalled()) GTEST_SKIP() << "nginx is not installed";
  }
  void TearDown() override { HttpStream::closeAllIdleConnections(); }

  NginxServer::Options plain() const {
    NginxServer::Options options;
    options.root = content_->path();
    options.extraServerConfig =
        "location /upload/ { dav_methods PUT; client_max_body_size 100m; }";
    return options;
  }

  static testsupport::TempDir* content_;
  static std::map<QString, QByteArray>* files_;
};

testsupport::TempDir* NginxTest::content_ = nullptr;
std::map<QString, QByteArray>* NginxTest::files_ = nullptr;

TEST_F(NginxTest, DownloadsAreByteIdenticalOverOneKeptAliveConnection) {
  NginxServer nginx(plain());
  ASSERT_TRUE(nginx.isRunning()) << nginx.errorText().toStdString();
  for (int round = 0; round < 2; ++round) {
    for (const auto& [name, data] : *files_) {
      SCOPED_TRACE(name.toStdString());
      StreamRunner run(getStream(nginx.url("/" + name), 1), 262144);
      ASSERT_TRUE(run.start());
      ASSERT_TRUE(run.wait());
      ASSERT_TRUE(run.ended) << run.error->toString().toStdString();
      EXPECT_EQ(run.head->statusCode, 200);
      EXPECT_EQ(run.head->headers.value("Content-Length"), QByteArray::number(data.size()));
      EXPECT_TRUE(run.body == data);
    }
  }
  StreamRunner head(getStream(nginx.url("/mid.bin"), 1, "HEAD"));
  ASSERT_TRUE(head.start());
  ASSERT_TRUE(head.wait());
  EXPECT_TRUE(head.ended);
  EXPECT_EQ(head.body, "");
  EXPECT_EQ(head.head->headers.value("Content-Length"), "100000");
  StreamRunner missing(getStream(nginx.url("/missing.bin"), 1));
  ASSERT_TRUE(missing.start());
  ASSERT_TRUE(missing.wait());
  EXPECT_EQ(missing.head->statusCode, 404);

  const auto log = nginx.accessLog();
  ASSERT_EQ(log.size(), 2 * files_->size() + 2);
  const auto connections = connectionsOf(log);
  EXPECT_EQ(std::set<std::string>(connections.begin(), connections.end()).size(), 1u);
}

TEST_F(NginxTest, Http10KeepsAliveOnlyWhenAsked) {
  NginxServer nginx(plain());
  ASSERT_TRUE(nginx.isRunning()) << nginx.errorText().toStdString();
  for (int connectionId : {0, 0, 2, 2, 2}) {
    StreamRunner run(getStream(nginx.url("/small.bin"), connectionId, "GET", HttpVersion::Http10));
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    ASSERT_TRUE(run.ended);
    EXPECT_TRUE(run.body == files_->at("small.bin"));
    EXPECT_EQ(run.head->version, "HTTP/1.1");
  }
  const auto connections = connectionsOf(nginx.accessLog());
  ASSERT_EQ(connections.size(), 5u);
  EXPECT_NE(connections[0], connections[1]);
  EXPECT_EQ(connections[2], connections[3]);
  EXPECT_EQ(connections[3], connections[4]);
}

TEST_F(NginxTest, UploadsAFileThatNginxStoresIntact) {
  NginxServer nginx(plain());
  ASSERT_TRUE(nginx.isRunning()) << nginx.errorText().toStdString();
  const QByteArray& data = files_->at("large.bin");
  RequestHead head;
  head.method = "PUT";
  head.url = nginx.url("/upload/copy.bin");
  head.headers.append("Content-Length", QByteArray::number(data.size()));
  auto body = std::make_shared<FileBodyStream>(
      QString::fromStdString((content_->path() / "large.bin").string()));
  StreamRunner run(HttpStream::create(head, body));
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait());
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(run.head->statusCode, 201);
  EXPECT_EQ(run.stream().requestBytesWritten(), static_cast<quint64>(data.size()));
  EXPECT_TRUE(QByteArray::fromStdString(testsupport::readFile(content_->path() / "upload/copy.bin")) ==
              data);
  std::filesystem::remove(content_->path() / "upload/copy.bin");
}

class NginxTlsTest : public NginxTest {};

TEST_F(NginxTlsTest, SelfSignedCertificatesAreRefusedUnlessValidationIsRelaxed) {
  NginxServer::Options options = plain();
  options.tls = true;
  NginxServer nginx(options);
  ASSERT_TRUE(nginx.isRunning()) << nginx.errorText().toStdString();

  struct Case {
    const char* name;
    TlsOptions tls;
    bool succeeds;
  };
  const TlsOptions strict;
  TlsOptions relaxed;  // what the engine sets when certificates are not to be validated
  relaxed.allowsExpiredCertificates = true;
  relaxed.allowsAnyRoot = true;
  relaxed.validatesCertificateChain = false;
  relaxed.checksPeerName = false;
  TlsOptions anyRoot;
  anyRoot.allowsAnyRoot = true;
  TlsOptions anyRootNamed = anyRoot;
  anyRootNamed.peerName = QStringLiteral("localhost");
  TlsOptions anyRootWrongName = anyRoot;
  anyRootWrongName.peerName = QStringLiteral("elsewhere.example");
  const std::vector<Case> cases = {
      {"default: untrusted root", strict, false},
      {"validation off", relaxed, true},
      {"any root, but the URL's host is not the certificate's", anyRoot, false},
      {"any root and the certificate's name", anyRootNamed, true},
      {"any root and a wrong name", anyRootWrongName, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto stream = getStream(nginx.url("/small.bin"));
    stream->setTlsOptions(c.tls);
    StreamRunner run(stream);
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    if (c.succeeds) {
      ASSERT_TRUE(run.ended) << run.error->toString().toStdString();
      EXPECT_TRUE(run.body == files_->at("small.bin"));
    } else {
      ASSERT_NE(run.error, nullptr);
      EXPECT_EQ(classifyError(run.error), ErrorClass::TlsFailure)
          << run.error->toString().toStdString();
      EXPECT_TRUE(run.error->userInfo().contains(kTlsErrorsKey));
    }
  }
}

TEST_F(NginxTlsTest, KeptAliveTlsConnectionsAreReusedAndClientIdentitiesPresented) {
  testsupport::PemCertificate client;
  testsupport::TempDir certs;
  ASSERT_TRUE(testsupport::makeSelfSignedCertificate(certs.path(), "client", "test client", "",
                                                     client));
  NginxServer::Options options = plain();
  options.tls = true;
  options.extraServerConfig += " ssl_verify_client optional; ssl_client_certificate " +
                               client.certificate.string() +
                               "; location /who { return 200 \"$ssl_client_verify\"; }";
  NginxServer nginx(options);
  ASSERT_TRUE(nginx.isRunning()) << nginx.errorText().toStdString();

  TlsOptions tls;
  tls.allowsAnyRoot = true;
  tls.peerName = QStringLiteral("localhost");
  for (int i = 0; i < 3; ++i) {
    auto stream = getStream(nginx.url("/mid.bin"), 8);
    stream->setTlsOptions(tls);
    StreamRunner run(stream, 65536);
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    ASSERT_TRUE(run.ended);
    EXPECT_TRUE(run.body == files_->at("mid.bin"));
  }
  auto connections = connectionsOf(nginx.accessLog());
  EXPECT_EQ(std::set<std::string>(connections.begin(), connections.end()).size(), 1u);

  QFile certFile(QString::fromStdString(client.certificate.string()));
  QFile keyFile(QString::fromStdString(client.key.string()));
  ASSERT_TRUE(certFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly));
  auto identity = std::make_shared<ClientIdentity>();
  identity->certificate = QSslCertificate(certFile.readAll());
  identity->key = QSslKey(keyFile.readAll(), QSsl::Rsa);
  ASSERT_FALSE(identity->certificate.isNull());
  ASSERT_FALSE(identity->key.isNull());
  TlsOptions withIdentity = tls;
  withIdentity.clientIdentity = identity;
  for (const auto& [options, expected] :
       std::vector<std::pair<TlsOptions, QByteArray>>{{tls, "NONE"}, {withIdentity, "SUCCESS"}}) {
    SCOPED_TRACE(expected.toStdString());
    auto stream = getStream(nginx.url("/who"));
    stream->setTlsOptions(options);
    StreamRunner run(stream);
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.body, expected);
  }
}

}  // namespace
}  // namespace http::transport
