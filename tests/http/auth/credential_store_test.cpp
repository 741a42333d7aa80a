// The system credential store over a private Secret Service (gnome-keyring): saving, reading
// back, replacing and removing by protection space; server credentials read only with keychain
// persistence on, proxy credentials always; and what happens when no Secret Service runs.
#include "auth_peer.h"
#include "http/transport/http_stream.h"
#include "platform/log.h"
#include "support/apache_server.h"
#include "support/secret_service_session.h"
#include "support/test_http_server.h"

#include <gtest/gtest.h>

#include <mutex>

namespace {

using http::HTTPRequest;
using testsupport::ApacheServer;

const QVariantMap kAlice{{"Username", "alice"}, {"Password", "wonderland"}};

class CredentialStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (qEnvironmentVariableIsSet("UPDATER_TEST_NO_SECRET_SERVICE")) return;
    keyring_ = new testsupport::SecretServiceSession;
    server_ = new ApacheServer(ApacheServer::Mode::Server);
    proxy_ = new ApacheServer(ApacheServer::Mode::Proxy);
  }
  static void TearDownTestSuite() {
    delete proxy_;
    delete server_;
    delete keyring_;
    proxy_ = server_ = nullptr;
    keyring_ = nullptr;
  }
  void SetUp() override {
    if (!keyring_) GTEST_SKIP() << "runs without a Secret Service";
    if (!keyring_->isRunning()) GTEST_SKIP() << keyring_->errorText().toStdString();
    if (!server_->isRunning()) GTEST_SKIP() << server_->errorText().toStdString();
    HTTPRequest::clearSessionCredentials();
    http::transport::HttpStream::closeAllIdleConnections();
  }

  static testsupport::SecretServiceSession* keyring_;
  static ApacheServer* server_;
  static ApacheServer* proxy_;
};
testsupport::SecretServiceSession* CredentialStoreTest::keyring_ = nullptr;
ApacheServer* CredentialStoreTest::server_ = nullptr;
ApacheServer* CredentialStoreTest::proxy_ = nullptr;

TEST_F(CredentialStoreTest, SavesReadsBackReplacesAndRemovesBySpace) {
  HTTPRequest::saveCredentials(kAlice, "127.0.0.1", 8080, "http", "realm one");
  EXPECT_EQ(HTTPRequest::savedCredentialsForHost("127.0.0.1", 8080, "http", "realm one"), kAlice);
  // Every part of the space counts; a proxy space is another space.
  EXPECT_TRUE(HTTPRequest::savedCredentialsForHost("127.0.0.1", 8081, "http", "realm one").isEmpty());
  EXPECT_TRUE(HTTPRequest::savedCredentialsForHost("127.0.0.1", 8080, "https", "realm one").isEmpty());
  EXPECT_TRUE(HTTPRequest::savedCredentialsForHost("127.0.0.1", 8080, "http", "realm two").isEmpty());
  EXPECT_TRUE(HTTPRequest::savedCredentialsForProxy("127.0.0.1", 8080, "http", "realm one").isEmpty());

  const QVariantMap bob{{"Username", "bob"}, {"Password", "p\xC3\xA4ss"}};
  HTTPRequest::saveCredentials(bob, "127.0.0.1", 8080, "http", "realm one");
  EXPECT_EQ(HTTPRequest::savedCredentialsForHost("127.0.0.1", 8080, "http", "realm one"), bob);
  HTTPRequest::removeCredentialsForHost("127.0.0.1", 8080, "http", "realm one");
  EXPECT_TRUE(HTTPRequest::savedCredentialsForHost("127.0.0.1", 8080, "http", "realm one").isEmpty());

  HTTPRequest::saveCredentialsForProxy(kAlice, "127.0.0.1", 3128, "proxy realm");
  EXPECT_EQ(HTTPRequest::savedCredentialsForProxy("127.0.0.1", 3128, "ignored", "proxy realm"), kAlice);
  HTTPRequest::removeCredentialsForProxy("127.0.0.1", 3128, "proxy realm");
  EXPECT_TRUE(HTTPRequest::savedCredentialsForProxy("127.0.0.1", 3128, "http", "proxy realm").isEmpty());
}

TEST_F(CredentialStoreTest, ServerCredentialsAreSavedAndReadOnlyWithKeychainPersistence) {
  // Applied credentials are saved when the request keeps them in the store.
  auto first = HTTPRequest::requestWithURL(server_->url("/digest/index.txt"));
  first->setUsername("alice");
  first->setPassword("wonderland");
  first->setUseKeychainPersistence(true);
  first->startSynchronous();
  ASSERT_EQ(first->error(), nullptr);
  EXPECT_EQ(HTTPRequest::savedCredentialsForHost("127.0.0.1", server_->port(), "http", "test realm"), kAlice);

  HTTPRequest::clearSessionCredentials();
  auto without = HTTPRequest::requestWithURL(server_->url("/digest/index.txt"));
  without->startSynchronous();
  ASSERT_NE(without->error(), nullptr) << "the store is not read without keychain persistence";
  EXPECT_EQ(without->error()->code(), 3);

  auto with = HTTPRequest::requestWithURL(server_->url("/digest/index.txt"));
  with->setUseKeychainPersistence(true);
  with->startSynchronous();
  EXPECT_EQ(with->error(), nullptr);
  HTTPRequest::removeCredentialsForHost("127.0.0.1", server_->port(), "http", "test realm");
}

TEST_F(CredentialStoreTest, ProxyCredentialsAreFoundInTheStoreWithKeychainPersistenceOff) {
  if (!proxy_->isRunning()) GTEST_SKIP() << proxy_->errorText().toStdString();
  testsupport::TestHttpServer origin;
  origin.route("/file", testsupport::HttpResponse::ok("through the proxy"));
  const quint16 port = proxy_->port(ApacheServer::Scheme::Basic);
  HTTPRequest::saveCredentialsForProxy(kAlice, "127.0.0.1", port, "proxy realm");
  auto r = HTTPRequest::requestWithURL(origin.url("/file"));
  r->setProxyHost("127.0.0.1");
  r->setProxyPort(port);
  r->setUseKeychainPersistence(false);
  r->startSynchronous();
  ASSERT_EQ(r->error(), nullptr) << r->error()->toString().toStdString();
  EXPECT_EQ(r->responseString(), "through the proxy");
  HTTPRequest::removeCredentialsForProxy("127.0.0.1", port, "proxy realm");
}

// Run by its own CTest entry with the session bus pointing nowhere.
TEST(NoSecretServiceTest, SavingDoesNothingSaysSoOnceAndReadingFindsNothing) {
  if (!qEnvironmentVariableIsSet("UPDATER_TEST_NO_SECRET_SERVICE")) GTEST_SKIP() << "needs its own process";
  std::mutex mutex;
  QStringList lines;
  platform::setLogSink([&](const QString& line) {
    std::lock_guard lock(mutex);
    lines << line;
  });
  HTTPRequest::saveCredentials(kAlice, "127.0.0.1", 8080, "http", "realm");
  HTTPRequest::saveCredentialsForProxy(kAlice, "127.0.0.1", 3128, "realm");
  EXPECT_TRUE(HTTPRequest::savedCredentialsForHost("127.0.0.1", 8080, "http", "realm").isEmpty());
  HTTPRequest::removeCredentialsForHost("127.0.0.1", 8080, "http", "realm");
  platform::setLogSink(nullptr);
  EXPECT_EQ(lines.filter("No Secret Service").size(), 1) << lines.join('\n').toStdString();
  EXPECT_EQ(lines.filter("wonderland").size(), 0) << "no password in the log";
}

}  // namespace
