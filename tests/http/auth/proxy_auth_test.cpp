// Proxy authentication against apache2 as a forward proxy (Basic, Digest and NTLM, one port
// each) in front of the loopback server: right and wrong passwords, the delegate asked for proxy
// credentials, and proxy credentials kept in the session store.
#include "auth_peer.h"
#include "http/auth/session_credentials.h"
#include "http/transport/http_stream.h"
#include "support/apache_server.h"
#include "support/test_http_server.h"
#include "support/wait.h"

#include <gtest/gtest.h>

namespace {

using http::HTTPRequest;
using testsupport::ApacheServer;
using testsupport::HttpResponse;
using testsupport::TestHttpServer;

class ProxyAuthTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { proxy_ = new ApacheServer(ApacheServer::Mode::Proxy); }
  static void TearDownTestSuite() {
    delete proxy_;
    proxy_ = nullptr;
  }
  void SetUp() override {
    if (!proxy_->isRunning()) GTEST_SKIP() << proxy_->errorText().toStdString();
    HTTPRequest::clearSessionCredentials();
    http::transport::HttpStream::closeAllIdleConnections();
    origin_.route("/file", HttpResponse::ok("through the proxy"));
  }
  std::shared_ptr<HTTPRequest> viaProxy(ApacheServer::Scheme scheme) {
    auto r = HTTPRequest::requestWithURL(origin_.url("/file"));
    r->setProxyHost("127.0.0.1");
    r->setProxyPort(proxy_->port(scheme));
    return r;
  }

  static int waitForLog(size_t from, const std::string& text, int expected) {
    return authtest::waitForLines([] { return proxy_->accessLog(); }, from, text, expected);
  }

  static ApacheServer* proxy_;
  TestHttpServer origin_;
};
ApacheServer* ProxyAuthTest::proxy_ = nullptr;

TEST_F(ProxyAuthTest, EachSchemeWithRightAndWrongPasswords) {
  const struct {
    ApacheServer::Scheme scheme;
    const char* user;
    const char* password;
    int errorCode;
    const char* method;
  } cases[] = {
      {ApacheServer::Scheme::Basic, "alice", "wonderland", 0, "Basic"},
      {ApacheServer::Scheme::Basic, "alice", "nope", 3, "Basic"},
      {ApacheServer::Scheme::Digest, "alice", "wonderland", 0, "Digest"},
      {ApacheServer::Scheme::Digest, "alice", "nope", 3, "Digest"},
      {ApacheServer::Scheme::Ntlm, "TESTDOM\\alice", "wonderland", 0, "NTLM"},
      {ApacheServer::Scheme::Ntlm, "TESTDOM\\alice", "nope", 3, "NTLM"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.password);
    HTTPRequest::clearSessionCredentials();
    http::transport::HttpStream::closeAllIdleConnections();
    const size_t before = proxy_->accessLog().size();
    auto r = viaProxy(c.scheme);
    r->setProxyUsername(c.user);
    r->setProxyPassword(c.password);
    r->startSynchronous();
    EXPECT_EQ(r->proxyAuthenticationScheme(), c.method);
    if (c.errorCode == 0) {
      ASSERT_EQ(r->error(), nullptr) << r->error()->toString().toStdString();
      EXPECT_EQ(r->responseString(), "through the proxy");
      EXPECT_EQ(waitForLog(before, "200 user=", 1), 1);
      EXPECT_EQ(HTTPRequest::sessionProxyCredentialsStore().size(), 1u);
    } else {
      ASSERT_NE(r->error(), nullptr);
      EXPECT_EQ(r->error()->code(), c.errorCode);
      EXPECT_TRUE(HTTPRequest::sessionProxyCredentialsStore().empty());
    }
    EXPECT_LE(authtest::countLines(proxy_->accessLog(), before, "/file"), 4);
  }
}

TEST_F(ProxyAuthTest, TheDelegateSuppliesProxyCredentialsAndLaterRequestsReuseThem) {
  auto delegate = std::make_shared<authtest::CredentialsDelegate>();
  delegate->user = "alice";
  delegate->password = "wonderland";
  const size_t beforeFirst = proxy_->accessLog().size();
  auto first = viaProxy(ApacheServer::Scheme::Digest);
  first->setDelegate(delegate);
  first->startAsynchronous();
  ASSERT_TRUE(testsupport::waitUntil([&] { return first->isFinished(); }));
  ASSERT_EQ(first->error(), nullptr);
  EXPECT_EQ(delegate->proxyAsked, 1);
  EXPECT_EQ(delegate->asked, 0);

  // The proxy writes its line after answering: wait for the first request's before counting.
  waitForLog(beforeFirst, "200 user=alice", 1);
  const size_t before = proxy_->accessLog().size();
  auto second = viaProxy(ApacheServer::Scheme::Digest);
  second->startSynchronous();
  ASSERT_EQ(second->error(), nullptr);
  EXPECT_EQ(waitForLog(before, "200 user=alice", 1), 1);
  EXPECT_EQ(authtest::countLines(proxy_->accessLog(), before, "407"), 0)
      << "the session's proxy credentials went with the first attempt";
}

}  // namespace
