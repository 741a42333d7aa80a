// Server authentication against a real apache2: Basic, Digest and NTLM with right and wrong
// passwords, credentials sent before a challenge from the session store, stale Digest nonces,
// the order of credential sources, and the delegate asked once for concurrent requests.
#include "auth_peer.h"
#include "http/auth/session_credentials.h"
#include "http/transport/http_stream.h"
#include "support/apache_server.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <QThread>

namespace {

using http::HTTPRequest;
using testsupport::ApacheServer;

class ServerAuthTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new ApacheServer(ApacheServer::Mode::Server); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!server_->isRunning()) GTEST_SKIP() << server_->errorText().toStdString();
    HTTPRequest::clearSessionCredentials();
    logStart_ = server_->accessLog().size();
  }
  static std::shared_ptr<HTTPRequest> request(const QString& path) {
    auto r = HTTPRequest::requestWithURL(server_->url(path));
    r->setUseKeychainPersistence(false);
    return r;
  }
  // Access-log lines since the test began that contain `text`, waiting for `expected` of them.
  int logged(const std::string& text, int expected = 0) const {
    return authtest::waitForLines([] { return server_->accessLog(); }, logStart_, text, expected);
  }
  bool hasSessionEntryFor(const QString& path) const {
    for (const auto& e : HTTPRequest::sessionCredentialsStore()) {
      if (e->url == server_->url(path)) return true;
    }
    return false;
  }

  static ApacheServer* server_;
  size_t logStart_ = 0;
};
ApacheServer* ServerAuthTest::server_ = nullptr;

TEST_F(ServerAuthTest, EachSchemeWithRightAndWrongPasswords) {
  const struct {
    const char* path;
    const char* user;
    const char* password;
    const char* domain;
    int errorCode;  // 0: success
    const char* scheme;
  } cases[] = {
      {"/basic/index.txt", "alice", "wonderland", "", 0, "Basic"},
      {"/basic/index.txt", "alice", "nope", "", 3, "Basic"},
      {"/digest/index.txt", "alice", "wonderland", "", 0, "Digest"},
      {"/digest/index.txt", "alice", "nope", "", 3, "Digest"},
      {"/ntlm/index.txt", "TESTDOM\\alice", "wonderland", "", 0, "NTLM"},
      {"/ntlm/index.txt", "alice", "wonderland", "TESTDOM", 0, "NTLM"},
      {"/ntlm/index.txt", "TESTDOM\\alice", "nope", "", 3, "NTLM"},
  };
  int caseNumber = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.user + ":" + c.password);
    // A query of its own per case: a log line of an earlier case written late is not counted.
    const QString target = QStringLiteral("%1?case=%2").arg(c.path).arg(++caseNumber);
    HTTPRequest::clearSessionCredentials();
    // NTLM authenticates a connection, not a request: each case starts on a new one.
    http::transport::HttpStream::closeAllIdleConnections();
    const size_t before = server_->accessLog().size();
    auto r = request(target);
    r->setUsername(c.user);
    r->setPassword(c.password);
    r->setDomain(c.domain);
    r->startSynchronous();
    EXPECT_EQ(r->authenticationScheme(), c.scheme);
    if (c.errorCode == 0) {
      ASSERT_EQ(r->error(), nullptr) << r->error()->toString().toStdString();
      EXPECT_EQ(r->responseStatusCode(), 200);
      EXPECT_TRUE(r->responseString().startsWith("protected"));
      EXPECT_TRUE(hasSessionEntryFor(target));
    } else {
      ASSERT_NE(r->error(), nullptr);
      EXPECT_EQ(r->error()->code(), c.errorCode);
      EXPECT_EQ(r->error()->localizedDescription(), "Authentication needed");
      EXPECT_FALSE(hasSessionEntryFor(target)) << "refused credentials leave the session store";
    }
    const int sent = authtest::countLines(server_->accessLog(), before, target.toStdString());
    EXPECT_LE(sent, 4) << "a refused request gives up instead of looping";
  }
}

TEST_F(ServerAuthTest, ALaterRequestToTheSameServerSendsSessionCredentialsBeforeAnyChallenge) {
  for (const char* dir : {"/digest/", "/basic/"}) {
    SCOPED_TRACE(dir);
    HTTPRequest::clearSessionCredentials();
    auto first = request(QString(dir) + "index.txt");
    first->setUsername("alice");
    first->setPassword("wonderland");
    first->startSynchronous();
    ASSERT_EQ(first->error(), nullptr);
    auto second = request(QString(dir) + "big.bin");
    second->startSynchronous();
    ASSERT_EQ(second->error(), nullptr);
    EXPECT_EQ(second->responseData().size(), ApacheServer::kBigFileBytes);
    EXPECT_EQ(logged(std::string(dir) + "big.bin HTTP/1.1\" 200", 1), 1);
    EXPECT_EQ(logged(std::string(dir) + "big.bin HTTP/1.1\" 401"), 0) << "no challenge for the second request";
    // A request with credentials of its own that differ from the entry's does not use it.
    auto other = request(QString(dir) + "big.bin");
    other->setUsername("alice");
    other->setPassword("wrong");
    other->startSynchronous();
    ASSERT_NE(other->error(), nullptr);
    EXPECT_EQ(other->error()->code(), 3);
  }
}

