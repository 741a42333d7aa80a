// The cache without a network: keys and file names, what is stored and whether it is current,
// the headers file's format, failed and damaged writes, the two stores and the folder errors.
#include "cache_fixture.h"

#include "cache/property_list.h"
#include "platform/error.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <csignal>
#include <future>
#include <sys/resource.h>

namespace cache {
namespace {

using testing::CacheFixture;

using DownloadCacheTest = CacheFixture;

TEST_F(DownloadCacheTest, KeysAndDataFileNames) {
  EXPECT_EQ(DownloadCache::keyForURL(QUrl("http://example.test/a")),
            "E63357D43F8FC6CF43DE34FD9323F9BF");
  EXPECT_EQ(DownloadCache::keyForURL(QUrl("http://example.test/a/")),
            DownloadCache::keyForURL(QUrl("http://example.test/a")));
  EXPECT_NE(DownloadCache::keyForURL(QUrl("http://example.test/a//")),
            DownloadCache::keyForURL(QUrl("http://example.test/a")));
  EXPECT_EQ(DownloadCache::keyForURL(QUrl()), "");

  struct Case {
    const char* url;
    const char* extension;
  };
  const std::vector<Case> cases = {
      {"http://example.test/index.php", "html"},   {"http://example.test/logo.PNG", "PNG"},
      {"http://example.test/dir/page", "html"},    {"http://example.test/", "html"},
      {"http://example.test/x.ASPX?q=1", "html"},  {"http://example.test/a.tar.gz", "gz"},
      {"http://example.test/run.cgi/", "html"},    {"http://example.test/.hidden", "html"},
      {"http://example.test/v1.2/readme", "html"}, {"http://example.test/script.Py", "html"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    auto request = finished(c.url, 200, {{"Cache-Control", "max-age=60"}});
    cache_->storeResponseForRequest(*request, 0);
    const QString path = cache_->pathToCachedResponseDataForURL(QUrl(c.url));
    ASSERT_FALSE(path.isEmpty());
    const QString key = DownloadCache::keyForURL(QUrl(c.url));
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{32}$").match(key).hasMatch());
    EXPECT_EQ(path, root() + "/SessionStore/" + key + "." + c.extension);
    EXPECT_EQ(cache_->pathToCachedResponseHeadersForURL(QUrl(c.url)),
              root() + "/SessionStore/" + key + ".cachedheaders");
  }
}

TEST_F(DownloadCacheTest, WhatIsStoredAndWhetherItIsCurrent) {
  struct Case {
    const char* name;
    int status;
    platform::StringMap headers;
    int policy;
    bool respect;
    bool stored;
    bool current;
  };
  const int revalidate = http::AskServerIfModifiedWhenStaleCachePolicy;
  const std::vector<Case> cases = {
      {"200 with max-age", 200, {{"Cache-Control", "max-age=60"}}, revalidate, true, true, true},
      {"404", 404, {{"Cache-Control", "max-age=60"}}, revalidate, true, false, false},
      {"307", 307, {{"Cache-Control", "max-age=60"}}, revalidate, true, true, true},
      {"skip-write policy", 200, {{"Cache-Control", "max-age=60"}}, 2 | revalidate, true, false, false},
      {"no-store", 200, {{"Cache-Control", "no-store"}}, revalidate, true, false, false},
      {"no-store in a list", 200, {{"Cache-Control", "No-Store, must-revalidate"}}, revalidate, true,
       false, false},
      {"no-store ignored", 200, {{"Cache-Control", "no-store"}}, revalidate, false, true, true},
      {"no expiry", 200, {{"Cache-Control", "private"}}, revalidate, true, true, false},
      {"no-cache: stale at once", 200, {{"Cache-Control", "max-age=60, no-cache"}}, revalidate, true,
       true, false},
      {"max-age=0 beats Expires", 200,
       {{"Cache-Control", "max-age=0"}, {"Expires", "Fri, 01 Jan 2100 00:00:00 GMT"}}, revalidate,
       true, true, false},
      {"Pragma no-cache", 200, {{"Pragma", "no-cache"}, {"Expires", "Fri, 01 Jan 2100 00:00:00 GMT"}},
       revalidate, true, true, false},
      {"Expires in the future", 200, {{"Expires", "Fri, 01 Jan 2100 00:00:00 GMT"}}, revalidate,
       true, true, true},
      {"Expires in the past", 200, {{"Expires", "Thu, 01 Jan 2015 00:00:00 GMT"}}, revalidate, true,
       true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString url = "http://example.test/entry";
    cache_->removeCachedDataForURL(QUrl(url));
    cache_->setShouldRespectCacheControlHeaders(c.respect);
    auto response = finished(url, c.status, c.headers, "body", c.policy);
    cache_->storeResponseForRequest(*response, 0);
    EXPECT_EQ(!cache_->cachedResponseHeadersForURL(QUrl(url)).isEmpty(), c.stored);
    EXPECT_EQ(cache_->cachedResponseDataForURL(QUrl(url)), c.stored ? QByteArray("body") : QByteArray());
    EXPECT_EQ(cache_->canUseCachedDataForRequest(*starting(url, revalidate)), c.current);
  }
  // An error stores nothing.
  auto failed = finished("http://example.test/failed", 200, {{"Cache-Control", "max-age=60"}});
  failed->setError(http::RequestTimedOutError());
  cache_->storeResponseForRequest(*failed, 0);
  EXPECT_TRUE(cache_->pathToCachedResponseHeadersForURL(failed->url()).isEmpty());
}

TEST_F(DownloadCacheTest, PolicyRulesWithoutResponse) {
  const QString stored = "http://example.test/stored";
  const QString missing = "http://example.test/missing";
  cache_->storeResponseForRequest(*finished(stored, 200, {{"Expires", "Thu, 01 Jan 2015 00:00:00 GMT"}}), 0);
  struct Case {
    int policy;
    bool forStored;
    bool forMissing;
  };
  const std::vector<Case> cases = {
      {1, false, false}, {1 | 16, false, false}, {4, false, false}, {8, false, false},
      {16, true, false}, {32, true, true},       {64, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.policy);
    EXPECT_EQ(cache_->canUseCachedDataForRequest(*starting(stored, c.policy)), c.forStored);
    EXPECT_EQ(cache_->canUseCachedDataForRequest(*starting(missing, c.policy)), c.forMissing);
  }
  // A request that failed after it completed falls back on any entry with flag 64.
  auto failed = starting(stored, 64 | 4);
  failed->setComplete(true);
  EXPECT_TRUE(cache_->canUseCachedDataForRequest(*failed));

  EXPECT_EQ(DownloadCache().defaultCachePolicy(), 4);
  cache_->setDefaultCachePolicy(0);
  EXPECT_EQ(cache_->defaultCachePolicy(), 4);
  cache_->setDefaultCachePolicy(16);
  EXPECT_EQ(cache_->defaultCachePolicy(), 16);
}

TEST_F(DownloadCacheTest, HeadersFileIsAPropertyListAndADamagedOneIsNoEntry) {
  const QString url = "http://example.test/plist";
  auto response = finished(url, 200,
                           {{"Cache-Control", "max-age=60"}, {"Content-Encoding", "gzip"},
                            {"Etag", "\"a<&>\""}},
                           "inflated");
  response->setShouldWaitToInflateCompressedResponses(false);  // the body is already inflated
  cache_->storeResponseForRequest(*response, 0);
  QFile file(cache_->pathToCachedResponseHeadersForURL(QUrl(url)));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray xml = file.readAll();
  file.close();
  EXPECT_TRUE(xml.contains("<plist version=\"1.0\">"));
  EXPECT_TRUE(xml.contains("<key>X-Cache-Response-Status-Code</key>\n\t\t<integer>200</integer>"));
  EXPECT_TRUE(xml.contains("<key>X-Cache-Expires</key>\n\t\t<real>"));
  EXPECT_TRUE(xml.contains("a&lt;&amp;&gt;"));
  const platform::StringMap headers = cache_->cachedResponseHeadersForURL(QUrl(url));
  EXPECT_EQ(headers.value("Etag"), "\"a<&>\"");
  EXPECT_FALSE(headers.contains("Content-Encoding"));
  EXPECT_EQ(headers.value("X-Cache-Response-Status-Code"), "200");
  const double expires = headers.value("X-Cache-Expires").toDouble();
  const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0;
  EXPECT_GT(expires, now + 30);
  EXPECT_LT(expires, now + 90);

  // A secondsToCache given by the request wins over the server's max-age.
  cache_->updateExpiryForRequest(*response, 3600);
  EXPECT_GT(cache_->cachedResponseHeadersForURL(QUrl(url)).value("X-Cache-Expires").toDouble(),
            now + 3000);

  // Cut short, it is not an entry for any policy.
  for (const qsizetype keep : {qsizetype(0), xml.size() / 2, xml.size() - 10}) {
    SCOPED_TRACE(keep);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(xml.left(keep));
    file.close();
    EXPECT_TRUE(cache_->cachedResponseHeadersForURL(QUrl(url)).isEmpty());
    EXPECT_FALSE(cache_->canUseCachedDataForRequest(*starting(url, 16)));
  }
  // Every cut before the end of the document is refused by the reader itself.
  const qsizetype end = xml.lastIndexOf("</plist>") + 8;
  for (qsizetype keep = 0; keep < end; ++keep) {
    ASSERT_FALSE(readPropertyList(xml.left(keep))) << keep;
  }
  ASSERT_TRUE(readPropertyList(xml.left(end)));
  EXPECT_FALSE(readPropertyList("<plist><dict><key>a</key><dict/></dict></plist>"));
  EXPECT_FALSE(readPropertyList("<plist><dict><key>a</key><integer>1x</integer></dict></plist>"));
  EXPECT_FALSE(readPropertyList("<plist><dict><key>a</key><string>&bogus;</string></dict></plist>"));
  EXPECT_FALSE(readPropertyList("<plist><dict></dict></plist><plist/>"));
  // What another writer may add (a comment, CDATA) is read by the full XML reader.
  EXPECT_EQ(readPropertyList("<?xml version=\"1.0\"?><!-- note --><plist version=\"1.0\"><dict>"
                             "<key>a</key><string><![CDATA[x<y]]></string></dict></plist>"),
            (QVariantMap{{"a", "x<y"}}));
  EXPECT_FALSE(readPropertyList("<plist><dict><key>a</key></dict></plist>"));
  EXPECT_EQ(readPropertyList("<plist version=\"1.0\"><dict><key>a</key><integer>7</integer>"
                             "<key>b</key><true/></dict></plist>"),
            (QVariantMap{{"a", qint64(7)}, {"b", true}}));
}

// Runs `fn` with writes to files limited to `bytes` (a write beyond fails, as on a full disk).
template <class Fn>
void withFileSizeLimit(rlim_t bytes, Fn fn) {
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = old;
  limited.rlim_cur = bytes;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  fn();
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
}

TEST_F(DownloadCacheTest, StoreThatFailsHalfWayLeavesNoEntry) {
  const QString url = "http://example.test/big.bin";
  const QByteArray small(1000, 's');
  const QByteArray big(64 * 1024, 'b');
  const platform::StringMap headers{{"Cache-Control", "max-age=60"}};
  const QString downloaded = QString::fromStdString((dir_ / "download.bin").string());
  {
    QFile file(downloaded);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(big);
  }
  for (const bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "body from a downloaded file" : "body in memory");
    cache_->storeResponseForRequest(*finished(url, 200, headers, small), 0);
    ASSERT_EQ(cache_->cachedResponseDataForURL(QUrl(url)), small);

    auto response = finished(url, 200, headers, big);
    if (fromFile) {
      response->setRawResponseData(std::nullopt);
      response->setDownloadDestinationPath(downloaded);
    }
    withFileSizeLimit(16 * 1024, [&] { cache_->storeResponseForRequest(*response, 0); });
    EXPECT_TRUE(cache_->pathToCachedResponseHeadersForURL(QUrl(url)).isEmpty());
    EXPECT_TRUE(cache_->pathToCachedResponseDataForURL(QUrl(url)).isEmpty());
    EXPECT_FALSE(cache_->canUseCachedDataForRequest(*starting(url, 16)));
    // No temporary file is left behind either.
    EXPECT_EQ(QDir(root() + "/SessionStore").entryList(QDir::Files | QDir::Hidden).size(), 0);

    cache_->storeResponseForRequest(*response, 0);
    EXPECT_EQ(cache_->cachedResponseDataForURL(QUrl(url)), big);
  }
}

TEST_F(DownloadCacheTest, SettingAStoragePathEmptiesOnlyTheSessionStore) {
  const platform::StringMap headers{{"Cache-Control", "max-age=60"}};
  const QString url = "http://example.test/both";
  cache_->storeResponseForRequest(*finished(url, 200, headers, "permanent", 4, 1), 0);
  cache_->storeResponseForRequest(*finished(url, 200, headers, "session", 4, 0), 0);
  EXPECT_EQ(cache_->cachedResponseDataForURL(QUrl(url)), "session");  // session store first

  cache_->setStoragePath(root());
  EXPECT_EQ(cache_->cachedResponseDataForURL(QUrl(url)), "permanent");

  cache_->storeResponseForRequest(*finished(url, 200, headers, "session", 4, 0), 0);
  cache_->clearCachedResponsesForStoragePolicy(1);
  EXPECT_EQ(cache_->cachedResponseDataForURL(QUrl(url)), "session");
  cache_->clearCachedResponsesForStoragePolicy(0);
  EXPECT_TRUE(cache_->cachedResponseDataForURL(QUrl(url)).isNull());

  // Without a storage path nothing is found or stored.
  DownloadCache none;
  none.storeResponseForRequest(*finished(url, 200, headers), 0);
  EXPECT_TRUE(none.pathToStoreCachedResponseDataForRequest(*finished(url, 200, headers)).isEmpty());
  EXPECT_FALSE(none.canUseCachedDataForRequest(*starting(url, 16)));
  EXPECT_TRUE(none.canUseCachedDataForRequest(*starting(url, 32)));
}

TEST_F(DownloadCacheTest, FolderProblemsAreNamedExceptions) {
  const std::string base = dir_.path().string();
  testsupport::writeFile(dir_ / "blocked" / "SessionStore", "a file");
  testsupport::writeFile(dir_ / "plainfile", "a file");
  struct Case {
    std::string path;
    std::string folder;  // named in the reason
    const char* name;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {base + "/plainfile", base + "/plainfile", "FileExistsAtCachePath",
       "Cannot create a directory for the cache at '%1', because a file already exists"},
      {base + "/blocked", base + "/blocked/SessionStore", "FileExistsAtCachePath",
       "Cannot create a directory for the cache at '%1', because a file already exists"},
      {base + "/no/such/parent", base + "/no/such/parent", "FailedToCreateCacheDirectory",
       "Failed to create a directory for the cache at '%1'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    DownloadCache cache;
    try {
      cache.setStoragePath(QString::fromStdString(c.path));
      ADD_FAILURE() << "no exception";
    } catch (const platform::NamedException& e) {
      EXPECT_EQ(e.name(), c.name);
      EXPECT_EQ(e.reason(), QString::fromLatin1(c.reason).arg(QString::fromStdString(c.folder)));
    }
    // The lock was released: another thread can use the cache.
    auto other = std::async(std::launch::async, [&cache] { return cache.storagePath(); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  }
}

}  // namespace
}  // namespace cache

namespace cache {
namespace {

TEST(SharedCacheTest, LivesInTheProgramsCacheFolderAndIsMadeOnce) {
  testsupport::TempDir home;
  const QByteArray old = qgetenv("XDG_CACHE_HOME");
  qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(home.path().string()));
  const std::shared_ptr<DownloadCache> shared = DownloadCache::sharedCache();
  qputenv("XDG_CACHE_HOME", old);
  const QString expected = QString::fromStdString(home.path().string()) + "/" +
                           QCoreApplication::applicationName() + "/HTTPRequestCache";
  EXPECT_EQ(shared->storagePath(), expected);
  EXPECT_TRUE(QFileInfo(expected + "/SessionStore").isDir());
  EXPECT_TRUE(QFileInfo(expected + "/PermanentStore").isDir());
  EXPECT_EQ(DownloadCache::sharedCache(), shared);
  shared->setStoragePath({});  // nothing of it outlives the temporary folder
}

}  // namespace
}  // namespace cache
