// Web page requests against nginx: which documents are parsed, which URLs are fetched, the two
// rewriting modes, failing resources, pages that would never end, reports passed up, the cache.
#include "page_fixture.h"

#include "cache/download_cache.h"
#include "http/cache_delegate.h"
#include "platform/error.h"
#include "queue/network_queue.h"
#include "support/archive_site.h"
#include "support/temp_dir.h"
#include "support/wait.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QTcpServer>

#include <algorithm>

namespace webpagetest {
namespace {

using webpage::WebPageRequest;

QByteArray fileBytes(const std::filesystem::path& path) {
  QFile file(QString::fromStdString(path.string()));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString bodyOf(const WebPageRequest& request) {
  if (!request.downloadDestinationPath().isEmpty()) {
    return QString::fromUtf8(fileBytes(request.downloadDestinationPath().toStdString()));
  }
  return QString::fromUtf8(request.responseData());
}

// A port nothing listens on: connections to it are refused.
quint16 closedPort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

TEST_F(WebPageTest, TheContentTypeDecidesWhetherTheDocumentIsParsed) {
  addFile("types/page.html", "<html><body><img src=\"t1.png\"></body></html>");
  addFile("types/page.xhtml", "<html><body><img src=\"t2.png\"></body></html>");
  addFile("types/style.css", "a { background: url(t3.png) }");
  addFile("types/plain.txt", "<html><body><img src=\"t4.png\"></body></html>");
  for (const char* png : {"types/t1.png", "types/t2.png", "types/t3.png", "types/t4.png"}) {
    ASSERT_TRUE(testsupport::writePng(siteRoot() / png, 2, 2, "red"));
  }
  struct Case {
    const char* path;
    int contentType;
    const char* resource;
  } cases[] = {
      {"/types/page.html", 1, "/types/t1.png"},
      {"/types/page.xhtml", 1, "/types/t2.png"},  // application/xhtml+xml
      {"/types/style.css", 2, "/types/t3.png"},
      {"/types/plain.txt", 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    auto request = page(QString::fromLatin1(c.path));
    ASSERT_TRUE(run(request));
    EXPECT_FALSE(request->error());
    EXPECT_EQ(request->webContentType(), c.contentType);
    if (c.resource) {
      EXPECT_EQ(requestsFor(c.resource), 1);
    }
  }
  EXPECT_EQ(requestsFor("/types/t4.png"), 0);
  // The text page is passed through untouched.
  auto plain = page(QStringLiteral("/types/plain.txt"), webpage::ReplaceURLsWithDataURLs);
  ASSERT_TRUE(run(plain));
  EXPECT_EQ(plain->responseData(), fileBytes(siteRoot() / "types/plain.txt"));
}

TEST_F(WebPageTest, APageWithoutResourcesFinishesAtOnceUnchanged) {
  const std::string html = "<html><head><title>t</title></head><body><a href=\"x.html\">x</a></body></html>\n";
  addFile("bare.html", html);
  for (int mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    auto request = page(QStringLiteral("/bare.html"), mode);
    ASSERT_TRUE(run(request));
    EXPECT_FALSE(request->error());
    EXPECT_TRUE(request->resourceList().isEmpty());
    EXPECT_FALSE(request->externalResourceQueue());
    EXPECT_EQ(request->responseData(), QByteArray::fromStdString(html));
  }
  EXPECT_EQ(recorder_->finishedPaths, QStringList({"/bare.html", "/bare.html", "/bare.html"}));
}

TEST_F(WebPageTest, OnlyResourcesAreCollectedNotLinksIconsShortOrForeignURLs) {
  addFile("rules/page.html",
          "<html><head>"
          "<link rel=\"StyleSheet\" href=\"sheet.css\"><link rel=\"icon\" href=\"icon.png\">"
          "<link rel=\"alternate\" href=\"feed.xml\">"
          "<script src=\"script.js\"></script><script src=\"a.js\"></script>"
          "<style>p { background: url(fromstyle.png) }</style></head><body>"
          "<a href=\"anchor.html\" style=\"background: url('anchorstyle.png')\">a</a>"
          "<img src=\"  image.png\n\"><img src=\"data:image/png;base64,AAAA\"><img src=\"DATA:text/plain,xyzzy\">"
          "<img src=\"file:///etc/passwd\"><img src=\"ftp://127.0.0.1/x.png\">"
          "<iframe src=\"frame.html\"></iframe><frameset><frame src=\"frame2.html\"></frameset>"
          "<video poster=\"poster.png\"><source src=\"clip.mp4\"><source src=\"clip.OGG\">"
          "<source src=\"clip.ogv\"><source src=\"clip.webm\"></video><audio src=\"sound.mp3\"></audio>"
          "<audio src=\"sound.ogg\"></audio></body></html>");
  auto request = page(QStringLiteral("/rules/page.html"));
  request->setShouldIgnoreExternalResourceErrors(false);  // most of these do not exist
  ASSERT_TRUE(run(request));
  EXPECT_FALSE(request->error());
  EXPECT_EQ(request->resourceList().keys(),
            QStringList({"anchorstyle.png", "clip.mp4", "frame.html", "frame2.html", "fromstyle.png",
                         "image.png", "poster.png", "script.js", "sheet.css", "sound.mp3"}));
  for (const char* path : {"/rules/icon.png", "/rules/feed.xml", "/rules/anchor.html", "/rules/a.js",
                           "/rules/clip.OGG", "/rules/clip.ogv", "/rules/clip.webm", "/rules/sound.ogg"}) {
    EXPECT_EQ(requestsFor(path), 0) << path;
  }
  EXPECT_EQ(requestsFor("/rules/image.png"), 1);
}

TEST_F(WebPageTest, DataURLModeEmbedsTheExactBytesAsBase64) {
  addFile("mode1/page.html", "<html><body><img src=\"../img/dots.png\"><p style=\"background: url(../img/tile.png)\">"
                             "</p></body></html>");
  const QByteArray dots = fileBytes(siteRoot() / "img/dots.png");
  const QByteArray tile = fileBytes(siteRoot() / "img/tile.png");
  ASSERT_FALSE(dots.isEmpty());
  // In memory, and through a destination file.
  for (bool toFile : {false, true}) {
    SCOPED_TRACE(toFile);
    auto request = page(QStringLiteral("/mode1/page.html"), webpage::ReplaceURLsWithDataURLs);
    if (toFile) request->setDownloadDestinationPath(QString::fromStdString((out_ / "page.html").string()));
    ASSERT_TRUE(run(request));
    ASSERT_FALSE(request->error());
    const QString body = bodyOf(*request);
    EXPECT_TRUE(body.contains(QStringLiteral("src=\"data:image/png;base64,") + QString::fromLatin1(dots.toBase64()) + "\""))
        << body.toStdString();
    EXPECT_TRUE(body.contains(QStringLiteral("url(data:image/png;base64,") + QString::fromLatin1(tile.toBase64()) + ")"));
  }
}

TEST_F(WebPageTest, RelativePathModeSavesBesideThePageAndKeepsEverythingElseWorking) {
  addFile("mode2/page.html",
          "<html><head><link rel=\"stylesheet\" href=\"s.css\"></head><body>"
          "<img src=\"../img/dots.png\"><img src=\"../img/tile.png\"><img src=\"data:image/gif;base64,R0lGOD==\">"
          "<img src=\"x.gf\">"
          "<img src=\"file:///etc/hostname\"><img src=\"missing.png\">"
          "<a href=\"next.html?a=1&amp;b=2#top\">next</a></body></html>");
  addFile("mode2/s.css", "p { background: url(\"../img/tile.png\") } q { background: url(data:,x) }");
  const std::filesystem::path saved = out_ / "a" / "b" / "page.html";
  std::filesystem::create_directories(saved.parent_path());
  auto request = page(QStringLiteral("/mode2/page.html"), webpage::ReplaceURLsWithRelativePaths);
  request->setDownloadDestinationPath(QString::fromStdString(saved.string()));
  request->setResourceFolder(QString::fromStdString((out_ / "a" / "c").string()));
  ASSERT_TRUE(run(request));
  ASSERT_FALSE(request->error()) << request->error()->toString().toStdString();
  const QString html = bodyOf(*request);

  auto savedName = [](const QUrl& url, const char* extension) {
    return QString::fromLatin1(QCryptographicHash::hash(url.toString(QUrl::FullyEncoded).toUtf8(),
                                                        QCryptographicHash::Md5).toHex().toUpper()) + extension;
  };
  const QString dotsName = savedName(url("/img/dots.png"), ".png");
  EXPECT_TRUE(html.contains("src=\"../c/" + dotsName + "\"")) << html.toStdString();
  EXPECT_EQ(fileBytes(out_ / "a" / "c" / dotsName.toStdString()), fileBytes(siteRoot() / "img/dots.png"));
  EXPECT_TRUE(html.contains("href=\"../c/" + savedName(url("/mode2/s.css"), ".css") + "\""));
  // Links lead back to the live site; what has no saved copy keeps a working absolute URL.
  EXPECT_TRUE(html.contains("href=\"" + url("/mode2/next.html").toString() + "?a=1&amp;b=2#top\"")) << html.toStdString();
  EXPECT_TRUE(html.contains("src=\"data:image/gif;base64,R0lGOD==\""));
  EXPECT_TRUE(html.contains("src=\"" + url("/mode2/x.gf").toString() + "\""));
  EXPECT_TRUE(html.contains("src=\"file:///etc/hostname\""));
  // A 404 is a fetched resource like any other (its saved copy is the error page).
  EXPECT_EQ(requestsFor("/mode2/missing.png"), 1);
  // The saved style sheet points at its image beside it, though the page's own fetch of that
  // image (each URL is fetched once per page) may still have been under way when it was written.
  const QString css = QString::fromUtf8(fileBytes(out_ / "a" / "c" / savedName(url("/mode2/s.css"), ".css").toStdString()));
  EXPECT_EQ(css, "p { background: url(\"" + savedName(url("/img/tile.png"), ".png") + "\") } q { background: url(data:,x) }");
  // libxml2's own reader still takes the rewritten document.
  QProcess xmllint;
  xmllint.start(QStringLiteral("xmllint"), {"--html", "--noout", QString::fromStdString(saved.string())});
  ASSERT_TRUE(xmllint.waitForFinished(30000));
  EXPECT_EQ(xmllint.exitCode(), 0) << xmllint.readAllStandardError().toStdString();
}

TEST_F(WebPageTest, AFailingResourceFailsThePageOnlyWhenErrorsAreNotIgnored) {
  const std::string dead = "http://127.0.0.1:" + std::to_string(closedPort()) + "/gone.png";
  addFile("failing/page.html", "<html><body><img src=\"" + dead + "\"><img src=\"../img/dots.png\"></body></html>");
  {
    auto request = page(QStringLiteral("/failing/page.html"), webpage::ReplaceURLsWithDataURLs);
    ASSERT_TRUE(run(request));
    ASSERT_TRUE(request->error());
    EXPECT_EQ(request->error()->code(), http::ConnectionFailureErrorType);
    EXPECT_EQ(request->error()->localizedDescription(), QStringLiteral("A connection failure occurred"));
    EXPECT_TRUE(recorder_->failedPaths.contains("/failing/page.html"));
  }
  {
    auto request = page(QStringLiteral("/failing/page.html"), webpage::ReplaceURLsWithDataURLs);
    request->setShouldIgnoreExternalResourceErrors(false);
    ASSERT_TRUE(run(request));
    EXPECT_FALSE(request->error());
    EXPECT_EQ(request->resourcesFailed(), 1);
    const QString body = bodyOf(*request);
    EXPECT_TRUE(body.contains(QString::fromStdString("src=\"" + dead + "\"")));
    EXPECT_TRUE(body.contains("src=\"data:image/png;base64,"));
    EXPECT_FALSE(request->resourceList().value(QString::fromStdString(dead)).fetched);
  }
}

TEST_F(WebPageTest, PagesThatWouldNeverEndEnd) {
  // Style sheets that import each other (both named by the page too), one URL written many ways,
  // and a chain of imports deeper than documents are followed.
  ASSERT_TRUE(testsupport::writePng(siteRoot() / "loop/l.png", 3, 3, "blue"));
  addFile("loop/a.css", "@import url(b.css); .a { background: url(l.png) }");
  addFile("loop/b.css", "@import url(a.css); @import url('/loop/a.css'); .b { background: url(l.png) }");
  std::string many = "<html><head><link rel=\"stylesheet\" href=\"a.css\"><link rel=\"stylesheet\" href=\"b.css\">"
                     "<link rel=\"stylesheet\" href=\"chain0.css\"></head><body>";
  for (int i = 0; i < 200; ++i) {
    many += "<img src=\"l.png\"><img src=\"./l.png\"><img src=\"" +
            url("/loop/l.png").toString().toStdString() + "#" + std::to_string(i) + "\">";
  }
  addFile("loop/page.html", many + "</body></html>");
  for (int i = 0; i < 12; ++i) {
    addFile("loop/chain" + std::to_string(i) + ".css", "@import url(chain" + std::to_string(i + 1) + ".css);");
  }
  auto request = page(QStringLiteral("/loop/page.html"), webpage::ReplaceURLsWithDataURLs);
  request->setShouldIgnoreExternalResourceErrors(false);
  ASSERT_TRUE(run(request));
  EXPECT_FALSE(request->error());
  EXPECT_EQ(requestsFor("/loop/a.css"), 1);
  EXPECT_EQ(requestsFor("/loop/b.css"), 1);
  EXPECT_EQ(requestsFor("/loop/l.png"), 1);
  // The page is depth 0, chain0.css depth 1: the document at depth 8 (chain7.css) is not scanned.
  EXPECT_EQ(requestsFor("/loop/chain7.css"), 1);
  EXPECT_EQ(requestsFor("/loop/chain8.css"), 0);
  // Every way of writing the image became its data: URL.
  EXPECT_FALSE(bodyOf(*request).contains("l.png"));
}

TEST_F(WebPageTest, AResourceOfThePageAndOfItsStyleSheetIsFetchedOnceAndUsedInBoth) {
  // The page fetches the shared image (slowly); the style sheet's reference to it waits for that
  // fetch instead of fetching it again.
  addFile("slow/page.html", "<html><head><link rel=\"stylesheet\" href=\"a.css\"></head><body>"
                            "<img src=\"shared.png\"></body></html>");
  addFile("slow/a.css", "p { background: url(shared.png) }");
  std::string image = testsupport::readFile(siteRoot() / "img/photo.jpg");
  image.resize(1500000, '\0');
  addFile("slow/shared.png", image);
  const QByteArray shared = "data:image/png;base64," + QByteArray::fromStdString(image).toBase64();
  for (int mode : {1, 2}) {
    SCOPED_TRACE(mode);
    auto request = page(QStringLiteral("/slow/page.html"), mode);
    if (mode == 2) request->setDownloadDestinationPath(QString::fromStdString((out_ / "page.html").string()));
    ASSERT_TRUE(run(request));
    ASSERT_FALSE(request->error());
    const QString body = bodyOf(*request);
    if (mode == 1) {
      const QString cssPrefix = QStringLiteral("href=\"data:text/css;base64,");
      const qsizetype at = body.indexOf(cssPrefix);
      ASSERT_GE(at, 0) << body.toStdString();
      const QString encoded = body.mid(at + cssPrefix.size()).section(QLatin1Char('"'), 0, 0);
      EXPECT_EQ(QByteArray::fromBase64(encoded.toLatin1()), "p { background: url(" + shared + ") }");
      EXPECT_TRUE(body.contains(QString::fromLatin1("src=\"" + shared + "\"")));
    } else {
      EXPECT_FALSE(body.contains("shared.png")) << body.toStdString();
    }
  }
  EXPECT_EQ(requestsFor("/slow/shared.png"), 2);  // once per page
}

TEST_F(WebPageTest, ResourceReportsReachTheTopDocumentsRecipients) {
  addFile("reports/page.html", "<html><head><link rel=\"stylesheet\" href=\"s.css\"></head><body>"
                               "<img src=\"../img/tile.png\"></body></html>");
  addFile("reports/s.css", "p { background: url(../img/corner.png) }");
  auto request = page(QStringLiteral("/reports/page.html"));
  ASSERT_TRUE(run(request));
  EXPECT_FALSE(request->error());
  QStringList finished = recorder_->finishedPaths;
  finished.sort();
  EXPECT_EQ(finished, QStringList({"/img/corner.png", "/img/tile.png", "/reports/page.html", "/reports/s.css"}));
  // The page itself reports last, after everything it waited for.
  EXPECT_EQ(recorder_->finishedPaths.last(), QStringLiteral("/reports/page.html"));
  EXPECT_GT(recorder_->bytesReported, 0);
  EXPECT_EQ(request->resourcesFetched(), 3);
}

TEST_F(WebPageTest, UnreadableDocumentsFailWithTheirOwnCodesAndTexts) {
  addFile("broken/empty.html", "");
  addFile("broken/s.css", "p { background: url(../img/corner.png) }");
  struct Case {
    const char* path;
    bool bodyToDelegate;  // the delegate takes the body, so none is kept
    int code;
    const char* description;
  } cases[] = {
      {"/broken/empty.html", false, 101, "Error: unable to parse reponse XML"},
      {"/broken/s.css", true, 100, "Unable to read HTML string from response"},
  };
  auto taker = std::make_shared<DataTaker>();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    auto request = page(QString::fromLatin1(c.path));
    if (c.bodyToDelegate) request->setDelegate(taker);
    ASSERT_TRUE(run(request));
    ASSERT_TRUE(request->error());
    EXPECT_EQ(request->error()->domain(), QStringLiteral("HTTPRequestErrorDomain"));
    EXPECT_EQ(request->error()->code(), c.code);
    EXPECT_EQ(request->error()->localizedDescription(), QString::fromLatin1(c.description));
  }
}

// The real response cache, noting what it is asked to store.
class RecordingCache : public cache::DownloadCache {
 public:
  void storeResponseForRequest(const http::HTTPRequest& request, double maxAge) override {
    QString entry = request.url().path() + " " + QString::number(maxAge);
    if (entry.contains(".html")) {
      entry += bodyOf(static_cast<const WebPageRequest&>(request)).contains("../img/corner.png") ? " as-received"
                                                                                                : " rewritten";
    }
    stored.append(entry);
    cache::DownloadCache::storeResponseForRequest(request, maxAge);
  }
  QStringList stored;
};

TEST_F(WebPageTest, TheRewrittenPageIsStoredInTheCacheAndResourcesUseThePagesCache) {
  addFile("cached/page.html", "<html><body><img src=\"../img/corner.png\"></body></html>");
  struct Case {
    int mode;
    bool toFile;
    QStringList stored;
  } cases[] = {
      {0, false, {"/cached/page.html 30 as-received", "/img/corner.png 0"}},
      {1, false, {"/cached/page.html 30 as-received", "/img/corner.png 0", "/cached/page.html 30 rewritten"}},
      {2, true, {"/cached/page.html 30 as-received", "/img/corner.png 0", "/cached/page.html 30 rewritten"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    testsupport::TempDir folder;
    auto store = std::make_shared<RecordingCache>();
    store->setStoragePath(QString::fromStdString((folder / "cache").string()));
    auto request = page(QStringLiteral("/cached/page.html"), c.mode);
    request->setDownloadCache(store);
    request->setCachePolicy(http::DoNotReadFromCacheCachePolicy);
    request->setSecondsToCache(30);
    if (c.toFile) request->setDownloadDestinationPath(QString::fromStdString((folder / "page.html").string()));
    ASSERT_TRUE(run(request));
    ASSERT_FALSE(request->error());
    EXPECT_EQ(store->stored, c.stored);
    // What the cache now answers for the page is what the request ended with.
    EXPECT_EQ(QString::fromUtf8(store->cachedResponseDataForURL(request->url())), bodyOf(*request));
    if (c.toFile) {
      // The resource went straight into the cache's own file for it.
      const QString key = cache::DownloadCache::keyForURL(url("/img/corner.png"));
      EXPECT_TRUE(bodyOf(*request).contains("src=\"cache/SessionStore/" + key + ".png\"")) << bodyOf(*request).toStdString();
      EXPECT_EQ(fileBytes(folder / "cache" / "SessionStore" / (key + ".png").toStdString()),
                fileBytes(siteRoot() / "img/corner.png"));
    }
  }
}

TEST_F(WebPageTest, PagesParsedSideBySideShareTheParserSafely) {
  // Documents parse on the network thread and are rewritten on the main thread, while libxml2's
  // global state comes and goes with the documents held: run several pages at once, twice.
  for (int i = 0; i < 6; ++i) {
    addFile("side/p" + std::to_string(i) + ".html",
            "<html><head><link rel=\"stylesheet\" href=\"s.css\"></head><body><img src=\"../img/tile.png\">"
            "<p style=\"background: url(../img/dots.png)\">" + std::to_string(i) + "</p></body></html>");
  }
  addFile("side/s.css", "p { background: url(../img/corner.png) }");
  auto pages = queue::NetworkQueue::queue();
  pages->setShouldCancelAllRequestsOnFailure(false);
  std::vector<std::shared_ptr<WebPageRequest>> requests;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 6; ++i) {
      requests.push_back(page(QStringLiteral("/side/p%1.html").arg(i), webpage::ReplaceURLsWithDataURLs));
      pages->addOperation(requests.back());
    }
  }
  pages->go();
  ASSERT_TRUE(testsupport::waitUntil([&] {
    return std::all_of(requests.begin(), requests.end(), [](const auto& r) { return r->isFinished(); });
  }, std::chrono::seconds(60)));
  for (const auto& request : requests) {
    EXPECT_FALSE(request->error());
    EXPECT_FALSE(bodyOf(*request).contains(".png")) << bodyOf(*request).toStdString();
  }
}

TEST_F(WebPageTest, ASynchronousPageReturnsWithItsResourcesInPlace) {
  addFile("sync/page.html", "<html><body><img src=\"../img/corner.png\"></body></html>");
  auto request = page(QStringLiteral("/sync/page.html"), webpage::ReplaceURLsWithDataURLs);
  request->startSynchronous();
  EXPECT_FALSE(request->error());
  EXPECT_TRUE(request->isFinished());
  EXPECT_TRUE(bodyOf(*request).contains("data:image/png;base64,"));
}

TEST_F(WebPageTest, NonASCIIFileNamesInLatin1AndUTF8PagesAreFetched) {
  for (const char* path : {"/index.html", "/latin1.html"}) {
    SCOPED_TRACE(path);
    auto request = page(QString::fromLatin1(path), webpage::ReplaceURLsWithDataURLs);
    request->setShouldIgnoreExternalResourceErrors(false);
    ASSERT_TRUE(run(request));
    EXPECT_FALSE(request->error());
    EXPECT_EQ(request->resourcesFailed(), 0);
  }
  EXPECT_EQ(requestsFor("/img/caf%C3%A9.png"), 1);
  EXPECT_GE(requestsFor("/img/gr%C3%B6%C3%9Fe.png"), 1);
  for (const std::string& line : server().accessLog()) {
    if (line.find("/img/") != std::string::npos) {
      EXPECT_EQ(line.find(" 404 "), std::string::npos) << line;
    }
  }
}

}  // namespace
}  // namespace webpagetest
