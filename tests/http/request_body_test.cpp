// Request bodies on the wire: in memory and from files, gzip-compressed, the method switch and
// Content-Length rules, every way of running a request, body failures that must stop the
// request before anything is sent, redirects and retries that send the body again, temporary
// body files, upload progress and the longer time-out while the first send buffer drains.
#include "http/http_request.h"

#include "body_fixtures.h"
#include "progress_recorder.h"
#include "support/private_temp_folder.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "support/wait.h"

#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

namespace {

using http::HTTPRequest;
using testsupport::HttpResponse;
using testsupport::RunMode;
using testsupport::TestHttpServer;

const bool kPrivateTemporaryFolder = testsupport::usePrivateTemporaryFolder();

QString pathIn(const testsupport::TempDir& dir, const char* name) {
  return QString::fromStdString((dir / name).string());
}

// How a test body is handed to the request.
enum class Source {
  None,         // no body at all
  Memory,       // appendPostData into memory
  DiskAppend,   // appendPostData with shouldStreamPostDataFromDisk (a temporary body file)
  FileAppend,   // appendPostDataFromFile from a file of the test, into a temporary body file
  OwnFile,      // postBodyFilePath naming the test's own file
};

struct BodyCase {
  const char* name;
  Source source;
  QString method;        // empty: leave the default (GET)
  bool gzip;
  QByteArray expectedMethod;
};

std::shared_ptr<HTTPRequest> requestWithBody(const QUrl& url, Source source, const QByteArray& body,
                                             const testsupport::TempDir& dir) {
  auto request = HTTPRequest::requestWithURL(url);
  const QString file = pathIn(dir, "body.bin");
  switch (source) {
    case Source::None: break;
    case Source::Memory: request->appendPostData(body); break;
    case Source::DiskAppend:
      request->setShouldStreamPostDataFromDisk(true);
      request->appendPostData(body.left(body.size() / 3));
      request->appendPostData(body.mid(body.size() / 3));
      break;
    case Source::FileAppend:
      testsupport::writeFile(dir / "body.bin", body.toStdString());
      request->setShouldStreamPostDataFromDisk(true);
      request->appendPostDataFromFile(file);
      break;
    case Source::OwnFile:
      testsupport::writeFile(dir / "body.bin", body.toStdString());
      request->setShouldStreamPostDataFromDisk(true);
      request->setPostBodyFilePath(file);
      break;
  }
  return request;
}

TEST(RequestBodyTest, EveryBodyShapeArrivesWithTheRightMethodLengthAndEncoding) {
  const BodyCase cases[] = {
      {"GET with data becomes POST", Source::Memory, {}, false, "POST"},
      {"DELETE with data becomes POST", Source::Memory, "DELETE", false, "POST"},
      {"HEAD with data becomes POST", Source::DiskAppend, "HEAD", false, "POST"},
      {"PUT keeps its method", Source::Memory, "PUT", false, "PUT"},
      {"POST without data", Source::None, "POST", false, "POST"},
      {"GET without data", Source::None, {}, false, "GET"},
      {"body file filled in pieces", Source::DiskAppend, "PUT", false, "PUT"},
      {"appended file, 256 KiB reads", Source::FileAppend, {}, false, "POST"},
      {"caller's own body file", Source::OwnFile, "PATCH", false, "PATCH"},
      {"gzip from memory", Source::Memory, "PUT", true, "PUT"},
      {"gzip from a body file", Source::FileAppend, {}, true, "POST"},
      {"gzip of the caller's file", Source::OwnFile, "PUT", true, "PUT"},
  };
  // Sizes around the 256 KiB append piece; the empty body is for the cases without data.
  const QByteArray body = testsupport::patternBytes(262144 * 2 + 1, 7);
  TestHttpServer server;
  server.route("/in", HttpResponse::ok("stored"));
  for (const BodyCase& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    const QByteArray sent = c.source == Source::None ? QByteArray() : body;
    auto request = requestWithBody(server.url("/in"), c.source, sent, dir);
    if (!c.method.isEmpty()) request->setRequestMethod(c.method);
    request->setShouldCompressRequestBody(c.gzip);
    const int before = server.requestCount();
    ASSERT_TRUE(testsupport::runRequest(request, RunMode::Synchronous));
    ASSERT_EQ(request->error(), nullptr) << request->error()->toString().toStdString();
    ASSERT_EQ(server.requestCount(), before + 1);
    const auto received = server.requests().back();
    EXPECT_EQ(received.method, c.expectedMethod);
    EXPECT_FALSE(received.bodyWasChunked);
    if (sent.isEmpty()) {
      EXPECT_FALSE(received.hasHeader("Content-Length"));
      EXPECT_TRUE(received.body.isEmpty());
      continue;
    }
    EXPECT_EQ(received.header("Content-Length"), QByteArray::number(received.body.size()));
    EXPECT_EQ(request->postLength(), static_cast<quint64>(received.body.size()));
    // What the summary of the driver reports: body bytes as they went on the wire.
    EXPECT_EQ(request->totalBytesSent(), request->postLength());
    if (c.gzip) {
      EXPECT_EQ(received.header("Content-Encoding"), "gzip");
      EXPECT_TRUE(testsupport::gunzip(received.body) == sent);
    } else {
      EXPECT_FALSE(received.hasHeader("Content-Encoding"));
      EXPECT_TRUE(received.body == sent);
    }
    if (c.source == Source::OwnFile) {
      EXPECT_TRUE(QFile::exists(pathIn(dir, "body.bin")));
    }
  }
  EXPECT_EQ(testsupport::strayTemporaryFiles().join(' ').toStdString(), "");
}

TEST(RequestBodyTest, UploadsWorkSynchronouslyAsynchronouslyAndQueued) {
  const QByteArray body = testsupport::patternBytes(3 << 20, 3);
  TestHttpServer server;
  server.route("/in", HttpResponse::ok("stored"));
  for (RunMode mode : {RunMode::Synchronous, RunMode::Asynchronous, RunMode::Queued}) {
    for (Source source : {Source::Memory, Source::FileAppend}) {
      SCOPED_TRACE(testing::Message() << testsupport::runModeName(mode) << " source "
                                      << static_cast<int>(source));
      testsupport::TempDir dir;
      auto request = requestWithBody(server.url("/in"), source, body, dir);
      request->setRequestMethod(QStringLiteral("PUT"));
      ASSERT_TRUE(testsupport::runRequest(request, mode));
      ASSERT_EQ(request->error(), nullptr);
      EXPECT_EQ(request->responseString(), QStringLiteral("stored"));
      EXPECT_TRUE(server.requests().back().body == body);
      EXPECT_EQ(request->totalBytesSent(), static_cast<quint64>(body.size()));
    }
  }
  EXPECT_EQ(testsupport::strayTemporaryFiles().join(' ').toStdString(), "");
}

TEST(RequestBodyTest, BuildingTwiceDoesNothingTheSecondTime) {
  auto request = HTTPRequest::requestWithURL(QUrl(QStringLiteral("http://127.0.0.1:1/")));
  request->appendPostData("abc");
  request->buildPostBody();
  request->appendPostData("defg");
  request->buildPostBody();
  EXPECT_EQ(request->postLength(), 3u);
  EXPECT_EQ(request->requestHeaders().value(QStringLiteral("Content-Length")), QStringLiteral("3"));
  EXPECT_EQ(request->requestMethod(), QStringLiteral("POST"));
}

TEST(RequestBodyTest, SettingPostOrPutTurnsOffConnectionReuseBeforeAnyData) {
  for (const char* method : {"POST", "PUT"}) {
    auto request = HTTPRequest::requestWithURL(QUrl(QStringLiteral("http://127.0.0.1:1/")));
    request->setRequestMethod(QString::fromLatin1(method));
    EXPECT_FALSE(request->shouldAttemptPersistentConnection()) << method;
  }
  auto get = HTTPRequest::requestWithURL(QUrl(QStringLiteral("http://127.0.0.1:1/")));
  get->setRequestMethod(QStringLiteral("OPTIONS"));
  EXPECT_TRUE(get->shouldAttemptPersistentConnection());
}

TEST(RequestBodyTest, AppendingToAnExistingBodyFileRewritesItFromTheStart) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "body.bin", "an old and much longer content");
  TestHttpServer server;
  server.route("/in", HttpResponse::ok());
  auto request = HTTPRequest::requestWithURL(server.url("/in"));
  request->setShouldStreamPostDataFromDisk(true);
  request->setPostBodyFilePath(pathIn(dir, "body.bin"));
  request->appendPostData("new");
  request->startSynchronous();
  ASSERT_EQ(request->error(), nullptr);
  EXPECT_EQ(server.requests().back().body, "new");
  EXPECT_EQ(testsupport::readFile(dir / "body.bin"), "new");
}

