// Downloads against servers that stall, resume or announce the wrong size: a retried or resumed
// download is either complete and exact or fails, and the destination changes only on success.
#include "http/http_request.h"

#include "progress_recorder.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "support/wait.h"

#include <QFileInfo>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <numeric>

namespace {

using http::HTTPRequest;
using testsupport::HttpResponse;
using testsupport::readFile;
using testsupport::RecordedRequest;
using testsupport::TempDir;
using testsupport::TestHttpServer;
using testsupport::writeFile;

QByteArray patternedBody(int size) {
  QByteArray body(size, Qt::Uninitialized);
  for (int i = 0; i < size; ++i) body[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
  return body;
}

// Bytes of the head the test server sends before `response`'s body.
qint64 headSize(const HttpResponse& response) {
  return response.wire(false).size() - response.body.size();
}

// Serves `body`, honouring "Range: bytes=N-" with a 206; the first `stalls` answers go silent
// after `stallAt` body bytes, leaving their connection open.
struct RangeServer {
  explicit RangeServer(QByteArray content, qint64 stallAt, int stalls = 1)
      : body(std::move(content)) {
    server.setHandler([this, stallAt, stalls](const RecordedRequest& sent) -> std::optional<HttpResponse> {
      qint64 from = 0;
      const QByteArray range = sent.header("Range");
      if (range.startsWith("bytes=") && range.endsWith('-')) from = range.mid(6).chopped(1).toLongLong();
      HttpResponse response = HttpResponse::ok(body.mid(from));
      if (from > 0) {
        response = HttpResponse::withStatus(206, "Partial Content", body.mid(from));
        response.withHeader("Content-Range", QByteArray("bytes ") + QByteArray::number(from) + '-' +
                                                 QByteArray::number(body.size() - 1) + '/' +
                                                 QByteArray::number(body.size()));
      }
      if (answered++ < stalls) response.stallAfter(headSize(response) + stallAt);
      return response;
    });
  }
  QByteArray body;
  int answered = 0;  // server thread only
  TestHttpServer server;
};

struct Download {
  TempDir dir;
  QString destination = QString::fromStdString((dir / "file.bin").string());
  QString partial = QString::fromStdString((dir / "file.bin.part").string());
  std::shared_ptr<testsupport::ProgressRecorder> progress;  // optional download recipient

  std::shared_ptr<HTTPRequest> run(const QUrl& url, bool resumable, int retries = 1) {
    writeFile(dir / "file.bin", "previous content");
    auto request = HTTPRequest::requestWithURL(url);
    request->setDownloadDestinationPath(destination);
    if (resumable) {
      request->setAllowResumeForFileDownloads(true);
      request->setTemporaryFileDownloadPath(partial);
    }
    request->setTimeOutSeconds(1.0);
    request->setNumberOfTimesToRetryOnTimeout(retries);
    if (progress) request->setDownloadProgressDelegate(progress);
    request->startSynchronous();
    return request;
  }
  QByteArray content() const { return QByteArray::fromStdString(readFile(dir / "file.bin")); }
};

TEST(DownloadIntegrityTest, ATimedOutAttemptRetriedFromScratchGivesExactlyTheBody) {
  RangeServer site(patternedBody(200000), 100000);
  Download download;
  download.progress = std::make_shared<testsupport::ProgressRecorder>();
  auto request = download.run(site.server.url("/file"), false);
  ASSERT_EQ(request->error(), nullptr);
  testsupport::serveFor(std::chrono::milliseconds(20));
  const auto sum = [](const std::vector<qint64>& v) { return std::accumulate(v.begin(), v.end(), qint64(0)); };
  EXPECT_EQ(sum(download.progress->downloadSizes), 200000) << "the retried body is counted once";
  EXPECT_EQ(sum(download.progress->received), 200000);
  EXPECT_EQ(request->retryCount(), 1);
  EXPECT_EQ(download.content().size(), 200000);
  EXPECT_EQ(download.content(), site.body);
  const auto sent = site.server.requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_FALSE(sent[1].hasHeader("Range")) << "a download that cannot resume starts again";
}

TEST(DownloadIntegrityTest, ATimedOutResumableDownloadAsksForWhatIsReallyOnDisk) {
  RangeServer site(patternedBody(50000), 20000);
  Download download;
  auto request = download.run(site.server.url("/file"), true);
  ASSERT_EQ(request->error(), nullptr);
  EXPECT_EQ(download.content(), site.body);
  const auto sent = site.server.requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].header("Range"), "bytes=20000-") << "every byte received was on disk";
  EXPECT_FALSE(QFileInfo::exists(download.partial));
}

