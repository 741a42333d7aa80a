// Requests and cookies against nginx: the Cookie header in list order, cookies received into
// the shared store and the session list, useCookiePersistence off, and clearSession forgetting
// only what the process received (and the default cache's session store).
#include "cache/download_cache.h"
#include "http/cookies/cookie_store.h"
#include "http/http_request.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"

#include <QNetworkCookie>

#include <gtest/gtest.h>

namespace http {
namespace {

using cookies::CookieStore;
using testsupport::NginxServer;

// Keeps the shared cookie store's file in a temporary data folder for the whole run.
class PrivateDataFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<testsupport::TempDir>();
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dir_->path().string()));
  }
  void TearDown() override { dir_.reset(); }

 private:
  std::unique_ptr<testsupport::TempDir> dir_;
};
const auto* const kDataFolder = ::testing::AddGlobalTestEnvironment(new PrivateDataFolder);

QVariantList cookieList(std::initializer_list<std::pair<const char*, const char*>> pairs) {
  QVariantList out;
  for (const auto& [name, value] : pairs) out << QVariant::fromValue(QNetworkCookie(name, value));
  return out;
}

QStringList describe(const QList<QNetworkCookie>& cookies) {
  QStringList out;
  for (const QNetworkCookie& c : cookies) out << QString::fromLatin1(c.name() + "=" + c.value());
  return out;
}

class CookieSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::isInstalled()) GTEST_SKIP() << "nginx is not installed";
    HTTPRequest::clearSession();
    CookieStore& store = CookieStore::sharedCookieStore();
    for (const QNetworkCookie& cookie : store.allCookies()) store.deleteCookie(cookie);
    NginxServer::Options options;
    options.root = content_.path();
    options.extraServerConfig =
        "location = /set/a1 { add_header Set-Cookie \"a=1; Path=/\"; return 200 \"ok\"; }\n"
        "location = /set/a2 { add_header Set-Cookie \"a=2; Path=/\"; return 200 \"ok\"; }\n"
        "location = /set/b { add_header Set-Cookie \"b=2; Path=/; Max-Age=600\"; return 200 \"ok\"; }\n"
        "location = /echo { return 200 \"$http_cookie\"; }\n";
    nginx_ = std::make_unique<NginxServer>(options);
    ASSERT_TRUE(nginx_->isRunning()) << nginx_->errorText().toStdString();
  }
  void TearDown() override { HTTPRequest::setDefaultCache(nullptr); }

  std::shared_ptr<HTTPRequest> get(const QString& path, const QVariantList& cookies = {},
                                   bool persistence = true) {
    auto request = HTTPRequest::requestWithURL(nginx_->url(path));
    request->setRequestCookies(cookies);
    request->setUseCookiePersistence(persistence);
    request->startSynchronous();
    EXPECT_EQ(request->error(), nullptr);
    return request;
  }
  std::string echo(const QVariantList& cookies = {}, bool persistence = true) {
    return get("/echo", cookies, persistence)->responseString().toStdString();
  }

  testsupport::TempDir content_;
  std::unique_ptr<NginxServer> nginx_;
};

TEST_F(CookieSessionTest, CookieHeaderIsBuiltInListOrderFromSafeCookiesOnly) {
  struct Case {
    QVariantList cookies;
    std::string sent;
  };
  QNetworkCookie injected("x", "1");
  injected.setValue("1;admin=1");
  QNetworkCookie split("y", "1");
  split.setValue("1\r\nX-Forged: 1");
  const std::vector<Case> cases = {
      {cookieList({{"a", "1"}, {"b", "2"}}), "a=1; b=2"},
      {cookieList({{"b", "2"}, {"a", "1"}}), "b=2; a=1"},
      {cookieList({{"a", "1"}}), "a=1"},
      {{}, ""},
      {QVariantList{QVariant::fromValue(injected), QVariant::fromValue(split),
                    QVariant::fromValue(QNetworkCookie("c", "3"))},
       "c=3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent);
    auto request = get("/echo", c.cookies);
    EXPECT_EQ(request->responseString().toStdString(), c.sent);
    EXPECT_EQ(request->requestHeaders().contains("Cookie"), !c.sent.empty());
  }
}

TEST_F(CookieSessionTest, ReceivedCookiesAreKeptAndTheSameTripleIsReplacedAtTheEnd) {
  EXPECT_EQ(get("/set/a1")->responseCookies().size(), 1);
  get("/set/b");
  EXPECT_EQ(echo(), "a=1; b=2");
  get("/set/a2");
  EXPECT_EQ(describe(HTTPRequest::sessionCookies()), QStringList({"b=2", "a=2"}));
  EXPECT_EQ(echo(), "a=2; b=2");  // the store keeps a's creation time: a stays first

  // Without persistence, stored cookies are neither sent nor updated; the application's are sent.
  EXPECT_EQ(echo(cookieList({{"app", "1"}}), false), "app=1");
  get("/set/a1", {}, false);
  EXPECT_EQ(echo(), "a=2; b=2");
  EXPECT_EQ(describe(HTTPRequest::sessionCookies()), QStringList({"b=2", "a=2"}));
}

TEST_F(CookieSessionTest, ClearSessionForgetsOnlyWhatTheProcessReceived) {
  // A cookie stored before (as if read from the file of an earlier run) and never sent again.
  const QUrl url = nginx_->url("/");
  CookieStore::sharedCookieStore().setCookies(
      CookieStore::cookiesFromSetCookieValue("old=1; Path=/; Max-Age=600", url), url);
  get("/set/a1");
  get("/set/b");
  EXPECT_EQ(echo(), "old=1; a=1; b=2");

  testsupport::TempDir cacheDir;
  auto cache = std::make_shared<cache::DownloadCache>();
  cache->setStoragePath(QString::fromStdString(cacheDir.path().string()));
  HTTPRequest::setDefaultCache(cache);
  for (const int storage : {0, 1}) {
    auto stored = HTTPRequest::requestWithURL(nginx_->url(QStringLiteral("/set/a1?%1").arg(storage)));
    stored->setCacheStoragePolicy(storage);
    stored->setSecondsToCache(600);
    stored->startSynchronous();
    ASSERT_FALSE(cache->pathToCachedResponseDataForURL(stored->url()).isEmpty());
  }

  HTTPRequest::clearSession();
  EXPECT_TRUE(HTTPRequest::sessionCookies().isEmpty());
  EXPECT_EQ(echo(), "old=1");
  EXPECT_TRUE(cache->pathToCachedResponseDataForURL(nginx_->url("/set/a1?0")).isEmpty());
  EXPECT_FALSE(cache->pathToCachedResponseDataForURL(nginx_->url("/set/a1?1")).isEmpty());
}

}  // namespace
}  // namespace http
