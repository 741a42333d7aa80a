// A real browser judges the saved pages: headless Chromium renders the live page from nginx, then,
// with nginx stopped, the saved page from disk; the two screenshots must match but for
// anti-aliasing noise. This proves that the archive holds everything the page needs.
#include "support/archive_site.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "webpage/web_page_request.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>

namespace {

namespace fs = std::filesystem;

// Pixels allowed to differ by more than the fuzz below (anti-aliasing at edges) in 800 x 600.
constexpr int kAllowedDifferentPixels = 200;

QString chromium() {
  for (const char* name : {"chromium", "chromium-browser"}) {
    const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
    if (!path.isEmpty()) return path;
  }
  return {};
}

// Renders `url` to the PNG `out`, with a private profile in `profile`; false when Chromium failed
// or took too long. Chromium makes no lookup and no connection beyond the loopback.
bool screenshot(const QString& url, const fs::path& out, const fs::path& profile) {
  QProcess browser;
  browser.setProcessChannelMode(QProcess::MergedChannels);
  browser.start(chromium(), {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                             "--disable-background-networking", "--disable-component-update", "--disable-sync",
                             "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1",
                             "--user-data-dir=" + QString::fromStdString(profile.string()), "--hide-scrollbars",
                             "--window-size=800,600", "--screenshot=" + QString::fromStdString(out.string()), url});
  if (!browser.waitForFinished(90000)) {
    browser.kill();
    browser.waitForFinished(5000);
    return false;
  }
  return browser.exitStatus() == QProcess::NormalExit && fs::exists(out);
}

// The number of pixels that differ between two PNGs (ImageMagick compare -metric AE); -1 when
// compare could not compare them.
long differentPixels(const fs::path& a, const fs::path& b) {
  QProcess compare;
  compare.start(QStringLiteral("compare"), {"-metric", "AE", "-fuzz", "3%", QString::fromStdString(a.string()),
                                            QString::fromStdString(b.string()), "null:"});
  if (!compare.waitForFinished(60000)) return -1;
  bool ok = false;
  const long count = QString::fromLatin1(compare.readAllStandardError()).trimmed().section(' ', 0, 0).toLong(&ok);
  return ok ? count : -1;
}

struct Case {
  int mode;
  const char* page;
};

class BrowserComparisonTest : public ::testing::TestWithParam<Case> {};

TEST_P(BrowserComparisonTest, TheSavedPageLooksLikeTheLivePage) {
  if (chromium().isEmpty() || QStandardPaths::findExecutable(QStringLiteral("compare")).isEmpty()) {
    GTEST_SKIP() << "chromium or ImageMagick is not installed";
  }
  const Case c = GetParam();
  testsupport::TempDir site;
  testsupport::TempDir out;
  testsupport::NginxServer::Options options;
  options.root = site.path();
  options.extraServerConfig = testsupport::archiveSiteServerConfig();
  auto server = std::make_unique<testsupport::NginxServer>(options);
  if (!server->isRunning()) GTEST_SKIP() << server->errorText().toStdString();
  ASSERT_TRUE(testsupport::writeArchiveSite(site.path(), server->port()));
  const QUrl live = server->url(QString::fromLatin1(c.page));
  ASSERT_TRUE(screenshot(live.toString(), out / "live.png", out / "profile-live"));

  const fs::path saved = out / "saved" / "page.html";
  const fs::path resources = c.mode == webpage::ReplaceURLsWithRelativePaths ? out / "saved" / "page.html_files"
                                                                             : out / "scratch";
  fs::create_directories(saved.parent_path());
  auto request = webpage::WebPageRequest::requestWithURL(live);
  request->setURLReplacementMode(c.mode);
  request->setDownloadDestinationPath(QString::fromStdString(saved.string()));
  request->setResourceFolder(QString::fromStdString(resources.string()));
  auto reported = std::make_shared<bool>(false);
  request->setCompletionBlock([reported] { *reported = true; });
  request->setFailedBlock([reported] { *reported = true; });
  request->startAsynchronous();
  ASSERT_TRUE(testsupport::waitUntil([&] { return *reported && request->isFinished(); }, std::chrono::seconds(60)));
  ASSERT_FALSE(request->error()) << request->error()->toString().toStdString();
  EXPECT_EQ(request->resourcesFailed(), 0);

  // Offline from here on; a single-file archive must not need its scratch copies either.
  server.reset();
  if (c.mode == webpage::ReplaceURLsWithDataURLs) fs::remove_all(resources);
  ASSERT_TRUE(screenshot(QUrl::fromLocalFile(QString::fromStdString(saved.string())).toString(), out / "saved.png",
                         out / "profile-saved"));
  const long different = differentPixels(out / "live.png", out / "saved.png");
  EXPECT_GE(different, 0);
  EXPECT_LE(different, kAllowedDifferentPixels);

  // The judge itself: the page as received, without its resources, must look clearly different.
  if (c.mode == webpage::ReplaceURLsWithDataURLs) {
    const fs::path bare = out / "bare" / "page.html";
    testsupport::writeFile(bare, testsupport::readFile(site.path() / std::string(c.page).substr(1)));
    ASSERT_TRUE(screenshot(QUrl::fromLocalFile(QString::fromStdString(bare.string())).toString(), out / "bare.png",
                           out / "profile-bare"));
    EXPECT_GT(differentPixels(out / "live.png", out / "bare.png"), 20 * kAllowedDifferentPixels);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, BrowserComparisonTest,
                         ::testing::Values(Case{1, "/index.html"}, Case{2, "/index.html"}, Case{2, "/latin1.html"}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.mode == 1 ? "DataURLs" : "RelativePaths") +
                                  (info.param.page == std::string("/index.html") ? "UTF8Page" : "Latin1Page");
                         });

}  // namespace
