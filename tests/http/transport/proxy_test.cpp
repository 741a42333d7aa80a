// Streams through proxies: a plain HTTP proxy (absolute-form requests, connections kept per
// proxy), a CONNECT tunnel for https, SOCKS5, and a proxy that cannot be reached.
#include "http/transport/http_stream.h"
#include "http/transport/transport_error.h"
#include "stream_runner.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "support/test_proxy_server.h"

#include <QTcpServer>

#include <gtest/gtest.h>

namespace http::transport {
namespace {

using testing::codeOf;
using testing::getStream;
using testing::StreamRunner;
using testsupport::HttpResponse;

ProxySettings proxyAt(ProxySettings::Type type, quint16 port) {
  ProxySettings proxy;
  proxy.type = type;
  proxy.host = QStringLiteral("127.0.0.1");
  proxy.port = port;
  return proxy;
}

class ProxyTest : public ::testing::Test {
 protected:
  void TearDown() override { HttpStream::closeAllIdleConnections(); }
};

TEST_F(ProxyTest, AnHttpProxyGetsAbsoluteFormRequestsOnAKeptConnection) {
  testsupport::TestHttpServer proxy;
  proxy.enqueue(HttpResponse::ok("via proxy"));
  proxy.enqueue(HttpResponse::ok("again"));
  for (const char* expected : {"via proxy", "again"}) {
    auto stream = getStream(QUrl("http://origin.test:8080/path?q=1"), 3);
    stream->setProxy(proxyAt(ProxySettings::Type::Http, proxy.port()));
    StreamRunner run(stream);
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.body, expected);
  }
  const auto requests = proxy.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "http://origin.test:8080/path?q=1");
  EXPECT_EQ(requests[0].header("Host"), "origin.test:8080");
  EXPECT_EQ(proxy.connectionCount(), 1);

  // The same id without the proxy must not reuse the proxy's connection.
  testsupport::TestHttpServer direct;
  direct.route("/", HttpResponse::ok("direct"));
  StreamRunner run(getStream(direct.url("/"), 3));
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait());
  EXPECT_EQ(run.body, "direct");
  EXPECT_EQ(direct.requestCount(), 1);
}

TEST_F(ProxyTest, Socks5CarriesRequestsToTheNamedHost) {
  testsupport::TestHttpServer origin;
  origin.route("/s", HttpResponse::ok("socks").chunked(2));
  testsupport::TestProxyServer socks;
  auto stream = getStream(QUrl(QStringLiteral("http://origin.test:%1/s").arg(origin.port())));
  stream->setProxy(proxyAt(ProxySettings::Type::Socks5, socks.port()));
  StreamRunner run(stream);
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait());
  ASSERT_TRUE(run.ended) << run.error->toString().toStdString();
  EXPECT_EQ(run.body, "socks");
  ASSERT_EQ(socks.targets().size(), 1u);
  EXPECT_EQ(socks.targets()[0], "SOCKS5 origin.test:" + QByteArray::number(origin.port()));
  EXPECT_EQ(origin.requests()[0].target, "/s");
}

TEST_F(ProxyTest, HttpsGoesThroughAConnectTunnelWithoutTheProxyCredentials) {
  if (!testsupport::NginxServer::isInstalled()) GTEST_SKIP() << "nginx is not installed";
  testsupport::TempDir root;
  testsupport::writeFile(root / "doc.txt", "secret document");
  testsupport::NginxServer::Options options;
  options.root = root.path();
  options.tls = true;
  options.extraServerConfig = "location /auth { return 200 \"[$http_proxy_authorization]\"; }";
  testsupport::NginxServer nginx(options);
  ASSERT_TRUE(nginx.isRunning()) << nginx.errorText().toStdString();
  testsupport::TestProxyServer proxy;

  TlsOptions tls;
  tls.allowsAnyRoot = true;
  for (const auto& [path, expected] : std::vector<std::pair<QString, QByteArray>>{
           {"/doc.txt", "secret document"}, {"/auth", "[]"}}) {
    RequestHead head;
    head.url = QUrl(QStringLiteral("https://localhost:%1%2").arg(nginx.port()).arg(path));
    head.headers.append("Proxy-Authorization", "Basic dTpw");
    auto stream = HttpStream::create(head);
    stream->setTlsOptions(tls);
    stream->setProxy(proxyAt(ProxySettings::Type::Http, proxy.port()));
    StreamRunner run(stream);
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    ASSERT_TRUE(run.ended) << run.error->toString().toStdString();
    EXPECT_EQ(run.body, expected);
  }
  ASSERT_FALSE(proxy.targets().empty());
  EXPECT_EQ(proxy.targets()[0], "CONNECT localhost:" + QByteArray::number(nginx.port()));
}

TEST_F(ProxyTest, AnUnreachableProxyIsAConnectFailure) {
  quint16 deadPort = 0;
  {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    deadPort = probe.serverPort();
  }
  for (auto type : {ProxySettings::Type::Http, ProxySettings::Type::Socks5}) {
    auto stream = getStream(QUrl("http://origin.test/"));
    stream->setProxy(proxyAt(type, deadPort));
    StreamRunner run(stream);
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    EXPECT_EQ(codeOf(run.error), static_cast<int>(TransportErrorCode::ConnectFailed));
  }
}

}  // namespace
}  // namespace http::transport
