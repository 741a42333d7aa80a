// Requests with a cache against a real nginx: every policy flag with a fresh, a stale and a
// missing entry (whether the network is used, and whether nginx answered 304), Cache-Control
// variants as nginx sends them, and falling back on the cache when the server is gone.
#include "cache_fixture.h"

#include "cache/property_list.h"
#include "support/nginx_server.h"
#include "support/wait.h"

#include <QFile>

namespace cache {
namespace {

using testsupport::NginxServer;

class CacheNginxTest : public testing::CacheFixture {
 protected:
  void SetUp() override {
    if (!NginxServer::isInstalled()) GTEST_SKIP() << "nginx is not installed";
    CacheFixture::SetUp();
    for (const char* folder : {"fresh", "nostore", "nocache", "private", "maxage", "expires"}) {
      testsupport::writeFile(content_ / folder / "a.txt", std::string("content of ") + folder);
    }
    NginxServer::Options options;
    options.root = content_.path();
    options.extraServerConfig =
        "location /fresh/ { expires 1h; }\n"
        "location /nostore/ { add_header Cache-Control \"no-store, must-revalidate\"; }\n"
        "location /nocache/ { add_header Cache-Control no-cache; }\n"
        "location /private/ { add_header Cache-Control private; }\n"
        "location /maxage/ { add_header Cache-Control \"max-age=120\"; }\n"
        "location /expires/ { add_header Expires \"Fri, 01 Jan 2100 00:00:00 GMT\"; }\n";
    nginx_ = std::make_unique<NginxServer>(options);
    ASSERT_TRUE(nginx_->isRunning()) << nginx_->errorText().toStdString();
  }

  // Runs a GET of `path` with `policy` and the fixture's cache.
  std::shared_ptr<http::HTTPRequest> get(const QString& path, int policy) {
    auto request = http::HTTPRequest::requestWithURL(nginx_->url(path), cache_, policy);
    request->startSynchronous();
    return request;
  }

  // Access log lines for `path`, and how many of them were 304 answers, once at least `atLeast`
  // lines are there (nginx may write a line just after the client read the answer).
  std::pair<int, int> served(const std::string& path, int atLeast = 0) const {
    std::pair<int, int> counts;
    testsupport::waitUntil(
        [&] {
          counts = {0, 0};
          for (const std::string& line : nginx_->accessLog()) {
            if (line.find("GET " + path + " ") == std::string::npos) continue;
            ++counts.first;
            if (line.find(" 304 ") != std::string::npos) ++counts.second;
          }
          return counts.first >= atLeast;
        },
        std::chrono::seconds(5));
    return counts;
  }

  // Moves the stored expiry of `url` into the past.
  void makeStale(const QUrl& url) {
    QFile file(cache_->pathToCachedResponseHeadersForURL(url));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    std::optional<QVariantMap> headers = readPropertyList(file.readAll());
    file.close();
    ASSERT_TRUE(headers);
    headers->insert("X-Cache-Expires", 1000.0);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(writePropertyList(*headers));
  }

