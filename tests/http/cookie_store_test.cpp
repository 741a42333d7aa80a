// The cookie store on its own: which Set-Cookie lines are accepted and how they are normalised,
// which cookies a URL gets and in what order, the limits, and the file that keeps them.
#include "http/cookies/cookie_store.h"
#include "support/temp_dir.h"

#include <QDateTime>
#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace http::cookies {
namespace {

QStringList describe(const QList<QNetworkCookie>& cookies) {
  QStringList out;
  for (const QNetworkCookie& c : cookies) {
    out << QString::fromLatin1(c.name() + "=" + c.value()) + " " + c.domain() + " " + c.path() +
               (c.isSecure() ? " secure" : "") + (c.isHttpOnly() ? " httponly" : "");
  }
  return out;
}

QStringList names(const QList<QNetworkCookie>& cookies) {
  QStringList out;
  for (const QNetworkCookie& c : cookies) out << QString::fromLatin1(c.name());
  return out;
}

TEST(CookieStoreTest, SetCookieLinesAreAcceptedAndNormalised) {
  struct Case {
    const char* url;
    const char* line;
    const char* expected;  // "" when refused
  };
  const std::vector<Case> cases = {
      {"http://a.example.test/dir/page", "a=1", "a=1 a.example.test /dir"},
      {"http://a.example.test/", "a=1", "a=1 a.example.test /"},
      {"http://a.example.test/page", "a=1; Path=/x/", "a=1 a.example.test /x/"},
      {"http://a.example.test/dir/page", "a=1; Path=relative", "a=1 a.example.test /dir"},
      {"http://a.example.test/", "a=1; Domain=example.test", "a=1 .example.test /"},
      {"http://a.example.test/", "a=1; Domain=.EXAMPLE.test", "a=1 .example.test /"},
      {"http://a.example.test/", "a=1; Domain=a.example.test", "a=1 .a.example.test /"},
      {"http://a.example.test/", "a=1; Domain=other.test", ""},            // foreign domain
      {"http://a.example.test/", "a=1; Domain=b.example.test", ""},        // a sibling
      {"http://a.example.test/", "a=1; Domain=test", ""},                  // a public suffix
      {"http://www.example.co.uk/", "a=1; Domain=co.uk", ""},              // a public suffix
      {"http://www.example.co.uk/", "a=1; Domain=example.co.uk", "a=1 .example.co.uk /"},
      {"http://localhost/", "a=1; Domain=localhost", "a=1 localhost /"},   // suffix = host
      {"http://127.0.0.1/", "a=1; Domain=127.0.0.1", "a=1 127.0.0.1 /"},
      {"http://127.0.0.1/", "a=1; Domain=0.0.1", ""},
      {"http://a.example.test/", "a=1; Secure", ""},                       // Secure over http
      {"https://a.example.test/", "a=1; Secure; HttpOnly", "a=1 a.example.test / secure httponly"},
      {"http://a.example.test/", "=1", ""},
      {"http://a.example.test/", "a=x\ry", ""},
      {"http://a.example.test/", "a=x\001y", ""},
      {"http://a.example.test/", "noequals", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.url) + " " + c.line);
    const QStringList got = describe(CookieStore::cookiesFromSetCookieValue(c.line, QUrl(c.url)));
    EXPECT_EQ(got.join(QLatin1Char('|')).toStdString(), c.expected);
  }
  // 4096 bytes of name and value are kept, one more is refused.
  const QUrl url("http://a.example.test/");
  const QByteArray name = "n";
  EXPECT_EQ(CookieStore::cookiesFromSetCookieValue(name + "=" + QByteArray(4095, 'v'), url).size(), 1);
  EXPECT_EQ(CookieStore::cookiesFromSetCookieValue(name + "=" + QByteArray(4096, 'v'), url).size(), 0);
  // Several lines in one header dictionary value.
  EXPECT_EQ(names(CookieStore::cookiesWithResponseHeaderFields(
                {{"Set-Cookie", "a=1\nb=2; Expires=Wed, 09 Jun 2100 10:18:14 GMT, x"}}, url)),
            QStringList({"a", "b"}));
}

