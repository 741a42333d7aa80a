// Proxy authentication through squid (basic_ncsa_auth, digest_file_auth): the proxy's access
// log names the user the request went as. NTLM proxies are tested against apache2, which checks
// the password (proxy_auth_test.cpp).
#include "http/http_request.h"
#include "http/transport/http_stream.h"
#include "support/squid_server.h"
#include "support/test_http_server.h"

#include <gtest/gtest.h>

namespace {

using http::HTTPRequest;
using testsupport::SquidServer;

TEST(SquidProxyAuthTest, EachSchemeWithRightAndWrongPasswords) {
  const struct {
    SquidServer::Auth auth;
    const char* user;
    const char* password;
    int errorCode;
    const char* method;
  } cases[] = {
      {SquidServer::Auth::Basic, "alice", "wonderland", 0, "Basic"},
      {SquidServer::Auth::Basic, "alice", "nope", 3, "Basic"},
      {SquidServer::Auth::Digest, "alice", "wonderland", 0, "Digest"},
      {SquidServer::Auth::Digest, "alice", "nope", 3, "Digest"},
  };
  testsupport::TestHttpServer origin;
  origin.route("/file", testsupport::HttpResponse::ok("through squid"));
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.password);
    if (!SquidServer::isInstalled(c.auth)) GTEST_SKIP() << "squid or its helper is not installed";
    SquidServer::Options options;
    options.auth = c.auth;
    SquidServer squid(options);
    ASSERT_TRUE(squid.isRunning()) << squid.errorText().toStdString();
    HTTPRequest::clearSessionCredentials();
    http::transport::HttpStream::closeAllIdleConnections();
    auto r = HTTPRequest::requestWithURL(origin.url("/file"));
    r->setProxyHost("127.0.0.1");
    r->setProxyPort(squid.port());
    r->setProxyUsername(c.user);
    r->setProxyPassword(c.password);
    r->startSynchronous();
    EXPECT_EQ(r->proxyAuthenticationScheme(), c.method);
    if (c.errorCode == 0) {
      ASSERT_EQ(r->error(), nullptr) << r->error()->toString().toStdString();
      EXPECT_EQ(r->responseString(), "through squid");
      EXPECT_TRUE(squid.waitForLogLine("alice port=")) << "squid names the user the request went as";
    } else {
      ASSERT_NE(r->error(), nullptr);
      EXPECT_EQ(r->error()->code(), c.errorCode);
      EXPECT_TRUE(HTTPRequest::sessionProxyCredentialsStore().empty());
    }
  }
}

}  // namespace