TEST(DownloadIntegrityTest, RetriesThatRunOutFailAndKeepTheDestination) {
  for (const bool resumable : {false, true}) {
    SCOPED_TRACE(resumable ? "resumable" : "whole");
    RangeServer site(patternedBody(50000), 10000, 3);
    Download download;
    auto request = download.run(site.server.url("/file"), resumable, 2);
    ASSERT_NE(request->error(), nullptr);
    EXPECT_EQ(request->error()->code(), http::RequestTimedOutErrorType);
    EXPECT_EQ(download.content(), "previous content");
    // The partial file of a resumable download stays for a later request; nothing else does.
    EXPECT_EQ(QFileInfo::exists(download.partial), resumable);
    if (resumable) {
      EXPECT_EQ(QFileInfo(download.partial).size(), 30000);
    }
  }
}

TEST(DownloadIntegrityTest, AFileThatDisagreesWithTheAnnouncedSizeFailsAndKeepsTheDestination) {
  // The server claims to resume but sends the whole body again after the partial file.
  const QByteArray body = patternedBody(5000);
  TestHttpServer server;
  server.route("/file", HttpResponse::withStatus(206, "Partial Content", body)
                            .withHeader("Content-Range", "bytes 1000-5999/5000"));
  Download download;
  writeFile(download.dir / "file.bin.part", body.left(1000).toStdString());
  auto request = download.run(server.url("/file"), true, 0);
  ASSERT_NE(request->error(), nullptr);
  EXPECT_EQ(request->error()->code(), http::ConnectionFailureErrorType);
  EXPECT_EQ(download.content(), "previous content");
  EXPECT_FALSE(QFileInfo::exists(download.partial)) << "a file known to be wrong is not resumed";
}

TEST(DownloadIntegrityTest, FilesThatCannotBeWrittenFailWithTheFileManagementCode) {
  TestHttpServer server;
  server.route("/file", HttpResponse::ok("content"));
  server.route("/empty", HttpResponse::ok(""));
  Download download;
  writeFile(download.dir / "file.bin", "previous content");
  const QString missing = QString::fromStdString((download.dir / "missing" / "file.bin").string());
  // The destination's folder is missing, or the temporary file's (for a body and for an empty
  // one, whose file is made when the response ends).
  for (const auto& [path, temporaryFileFails] :
       {std::pair{"/file", false}, std::pair{"/file", true}, std::pair{"/empty", true}}) {
    SCOPED_TRACE(std::string(path) + (temporaryFileFails ? ", temporary file" : ", destination"));
    auto request = HTTPRequest::requestWithURL(server.url(path));
    request->setDownloadDestinationPath(temporaryFileFails ? download.destination : missing);
    if (temporaryFileFails) request->setTemporaryFileDownloadPath(missing);
    request->startSynchronous();
    ASSERT_NE(request->error(), nullptr);
    EXPECT_EQ(request->error()->code(), http::FileManagementError) << request->error()->toString().toStdString();
    EXPECT_EQ(download.content(), "previous content");
  }
}

}  // namespace


namespace {

// A disk that fills up while the body is written (the process may not make files larger than
// 16 KiB): the request fails with the file code, the destination keeps what it held and no
// temporary file is left.
TEST(DownloadIntegrityTest, ADiskThatFillsUpFailsTheDownloadAndKeepsTheDestination) {
  TestHttpServer server;
  server.route("/file", HttpResponse::ok(patternedBody(200000)));
  Download download;
  writeFile(download.dir / "file.bin", "previous content");
  auto request = HTTPRequest::requestWithURL(server.url("/file"));
  request->setDownloadDestinationPath(download.destination);
  request->setTemporaryFileDownloadPath(download.partial);
  {
    // Writing past the limit fails with EFBIG instead of raising SIGXFSZ.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 16 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    request->startSynchronous();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
  }
  ASSERT_NE(request->error(), nullptr);
  EXPECT_EQ(request->error()->code(), http::FileManagementError) << request->error()->toString().toStdString();
  EXPECT_EQ(download.content(), "previous content");
  EXPECT_FALSE(QFileInfo::exists(download.partial));
}

}  // namespace