// Each case makes a body that cannot be sent whole; the request must fail with a file error
// naming the path, before a single byte reaches the server, and leave no temporary file.
TEST(RequestBodyFailureTest, AnUnsendableBodyFailsBeforeAnythingIsSent) {
  struct Case {
    const char* name;
    std::function<void(HTTPRequest&, const testsupport::TempDir&)> setUp;
    qint64 expectedCode;
    const char* pathInDescription;
  };
  const Case cases[] = {
      {"appended file missing, body in memory",
       [](HTTPRequest& r, const testsupport::TempDir& d) {
         r.appendPostData("head-");
         r.appendPostDataFromFile(pathIn(d, "missing.bin"));
       },
       8, "missing.bin"},
      {"appended file missing, body on disk",
       [](HTTPRequest& r, const testsupport::TempDir& d) {
         r.setShouldStreamPostDataFromDisk(true);
         r.appendPostData("head-");
         r.appendPostDataFromFile(pathIn(d, "missing.bin"));
       },
       8, "missing.bin"},
      {"appended path is a folder",
       [](HTTPRequest& r, const testsupport::TempDir& d) {
         r.setShouldStreamPostDataFromDisk(true);
         r.appendPostDataFromFile(QString::fromStdString(d.path().string()));
       },
       8, "updater-test-"},
      {"caller's body file missing",
       [](HTTPRequest& r, const testsupport::TempDir& d) {
         r.setShouldStreamPostDataFromDisk(true);
         r.setPostBodyFilePath(pathIn(d, "gone.bin"));
       },
       8, "gone.bin"},
      {"caller's body file missing, compressed",
       [](HTTPRequest& r, const testsupport::TempDir& d) {
         r.setShouldStreamPostDataFromDisk(true);
         r.setShouldCompressRequestBody(true);
         r.setPostBodyFilePath(pathIn(d, "gone.bin"));
       },
       11, "gone.bin"},
      {"body file removed after it was built",
       [](HTTPRequest& r, const testsupport::TempDir& d) {
         testsupport::writeFile(d / "body.bin", "0123456789");
         r.setShouldStreamPostDataFromDisk(true);
         r.setPostBodyFilePath(pathIn(d, "body.bin"));
         r.buildPostBody();  // as a queue does when the request is added
         QFile::remove(pathIn(d, "body.bin"));
       },
       8, "body.bin"},
  };
  TestHttpServer server;
  server.route("/in", HttpResponse::ok());
  for (const Case& c : cases) {
   for (RunMode mode : {RunMode::Synchronous, RunMode::Queued}) {
    SCOPED_TRACE(testing::Message() << c.name << ", " << testsupport::runModeName(mode));
    testsupport::TempDir dir;
    auto request = HTTPRequest::requestWithURL(server.url("/in"));
    request->setRequestMethod(QStringLiteral("PUT"));
    c.setUp(*request, dir);
    // Queued, the failure must reach the queue too (it builds bodies as requests are added).
    EXPECT_TRUE(testsupport::runRequest(request, mode, std::chrono::seconds(20)));
    ASSERT_NE(request->error(), nullptr);
    EXPECT_EQ(request->error()->code(), c.expectedCode);
    EXPECT_TRUE(request->error()->localizedDescription().contains(QLatin1String(c.pathInDescription)))
        << request->error()->localizedDescription().toStdString();
    EXPECT_EQ(testsupport::strayTemporaryFiles().join(' ').toStdString(), "");
   }
  }
  EXPECT_EQ(server.requestCount(), 0);
  EXPECT_EQ(server.bodyBytesReceived(), 0);
}

