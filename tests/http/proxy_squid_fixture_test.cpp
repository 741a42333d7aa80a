// The squid test proxy itself, judged by curl: each authentication mode challenges, accepts the
// right credentials, refuses wrong ones and logs the user; CONNECT tunnels show in the log.
#include "support/nginx_server.h"
#include "support/squid_server.h"
#include "support/temp_dir.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace {

using testsupport::NginxServer;
using testsupport::SquidServer;

// curl's HTTP status for `url` through the proxy with `extra` arguments ("000" on failure).
QString curlStatus(quint16 proxyPort, const QUrl& url, QStringList extra) {
  QProcess curl;
  extra << "-s" << "-o" << "/dev/null" << "-w" << "%{http_code}" << "--max-time" << "10" << "-x"
        << QStringLiteral("http://127.0.0.1:%1").arg(proxyPort) << url.toString();
  curl.start(QStringLiteral("curl"), extra);
  curl.waitForFinished(15000);
  return QString::fromLatin1(curl.readAllStandardOutput());
}

TEST(SquidFixture, EachAuthenticationModeChallengesAndChecksCredentials) {
  if (!NginxServer::isInstalled() || !SquidServer::isInstalled(SquidServer::Auth::Digest)) {
    GTEST_SKIP() << "nginx or squid is not installed";
  }
  testsupport::TempDir root;
  testsupport::writeFile(root / "index.txt", "hello\n");
  NginxServer::Options site;
  site.root = root.path();
  NginxServer origin(site);
  ASSERT_TRUE(origin.isRunning()) << origin.errorText().toStdString();
  const QUrl url = origin.url("/index.txt");

  struct Case {
    SquidServer::Auth auth;
    const char* curlScheme;  // curl's option for the scheme
    const char* anonymous;   // status without credentials
  };
  const Case cases[] = {
      {SquidServer::Auth::None, nullptr, "200"},
      {SquidServer::Auth::Basic, "--proxy-basic", "407"},
      {SquidServer::Auth::Digest, "--proxy-digest", "407"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.auth));
    SquidServer::Options options;
    options.auth = c.auth;
    SquidServer squid(options);
    ASSERT_TRUE(squid.isRunning()) << squid.errorText().toStdString();
    EXPECT_EQ(curlStatus(squid.port(), url, {}), c.anonymous);
    if (c.curlScheme == nullptr) {
      EXPECT_TRUE(squid.waitForLogLine("TCP_MISS/200 ")) << squid.accessLog().size();
      continue;
    }
    EXPECT_EQ(curlStatus(squid.port(), url, {c.curlScheme, "-U", "alice:wonderland"}), "200");
    EXPECT_TRUE(squid.waitForLogLine("user=alice port=" + std::to_string(squid.port())));
    EXPECT_EQ(curlStatus(squid.port(), url, {c.curlScheme, "-U", "alice:wrong"}), "407");
  }
}

TEST(SquidFixture, HttpsGoesThroughAConnectTunnel) {
  if (!NginxServer::isInstalled() || !SquidServer::isInstalled()) GTEST_SKIP();
  testsupport::TempDir root;
  testsupport::writeFile(root / "index.txt", "hello\n");
  NginxServer::Options site;
  site.root = root.path();
  site.tls = true;
  site.certificateName = "127.0.0.1";
  site.certificateAltNames = "IP:127.0.0.1";
  NginxServer origin(site);
  ASSERT_TRUE(origin.isRunning()) << origin.errorText().toStdString();
  SquidServer squid;
  ASSERT_TRUE(squid.isRunning()) << squid.errorText().toStdString();
  const QString ca = QString::fromStdString(origin.certificate().certificate.string());
  EXPECT_EQ(curlStatus(squid.port(), origin.url("/index.txt"), {"--cacert", ca}), "200");
  EXPECT_TRUE(squid.waitForLogLine("CONNECT 127.0.0.1:" + std::to_string(origin.port())));
}

}  // namespace