TEST_F(ServerAuthTest, BasicBeforeAChallengeWhenTheSchemeIsSetAndAStaleDigestNonceIsRenewed) {
  auto basic = request("/basic/index.txt");
  basic->setUsername("alice");
  basic->setPassword("wonderland");
  basic->setAuthenticationScheme("Basic");
  basic->startSynchronous();
  ASSERT_EQ(basic->error(), nullptr);
  EXPECT_EQ(logged("/basic/index.txt HTTP/1.1\" 200 user=alice", 1), 1);
  EXPECT_EQ(logged("/basic/index.txt HTTP/1.1\" 401"), 0);

  auto first = request("/digest-stale/index.txt");
  first->setUsername("alice");
  first->setPassword("wonderland");
  first->startSynchronous();
  ASSERT_EQ(first->error(), nullptr);
  QThread::msleep(2100);  // the nonce lives one second
  auto second = request("/digest-stale/big.bin");
  second->startSynchronous();
  ASSERT_EQ(second->error(), nullptr) << second->error()->toString().toStdString();
  EXPECT_EQ(logged("/digest-stale/big.bin HTTP/1.1\" 200", 1), 1);
  EXPECT_EQ(logged("/digest-stale/big.bin HTTP/1.1\" 401"), 1) << "the stale nonce was refused once";
}

TEST_F(ServerAuthTest, CredentialsInTheUrlWinOverTheRequestsOwn) {
  QUrl url = server_->url("/basic/index.txt");
  url.setUserName("alice");
  url.setPassword("wonderland");
  auto r = HTTPRequest::requestWithURL(url);
  r->setUsername("alice");
  r->setPassword("wrong");
  r->startSynchronous();
  EXPECT_EQ(r->error(), nullptr);
}

TEST_F(ServerAuthTest, ASynchronousRequestThatNobodyCanAnswerFailsAtOnce) {
  auto delegate = std::make_shared<authtest::CredentialsDelegate>();
  delegate->user = "alice";
  delegate->password = "wonderland";
  auto r = request("/digest/index.txt");
  r->setDelegate(delegate);
  r->startSynchronous();
  ASSERT_NE(r->error(), nullptr);
  EXPECT_EQ(r->error()->code(), 3);
  EXPECT_EQ(delegate->asked, 0);
  EXPECT_EQ(logged("/digest/index.txt", 1), 1);
}

TEST_F(ServerAuthTest, TheDelegateIsAskedOnceForConcurrentRequestsToOneServer) {
  for (const char* dir : {"/digest/", "/ntlm/"}) {
    SCOPED_TRACE(dir);
    HTTPRequest::clearSessionCredentials();
    http::transport::HttpStream::closeAllIdleConnections();
    auto delegate = std::make_shared<authtest::CredentialsDelegate>();
    delegate->user = QString(dir) == "/ntlm/" ? "TESTDOM\\alice" : "alice";
    delegate->password = "wonderland";
    auto a = request(QString(dir) + "index.txt");
    auto b = request(QString(dir) + "big.bin");
    for (const auto& r : {a, b}) {
      r->setDelegate(delegate);
      r->startAsynchronous();
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return a->isFinished() && b->isFinished(); }));
    EXPECT_EQ(a->error(), nullptr);
    EXPECT_EQ(b->error(), nullptr);
    EXPECT_EQ(delegate->asked, 1);
    EXPECT_TRUE(delegate->onMainThread);
  }
}

TEST_F(ServerAuthTest, ADelegateThatGivesUpFailsTheRequest) {
  auto delegate = std::make_shared<authtest::CredentialsDelegate>();  // no user: gives up
  auto r = request("/basic/index.txt");
  r->setDelegate(delegate);
  r->startAsynchronous();
  ASSERT_TRUE(testsupport::waitUntil([&] { return r->isFinished(); }));
  ASSERT_NE(r->error(), nullptr);
  EXPECT_EQ(r->error()->code(), 3);
  EXPECT_EQ(delegate->asked, 1);
}

}  // namespace

namespace {

TEST(SessionStoreTest, ClearingTheSessionForgetsServerCredentialsButKeepsProxyOnes) {
  HTTPRequest::clearSessionCredentials();
  http::auth::SessionCredentials server;
  server.credentials = {{"Username", "alice"}, {"Password", "wonderland"}};
  server.url = QUrl("http://127.0.0.1:1/x");
  HTTPRequest::storeAuthenticationCredentialsInSessionStore(server);
  http::auth::SessionCredentials proxy;
  proxy.credentials = {{"Username", "bob"}, {"Password", "builder"}};
  proxy.host = "127.0.0.1";
  proxy.port = 3128;
  HTTPRequest::storeProxyAuthenticationCredentialsInSessionStore(proxy);
  // Storing the very same dictionary again replaces its entry; an equal copy made anew adds one.
  HTTPRequest::storeAuthenticationCredentialsInSessionStore(server);
  EXPECT_EQ(HTTPRequest::sessionCredentialsStore().size(), 1u);
  HTTPRequest::removeAuthenticationCredentialsFromSessionStore(
      QVariantMap{{"Username", "alice"}, {"Password", "wonderland"}});
  EXPECT_EQ(HTTPRequest::sessionCredentialsStore().size(), 1u) << "removal is by identity, not content";

  HTTPRequest::clearSession();
  EXPECT_TRUE(HTTPRequest::sessionCredentialsStore().empty());
  ASSERT_EQ(HTTPRequest::sessionProxyCredentialsStore().size(), 1u);
  EXPECT_EQ(HTTPRequest::sessionProxyCredentialsStore().front()->host, "127.0.0.1");
  HTTPRequest::clearSessionCredentials();
}

}  // namespace