TEST(RequestBodyRedirectTest, A307Or308ResendsABodyFileTheRequestMadeItselfAndA302DropsIt) {
  struct Case {
    int status;
    QByteArray expectedMethod;
    bool bodyResent;
  };
  const QByteArray body = testsupport::patternBytes(300000, 11);
  for (const Case& c : {Case{307, "POST", true}, Case{308, "POST", true}, Case{302, "GET", false},
                        Case{303, "GET", false}}) {
    for (bool gzip : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.status << (gzip ? " gzip" : ""));
      TestHttpServer server;
      server.route("/form", HttpResponse::withStatus(c.status, "Moved").withHeader("Location", "/next"));
      server.route("/next", HttpResponse::ok("landed"));
      auto request = HTTPRequest::requestWithURL(server.url("/form"));
      request->setShouldStreamPostDataFromDisk(true);
      request->setShouldCompressRequestBody(gzip);
      request->appendPostData(body);
      request->startSynchronous();
      ASSERT_EQ(request->error(), nullptr) << request->error()->toString().toStdString();
      ASSERT_EQ(server.requestCount(), 2);
      const auto second = server.requests()[1];
      EXPECT_EQ(second.method, c.expectedMethod);
      EXPECT_FALSE(second.bodyWasChunked);
      if (c.bodyResent) {
        EXPECT_TRUE(second.body == server.requests()[0].body);
        EXPECT_TRUE((gzip ? testsupport::gunzip(second.body) : second.body) == body);
        EXPECT_EQ(second.header("Content-Length"), QByteArray::number(second.body.size()));
      } else {
        EXPECT_TRUE(second.body.isEmpty());
        EXPECT_FALSE(second.hasHeader("Content-Length"));
        EXPECT_FALSE(second.hasHeader("Content-Encoding"));
      }
      EXPECT_EQ(testsupport::strayTemporaryFiles().join(' ').toStdString(), "");
    }
  }
}

