// Answering a request from the cache: the look-up a yes leaves for the request's read, what an
// entry is when the two stores hold parts of one, concurrent requests, and stored numbers as the
// request receives them.
#include "cache_fixture.h"

#include "cache/property_list.h"

#include <QFile>
#include <QFileInfo>

#include <functional>
#include <thread>

namespace cache {
namespace {

using CachedResponseTest = testing::CacheFixture;

const platform::StringMap kFresh{{"Cache-Control", "max-age=600"}};

// The body `cache` answers `request` with, right after asking whether it can (nothing when it
// says no or finds no entry).
std::optional<QByteArray> answer(DownloadCache& cache, const http::HTTPRequest& request) {
  if (!cache.canUseCachedDataForRequest(request)) return std::nullopt;
  std::optional<http::CachedResponse> response = cache.cachedResponseForRequest(request, true);
  if (!response) return std::nullopt;
  return response->data;
}

TEST_F(CachedResponseTest, TheReadAfterAYesSeesEveryChangeMadeInBetween) {
  const QString url = "http://example.test/changing.txt";
  const QString otherUrl = "http://example.test/other.txt";
  struct Case {
    const char* name;
    std::function<void(DownloadCache&)> between;  // runs between the yes and the read
    std::optional<QByteArray> body;
  };
  const std::vector<Case> cases = {
      {"nothing", [](DownloadCache&) {}, QByteArray("first")},
      {"replaced", [&](DownloadCache& c) { c.storeResponseForRequest(*finished(url, 200, kFresh, "second"), 0); },
       QByteArray("second")},
      {"removed", [&](DownloadCache& c) { c.removeCachedDataForURL(QUrl(url)); }, std::nullopt},
      {"session cleared", [](DownloadCache& c) { c.clearCachedResponsesForStoragePolicy(0); }, std::nullopt},
      {"another request read it", [&](DownloadCache& c) { answer(c, *starting(url, 16)); },
       QByteArray("first")},
      {"a request for another URL asked",
       [&](DownloadCache& c) { c.canUseCachedDataForRequest(*starting(otherUrl, 16)); },
       QByteArray("first")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cache_->storeResponseForRequest(*finished(url, 200, kFresh, "first"), 0);
    cache_->storeResponseForRequest(*finished(otherUrl, 200, kFresh, "other"), 0);
    auto request = starting(url, 16);
    ASSERT_TRUE(cache_->canUseCachedDataForRequest(*request));
    c.between(*cache_);
    const std::optional<http::CachedResponse> response = cache_->cachedResponseForRequest(*request, true);
    EXPECT_EQ(response ? std::optional<QByteArray>(response->data) : std::nullopt, c.body);
    if (response) {
      EXPECT_EQ(response->headers.value("X-Cache-Response-Status-Code"), "200");
    }
  }
}

TEST_F(CachedResponseTest, AnEntryIsBothFilesOfOneStore) {
  const QString url = "http://example.test/split.bin";
  enum class Store { Whole, HeadersOnly, DataOnly, DamagedHeaders, None };
  struct Case {
    const char* name;
    Store session;
    Store permanent;
    std::optional<QByteArray> body;  // "session" or "permanent" as stored there
  };
  const std::vector<Case> cases = {
      {"both whole: session first", Store::Whole, Store::Whole, QByteArray("session")},
      {"session without data", Store::HeadersOnly, Store::Whole, QByteArray("permanent")},
      {"session headers damaged", Store::DamagedHeaders, Store::Whole, QByteArray("permanent")},
      {"session without headers", Store::DataOnly, Store::None, std::nullopt},
      {"headers here, data there", Store::HeadersOnly, Store::DataOnly, std::nullopt},
      {"permanent only", Store::None, Store::Whole, QByteArray("permanent")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cache_->clearCachedResponsesForStoragePolicy(0);
    cache_->clearCachedResponsesForStoragePolicy(1);
    for (const int storage : {0, 1}) {
      const Store state = storage == 0 ? c.session : c.permanent;
      if (state == Store::None) continue;
      auto response = finished(url, 200, kFresh, storage == 0 ? "session" : "permanent", 4, storage);
      cache_->storeResponseForRequest(*response, 0);
      const QString headers = cache_->pathToStoreCachedResponseHeadersForRequest(*response);
      if (state == Store::HeadersOnly) QFile::remove(cache_->pathToStoreCachedResponseDataForRequest(*response));
      if (state == Store::DataOnly) QFile::remove(headers);
      if (state == Store::DamagedHeaders) QFile::resize(headers, 100);
    }
    EXPECT_EQ(answer(*cache_, *starting(url, 16)), c.body);
    EXPECT_EQ(cache_->cachedResponseDataForURL(QUrl(url)), c.body.value_or(QByteArray()));
    EXPECT_EQ(!cache_->cachedResponseHeadersForURL(QUrl(url)).isEmpty(), c.body.has_value());
    EXPECT_EQ(cache_->isCachedDataCurrentForRequest(*starting(url, 4)), c.body.has_value());
  }
}

TEST_F(CachedResponseTest, ARequestAnsweredFromTheCacheGetsTheBodyOrItsFile) {
  // Nothing listens on this port: only the cache can answer.
  const QString url = "http://127.0.0.1:1/answered.txt";
  cache_->storeResponseForRequest(*finished(url, 200, kFresh, "stored body"), 0);
  for (const bool toFile : {false, true}) {
    SCOPED_TRACE(toFile ? "saved to a file" : "in memory");
    auto request = http::HTTPRequest::requestWithURL(QUrl(url), cache_, 16);
    if (toFile) request->setDownloadDestinationPath(root() + "/elsewhere.txt");
    request->startSynchronous();
    ASSERT_EQ(request->error(), nullptr);
    EXPECT_TRUE(request->didUseCachedResponse());
    EXPECT_EQ(request->responseStatusCode(), 200);
    EXPECT_EQ(request->responseHeaders().value_or(platform::StringMap()).value("Cache-Control"),
              "max-age=600");
    if (toFile) {
      EXPECT_EQ(request->downloadDestinationPath(), cache_->pathToCachedResponseDataForURL(QUrl(url)));
    } else {
      EXPECT_EQ(request->responseData(), "stored body");
    }
  }
}

TEST_F(CachedResponseTest, TheBodyIsReadWholeWhateverItsContentLengthSays) {
  const QByteArray ten = "0123456789";
  const QByteArray large(100 * 1024 + 7, 'x');
  struct Case {
    const char* contentLength;  // nullptr: no such header
    QByteArray body;
  };
  const std::vector<Case> cases = {
      {nullptr, ten}, {"10", ten},  {"3", ten},    {"1000", ten},  {"999999999999999", ten},
      {"-5", ten},    {"abc", ten}, {"0", ""},     {"10", large},  {"9", "123456789"},
  };
  const QString url = "http://example.test/sized.bin";
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.contentLength ? c.contentLength : "none") + " for " +
                 std::to_string(c.body.size()) + " bytes");
    platform::StringMap headers = kFresh;
    if (c.contentLength) headers.insert("Content-Length", c.contentLength);
    cache_->storeResponseForRequest(*finished(url, 200, headers, c.body), 0);
    const std::optional<QByteArray> answered = answer(*cache_, *starting(url, 16));
    ASSERT_TRUE(answered);
    EXPECT_EQ(*answered, c.body);
    EXPECT_FALSE(answered->isNull());
    EXPECT_EQ(cache_->cachedResponseDataForURL(QUrl(url)), c.body);
  }
  // A headers file is read in one piece of 4 KB when it fits: files of sizes about that piece,
  // and a much larger one, read whole.
  const auto storeLong = [&](qsizetype size) {
    // Without an expiry, whose digits would change the file's size.
    auto response = finished(url, 200, {{"X-Long", QString(size, 'v')}});
    cache_->storeResponseForRequest(*response, 0);
    return QFileInfo(cache_->pathToStoreCachedResponseHeadersForRequest(*response)).size();
  };
  const qint64 overhead = storeLong(0);
  for (const qint64 fileSize : {qint64(4095), qint64(4096), qint64(4097), qint64(40000)}) {
    SCOPED_TRACE(fileSize);
    ASSERT_EQ(storeLong(fileSize - overhead), fileSize);
    EXPECT_EQ(cache_->cachedResponseHeadersForURL(QUrl(url)).value("X-Long"),
              QString(fileSize - overhead, 'v'));
  }
}

TEST_F(CachedResponseTest, ConcurrentRequestsEachGetTheirOwnEntry) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  for (int t = 0; t < kThreads; ++t) {
    const QString url = QStringLiteral("http://example.test/thread%1.txt").arg(t);
    cache_->storeResponseForRequest(*finished(url, 200, kFresh, url.toUtf8()), 0);
  }
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &wrong] {
      const QString url = QStringLiteral("http://example.test/thread%1.txt").arg(t);
      for (int round = 0; round < kRounds; ++round) {
        if (answer(*cache_, *starting(url, 16)) != url.toUtf8()) ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
}

TEST_F(CachedResponseTest, StoredNumbersReachTheRequestAsText) {
  struct Case {
    QVariant stored;
    const char* text;
  };
  const std::vector<Case> cases = {
      {1796745276.8025, "1796745276.803"}, {0.0005, "0.001"},   {0.0015, "0.002"},
      {0.00025, "0.000"},                  {-1.5, "-1.500"},    {1e20, "100000000000000000000.000"},
      {qint64(200), "200"},                {qint64(-7), "-7"},  {true, "true"},
  };
  const QString url = "http://example.test/numbers.txt";
  auto response = finished(url, 200, kFresh);
  cache_->storeResponseForRequest(*response, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    QFile file(cache_->pathToStoreCachedResponseHeadersForRequest(*response));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(writePropertyList({{"X-Number", c.stored}}));
    file.close();
    EXPECT_EQ(cache_->cachedResponseHeadersForURL(QUrl(url)).value("X-Number"), c.text);
  }
}

}  // namespace
}  // namespace cache