TEST(CookieStoreTest, MaxAgeWinsOverExpiresWhateverTheOrder) {
  const QUrl url("http://a.example.test/");
  const qint64 now = QDateTime::currentSecsSinceEpoch();
  struct Case {
    const char* line;
    qint64 expectedFromNow;  // 0: a session cookie; -1: already expired
  };
  const std::vector<Case> cases = {
      {"a=1; Max-Age=100; Expires=Wed, 09 Jun 2021 10:18:14 GMT", 100},
      {"a=1; Expires=Wed, 09 Jun 2021 10:18:14 GMT; Max-Age=100", 100},
      {"a=1; Max-Age=100; Max-Age=200", 200},
      {"a=1; Max-Age=0", -1},
      {"a=1; Max-Age=-3", -1},
      {"a=1; Max-Age=abc", 0},
      {"a=1; Expires=Wed, 09 Jun 2021 10:18:14 GMT", -1},
      {"a=1", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const auto cookies = CookieStore::cookiesFromSetCookieValue(c.line, url);
    ASSERT_EQ(cookies.size(), 1);
    if (c.expectedFromNow == 0) {
      EXPECT_TRUE(cookies[0].isSessionCookie());
    } else if (c.expectedFromNow < 0) {
      EXPECT_LE(cookies[0].expirationDate().toSecsSinceEpoch(), now);
    } else {
      EXPECT_NEAR(cookies[0].expirationDate().toSecsSinceEpoch() - now, c.expectedFromNow, 30);
    }
  }
}

TEST(CookieStoreTest, CookiesForAURLByDomainPathExpiryAndSecurity) {
  CookieStore store;
  const auto set = [&](const char* url, const char* line) {
    store.setCookies(CookieStore::cookiesFromSetCookieValue(line, QUrl(url)), QUrl(url));
  };
  set("http://a.example.test/", "host=1");
  set("http://a.example.test/", "dom=1; Domain=example.test");
  set("http://a.example.test/docs/x", "docs=1");       // default path /docs
  set("http://a.example.test/", "deep=1; Path=/docs/api");
  set("https://a.example.test/", "sec=1; Secure");
  set("http://a.example.test/", "gone=1; Max-Age=0");
  set("http://localhost/", "local=1");
  struct Case {
    const char* url;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"http://a.example.test/", "host dom"},
      {"http://A.Example.Test/", "host dom"},
      {"http://example.test/", "dom"},
      {"http://b.example.test/", "dom"},
      {"http://xa.example.test/", "dom"},
      {"http://a.example.test/docs", "docs host dom"},
      {"http://a.example.test/docs/", "docs host dom"},
      {"http://a.example.test/docsx", "host dom"},
      {"http://a.example.test/docs/api/v1", "deep docs host dom"},
      {"https://a.example.test/", "host dom sec"},
      {"http://other.test/", ""},
      {"http://localhost:8080/", "local"},
      {"http://127.0.0.1/", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(names(store.cookiesForURL(QUrl(c.url))).join(QLatin1Char(' ')).toStdString(), c.expected);
  }
  // The same name, domain and path replaces (and keeps its place by creation); an expired one
  // deletes.
  set("http://a.example.test/", "host=2");
  EXPECT_EQ(describe(store.cookiesForURL(QUrl("http://a.example.test/"))).first(),
            "host=2 a.example.test /");
  set("http://a.example.test/", "host=3; Expires=Thu, 01 Jan 1970 00:00:01 GMT");
  EXPECT_EQ(names(store.cookiesForURL(QUrl("http://a.example.test/"))).join(' '), "dom");
  store.deleteCookie(CookieStore::cookiesFromSetCookieValue("dom=; Domain=example.test",
                                                            QUrl("http://a.example.test/"))[0]);
  EXPECT_TRUE(store.cookiesForURL(QUrl("http://a.example.test/")).isEmpty());
}

TEST(CookieStoreTest, LimitsEvictTheOldestFirst) {
  CookieStore store;
  const QUrl url("http://a.example.test/");
  for (int i = 0; i < CookieStore::kMaxCookiesPerDomain + 5; ++i) {
    store.setCookies({QNetworkCookie("c" + QByteArray::number(i), "v")}, url);
  }
  QList<QNetworkCookie> kept = store.allCookies();
  ASSERT_EQ(kept.size(), CookieStore::kMaxCookiesPerDomain);
  EXPECT_EQ(kept.first().name(), "c5");
  EXPECT_EQ(kept.last().name(), "c54");

  for (int host = 0; host < 70; ++host) {
    const QUrl other(QStringLiteral("http://h%1.example.test/").arg(host));
    QList<QNetworkCookie> batch;
    for (int i = 0; i < 45; ++i) batch << QNetworkCookie("c" + QByteArray::number(i), "v");
    store.setCookies(batch, other);
  }
  kept = store.allCookies();
  EXPECT_EQ(kept.size(), CookieStore::kMaxCookies);
  EXPECT_NE(kept.first().domain(), "a.example.test");  // the oldest went first
}

TEST(CookieStoreTest, CookiesWithAnExpiryOutliveTheStoreInAPrivateFile) {
  testsupport::TempDir dir;
  const QString path = QString::fromStdString((dir / "data" / "cookies.json").string());
  const QUrl url("https://a.example.test/");
  {
    CookieStore store(path);
    store.setCookies(CookieStore::cookiesWithResponseHeaderFields(
                         {{"Set-Cookie",
                           "kept=1; Max-Age=3600; Secure; HttpOnly; SameSite=Strict\n"
                           "session=1\nshort=1; Max-Age=3600"}},
                         url),
                     url);
    store.setCookies(CookieStore::cookiesFromSetCookieValue("short=; Max-Age=0", url), url);
  }
  struct stat info {};
  ASSERT_EQ(::stat(path.toLocal8Bit().constData(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  CookieStore reloaded(path);
  const QList<QNetworkCookie> cookies = reloaded.cookiesForURL(url);
  ASSERT_EQ(describe(cookies), QStringList({"kept=1 a.example.test / secure httponly"}));
  EXPECT_EQ(cookies[0].sameSitePolicy(), QNetworkCookie::SameSite::Strict);

  // A damaged file is no cookies rather than a failure.
  testsupport::writeFile(path.toStdString(), "[{\"name\": 7");
  EXPECT_TRUE(CookieStore(path).allCookies().isEmpty());
}

}  // namespace
}  // namespace http::cookies