TEST(RequestBodyRetryTest, ATimeOutRetrySendsTheSameBodyAgain) {
  const QByteArray body = testsupport::patternBytes(200000, 5);
  for (Source source : {Source::Memory, Source::DiskAppend}) {
    SCOPED_TRACE(static_cast<int>(source));
    testsupport::TempDir dir;
    TestHttpServer server;
    server.enqueue(HttpResponse::ok("late").after(std::chrono::milliseconds(4000)));
    server.enqueue(HttpResponse::ok("second"));
    auto request = requestWithBody(server.url("/in"), source, body, dir);
    request->setShouldCompressRequestBody(true);
    request->setTimeOutSeconds(0.5);
    request->setNumberOfTimesToRetryOnTimeout(1);
    request->startSynchronous();
    ASSERT_EQ(request->error(), nullptr) << request->error()->toString().toStdString();
    EXPECT_EQ(request->responseString(), QStringLiteral("second"));
    EXPECT_EQ(request->retryCount(), 1);
    ASSERT_TRUE(server.waitForRequests(2));
    const auto requests = server.requests();
    EXPECT_TRUE(requests[0].body == requests[1].body);
    EXPECT_TRUE(testsupport::gunzip(requests[1].body) == body);
    EXPECT_EQ(testsupport::strayTemporaryFiles().join(' ').toStdString(), "");
  }
}

