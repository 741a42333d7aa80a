// The host-to-address override: the curl-style text form, and streams to made-up host names
// that reach nginx on 127.0.0.1 with the name kept in the Host header and the TLS check.
#include "http/transport/host_overrides.h"
#include "http/transport/http_stream.h"
#include "http/transport/transport_error.h"
#include "stream_runner.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace http::transport {
namespace {

using testing::getStream;
using testing::StreamRunner;
using testsupport::NginxServer;

class HostOverridesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    HostOverrides::clear();
    HttpStream::closeAllIdleConnections();
  }
};

TEST_F(HostOverridesTest, TextFormAndLookupRules) {
  struct Case {
    const char* text;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"a.example.test:8080:127.0.0.1", true},
      {"B.Example.Test:*:127.0.0.2", true},
      {"v6.example.test:443:[::1]", true},
      {"local.example.test:80:localhost", true},
      {"bad.example.test:80:elsewhere.example", false},  // would need a lookup of its own
      {"bad.example.test:0:127.0.0.1", false},
      {"bad.example.test:70000:127.0.0.1", false},
      {"bad.example.test:80", false},
      {":80:127.0.0.1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(HostOverrides::setFromText(QString::fromLatin1(c.text)), c.accepted);
  }
  EXPECT_EQ(HostOverrides::addressFor("A.EXAMPLE.TEST", 8080), QStringLiteral("127.0.0.1"));
  EXPECT_EQ(HostOverrides::addressFor("a.example.test", 8081), std::nullopt);
  EXPECT_EQ(HostOverrides::addressFor("b.example.test", 1234), QStringLiteral("127.0.0.2"));
  ASSERT_TRUE(HostOverrides::set("b.example.test", 1234, "127.0.0.3"));  // exact port wins
  EXPECT_EQ(HostOverrides::addressFor("b.example.test", 1234), QStringLiteral("127.0.0.3"));
  EXPECT_EQ(HostOverrides::addressFor("v6.example.test", 443), QStringLiteral("::1"));
  EXPECT_EQ(HostOverrides::connectHost("bad.example.test", 80), QStringLiteral("bad.example.test"));
  HostOverrides::remove("b.example.test", 0);
  EXPECT_EQ(HostOverrides::addressFor("b.example.test", 99), std::nullopt);
  HostOverrides::clear();
  EXPECT_EQ(HostOverrides::addressFor("a.example.test", 8080), std::nullopt);
}

TEST_F(HostOverridesTest, MadeUpNamesReachTheOverridingAddressUnderTheirOwnName) {
  if (!NginxServer::isInstalled()) GTEST_SKIP() << "nginx is not installed";
  testsupport::TempDir root;
  NginxServer::Options options;
  options.root = root.path();
  options.extraServerConfig = "location = /host { return 200 \"$host\"; }";
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "https" : "http");
    options.tls = tls;
    options.certificateName = "a.example.test";
    options.certificateAltNames = "DNS:a.example.test";
    NginxServer nginx(options);
    ASSERT_TRUE(nginx.isRunning()) << nginx.errorText().toStdString();
    ASSERT_TRUE(HostOverrides::set("a.example.test", nginx.port(), "127.0.0.1"));
    QUrl url = nginx.url("/host");
    url.setHost("a.example.test");

    auto stream = getStream(url, 1);
    TlsOptions checked;  // the certificate's name is checked against the URL's host
    checked.allowsAnyRoot = true;
    stream->setTlsOptions(checked);
    StreamRunner run(stream);
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    ASSERT_TRUE(run.ended) << run.error->toString().toStdString();
    EXPECT_EQ(run.body, "a.example.test");

    // Another made-up name for the same address is not the certificate's name.
    if (tls) {
      ASSERT_TRUE(HostOverrides::set("b.example.test", nginx.port(), "127.0.0.1"));
      url.setHost("b.example.test");
      auto other = getStream(url);
      other->setTlsOptions(checked);
      StreamRunner refused(other);
      ASSERT_TRUE(refused.start());
      ASSERT_TRUE(refused.wait());
      ASSERT_NE(refused.error, nullptr);
      EXPECT_EQ(classifyError(refused.error), ErrorClass::TlsFailure);
    }
    HostOverrides::clear();
  }
}

}  // namespace
}  // namespace http::transport