  testsupport::TempDir content_;
  std::unique_ptr<NginxServer> nginx_;
};

TEST_F(CacheNginxTest, EveryPolicyWithAFreshAStaleAndAMissingEntry) {
  enum class Entry { Fresh, Stale, Missing };
  struct Case {
    int policy;
    Entry entry;
    int requests;    // requests nginx saw
    int notModified; // of them answered 304
    bool fromCache;  // didUseCachedResponse
    bool storedAfter;
  };
  const std::vector<Case> cases = {
      {1, Entry::Fresh, 1, 0, false, true},   {1, Entry::Stale, 1, 0, false, true},
      {1, Entry::Missing, 1, 0, false, true},  {2, Entry::Missing, 1, 0, false, false},
      {4, Entry::Fresh, 0, 0, true, true},    {4, Entry::Stale, 1, 1, true, true},
      {4, Entry::Missing, 1, 0, false, true},  {8, Entry::Fresh, 1, 1, true, true},
      {8, Entry::Stale, 1, 1, true, true},    {8, Entry::Missing, 1, 0, false, true},
      {16, Entry::Fresh, 0, 0, true, true},   {16, Entry::Stale, 0, 0, true, true},
      {16, Entry::Missing, 1, 0, false, true}, {32, Entry::Fresh, 0, 0, true, true},
      {32, Entry::Stale, 0, 0, true, true},   {32, Entry::Missing, 0, 0, false, false},
      {64, Entry::Fresh, 1, 0, false, true},  {64, Entry::Missing, 1, 0, false, true},
      {1 | 2, Entry::Missing, 1, 0, false, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = "/fresh/a.txt?case=" + std::to_string(n++);
    SCOPED_TRACE(path + " policy " + std::to_string(c.policy));
    const QString qpath = QString::fromStdString(path);
    const QUrl url = nginx_->url(qpath);
    if (c.entry != Entry::Missing) {
      auto prime = get(qpath, 4);
      ASSERT_EQ(prime->responseStatusCode(), 200);
      ASSERT_FALSE(cache_->pathToCachedResponseDataForURL(url).isEmpty());
      if (c.entry == Entry::Stale) makeStale(url);
    }
    const auto before = served(path, c.entry == Entry::Missing ? 0 : 1);
    auto request = get(qpath, c.policy);
    ASSERT_EQ(request->error(), nullptr) << request->error()->toString().toStdString();
    const auto after = served(path, before.first + c.requests);
    EXPECT_EQ(after.first - before.first, c.requests);
    EXPECT_EQ(after.second - before.second, c.notModified);
    EXPECT_EQ(request->didUseCachedResponse(), c.fromCache);
    if (c.fromCache || c.requests > 0) {
      EXPECT_EQ(request->responseStatusCode(), 200);
      EXPECT_EQ(request->responseString(), "content of fresh");
    }
    EXPECT_EQ(!cache_->pathToCachedResponseDataForURL(url).isEmpty(), c.storedAfter);
    if (c.notModified > 0) {
      // The 304 made the entry current again.
      EXPECT_TRUE(cache_->isCachedDataCurrentForRequest(*starting(url.toString(), 4)));
    }
  }
}

TEST_F(CacheNginxTest, OnlyGetUsesTheCache) {
  ASSERT_EQ(get("/fresh/a.txt", 4)->responseStatusCode(), 200);
  served("/fresh/a.txt", 1);
  for (const std::string method : {"POST", "HEAD", "GET"}) {
    SCOPED_TRACE(method);
    auto request = http::HTTPRequest::requestWithURL(nginx_->url("/fresh/a.txt"), cache_, 16);
    request->setRequestMethod(QString::fromStdString(method));
    const size_t before = nginx_->accessLog().size();
    request->startSynchronous();
    EXPECT_EQ(request->didUseCachedResponse(), method == "GET");
    const size_t expected = before + (method == "GET" ? 0 : 1);
    testsupport::waitUntil([&] { return nginx_->accessLog().size() >= expected; },
                           std::chrono::seconds(5));
    EXPECT_EQ(nginx_->accessLog().size(), expected);
  }
}

TEST_F(CacheNginxTest, CacheControlAsNginxSendsIt) {
  struct Case {
    const char* path;
    bool stored;
    bool current;  // answered from the cache by a second request with policy 4
    double expiresIn;  // expected seconds to expiry when current (0: not checked)
  };
  const double year2100 = 4102444800.0 - QDateTime::currentMSecsSinceEpoch() / 1000.0;
  const std::vector<Case> cases = {
      {"/fresh/a.txt", true, true, 3600},  {"/nostore/a.txt", false, false, 0},
      {"/nocache/a.txt", true, false, 0},  {"/private/a.txt", true, false, 0},
      {"/maxage/a.txt", true, true, 120},  {"/expires/a.txt", true, true, year2100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const QUrl url = nginx_->url(c.path);
    ASSERT_EQ(get(c.path, 4)->responseStatusCode(), 200);
    EXPECT_EQ(!cache_->pathToCachedResponseDataForURL(url).isEmpty(), c.stored);
    const auto before = served(c.path, 1);
    auto again = get(c.path, 4);
    EXPECT_EQ(again->didUseCachedResponse(), c.stored);
    EXPECT_EQ(served(c.path, before.first + (c.current ? 0 : 1)).first - before.first,
              c.current ? 0 : 1);
    if (c.expiresIn > 0) {
      const double left = cache_->cachedResponseHeadersForURL(url).value("X-Cache-Expires").toDouble() -
                          QDateTime::currentMSecsSinceEpoch() / 1000.0;
      EXPECT_NEAR(left, c.expiresIn, 60);
    }
  }
}

TEST_F(CacheNginxTest, FallbackOnFailureAnswersFromTheEntryWhenTheServerIsGone) {
  const QUrl url = nginx_->url("/fresh/a.txt");
  ASSERT_EQ(get("/fresh/a.txt", 4)->responseStatusCode(), 200);
  nginx_.reset();
  struct Case {
    int policy;
    bool answered;
  };
  for (const Case& c : std::vector<Case>{{64, true}, {8 | 64, true}, {8, false}}) {
    SCOPED_TRACE(c.policy);
    auto request = http::HTTPRequest::requestWithURL(url, cache_, c.policy);
    request->startSynchronous();
    EXPECT_EQ(request->error() == nullptr, c.answered);
    EXPECT_EQ(request->didUseCachedResponse(), c.answered);
    if (c.answered) {
      EXPECT_EQ(request->responseString(), "content of fresh");
    }
  }
}

}  // namespace
}  // namespace cache