TEST(RequestBodyCleanupTest, TemporaryBodyFilesAreGoneAfterFailureAndCancel) {
  const QByteArray body = testsupport::patternBytes(100000, 9);
  {
    SCOPED_TRACE("connection dropped");
    TestHttpServer server;
    server.setHandler([](const testsupport::RecordedRequest&) { return HttpResponse::dropConnection(true); });
    auto request = HTTPRequest::requestWithURL(server.url("/in"));
    request->setShouldStreamPostDataFromDisk(true);
    request->setShouldCompressRequestBody(true);
    request->appendPostData(body);
    request->startSynchronous();
    ASSERT_NE(request->error(), nullptr);
    EXPECT_EQ(request->error()->code(), 1);
    EXPECT_EQ(testsupport::strayTemporaryFiles().join(' ').toStdString(), "");
  }
  {
    SCOPED_TRACE("cancelled");
    TestHttpServer server;
    server.route("/in", HttpResponse::ok("late").after(std::chrono::milliseconds(10000)));
    auto request = HTTPRequest::requestWithURL(server.url("/in"));
    request->setShouldStreamPostDataFromDisk(true);
    request->appendPostData(body);
    request->startAsynchronous();
    ASSERT_TRUE(server.waitForRequests(1));
    request->cancel();
    ASSERT_TRUE(testsupport::waitUntil([&] { return request->isFinished(); }));
    EXPECT_EQ(request->error()->code(), 4);
    EXPECT_EQ(testsupport::strayTemporaryFiles().join(' ').toStdString(), "");
  }
}

TEST(UploadProgressTest, SentBytesAndSizesAddUpWithTheFirstSendBufferKeptOut) {
  const QByteArray body = testsupport::patternBytes(24 << 20, 2);
  TestHttpServer server;
  server.route("/in", HttpResponse::ok());
  // The server reads nothing at first, so the first measurement sees only the send buffer.
  server.setReadingPaused(true);
  auto progress = std::make_shared<testsupport::ProgressRecorder>();
  auto request = HTTPRequest::requestWithURL(server.url("/in"));
  request->setUploadProgressDelegate(progress);
  request->appendPostData(body);
  request->startAsynchronous();
  // The engine takes the first send buffer back out of the upload size once it measured it.
  EXPECT_TRUE(testsupport::waitUntil([&] {
    return std::any_of(progress->uploadSizes.begin(), progress->uploadSizes.end(),
                       [](qint64 size) { return size < 0; });
  }));
  server.setReadingPaused(false);
  ASSERT_TRUE(testsupport::waitUntil([&] { return request->isFinished(); }));
  ASSERT_EQ(request->error(), nullptr);
  testsupport::serveFor(std::chrono::milliseconds(100));  // reports still on their way
  const qint64 buffer = static_cast<qint64>(request->uploadBufferSize());
  const qint64 sent = std::accumulate(progress->sent.begin(), progress->sent.end(), qint64{0});
  const qint64 sizes =
      std::accumulate(progress->uploadSizes.begin(), progress->uploadSizes.end(), qint64{0});
  EXPECT_GT(buffer, 0);
  EXPECT_EQ(sent + buffer, body.size());
  EXPECT_EQ(sizes, body.size() - buffer);
  ASSERT_FALSE(progress->values.empty());
  EXPECT_DOUBLE_EQ(progress->values.back(), 1.0);
}

TEST(UploadTimeOutTest, AnUploadStillDrainingItsFirstBufferGetsHalfAsLongAgain) {
  TestHttpServer server;
  server.route("/in", HttpResponse::ok());
  server.setReadingPaused(true);  // nothing past the first send buffer ever leaves
  auto request = HTTPRequest::requestWithURL(server.url("/in"));
  request->appendPostData(testsupport::patternBytes(32 << 20, 4));
  request->setTimeOutSeconds(1.0);
  request->startSynchronous();
  const auto ended = HTTPRequest::Clock::now();
  ASSERT_NE(request->error(), nullptr);
  EXPECT_EQ(request->error()->code(), 2);
  EXPECT_GT(request->uploadBufferSize(), 0u);
  ASSERT_TRUE(request->lastActivityTime().has_value());
  // Idle for one and a half time-outs at least (a busy machine may take longer, never less).
  EXPECT_GE(std::chrono::duration<double>(ended - *request->lastActivityTime()).count(), 1.5);
  server.setReadingPaused(false);
}

}  // namespace
