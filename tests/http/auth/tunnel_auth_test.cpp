// Proxy authentication on a CONNECT tunnel: https through apache2 as an authenticating forward
// proxy (Basic, Digest and NTLM) to nginx over TLS. The 407 answer to CONNECT is answered like
// any other, on the same connection, and the proxy's credentials never enter the tunnel.
#include "http/http_request.h"
#include "http/transport/http_stream.h"
#include "support/apache_server.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "support/wait.h"

#include <gtest/gtest.h>

namespace {

using http::HTTPRequest;
using testsupport::ApacheServer;

TEST(TunnelAuthTest, HttpsThroughAnAuthenticatingProxyForEachScheme) {
  ApacheServer proxy(ApacheServer::Mode::Proxy);
  if (!proxy.isRunning()) GTEST_SKIP() << proxy.errorText().toStdString();
  testsupport::TempDir root;
  testsupport::writeFile(root / "file.txt", "over TLS");
  testsupport::NginxServer::Options options;
  options.root = root.path();
  options.tls = true;
  testsupport::NginxServer origin(options);
  if (!origin.isRunning()) GTEST_SKIP() << origin.errorText().toStdString();

  const struct {
    ApacheServer::Scheme scheme;
    const char* user;
    const char* password;
    int errorCode;
  } cases[] = {
      {ApacheServer::Scheme::Basic, "alice", "wonderland", 0},
      {ApacheServer::Scheme::Basic, "alice", "nope", 3},
      {ApacheServer::Scheme::Digest, "alice", "wonderland", 0},
      {ApacheServer::Scheme::Ntlm, "TESTDOM\\alice", "wonderland", 0},
      {ApacheServer::Scheme::Ntlm, "TESTDOM\\alice", "nope", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(c.scheme) << " " << c.password);
    HTTPRequest::clearSessionCredentials();
    http::transport::HttpStream::closeAllIdleConnections();
    const size_t before = proxy.accessLog().size();
    auto r = HTTPRequest::requestWithURL(origin.url("/file.txt"));
    r->setValidatesSecureCertificate(false);
    r->setProxyHost("127.0.0.1");
    r->setProxyPort(proxy.port(c.scheme));
    r->setProxyUsername(c.user);
    r->setProxyPassword(c.password);
    r->startSynchronous();
    if (c.errorCode == 0) {
      ASSERT_EQ(r->error(), nullptr) << r->error()->toString().toStdString();
      EXPECT_EQ(r->responseString(), "over TLS");
      // The proxy logs a tunnel when it closes.
      http::transport::HttpStream::closeAllIdleConnections();
      EXPECT_TRUE(testsupport::waitUntil([&] {
        const auto log = proxy.accessLog();
        for (size_t i = before; i < log.size(); ++i) {
          if (log[i].find("CONNECT") != std::string::npos && log[i].find("user=") != std::string::npos &&
              log[i].find("alice") != std::string::npos) {
            return true;
          }
        }
        return false;
      }, std::chrono::seconds(5))) << "the tunnel was opened for alice";
    } else {
      ASSERT_NE(r->error(), nullptr);
      EXPECT_EQ(r->error()->code(), c.errorCode);
    }
  }
}

}  // namespace
