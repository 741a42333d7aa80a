// Downloads to a file: large bodies, the destination replaced only by a complete body, resuming
// with Range, gzip bodies inflated on the fly or at the end, and empty bodies.
#include "http/http_request.h"

#include "compression/data_compressor.h"
#include "progress_recorder.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "support/wait.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <numeric>

namespace {

using http::HTTPRequest;
using testsupport::HttpResponse;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::TestHttpServer;
using testsupport::writeFile;

QByteArray patternedBody(int size) {
  QByteArray body(size, Qt::Uninitialized);
  for (int i = 0; i < size; ++i) body[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
  return body;
}

QStringList temporaryFilesNow() { return QDir(QDir::tempPath()).entryList(QDir::Files); }

TEST(DownloadTest, ABodyLargerThanTheReadBuffersArrivesWholeAtTheDestination) {
  TestHttpServer server;
  const QByteArray body = patternedBody(5 * 1024 * 1024 + 17);
  server.route("/big.bin", HttpResponse::ok(body));
  TempDir dir;
  const QString destination = QString::fromStdString((dir / "big.bin").string());
  const QStringList before = temporaryFilesNow();
  auto request = HTTPRequest::requestWithURL(server.url("/big.bin"));
  request->setDownloadDestinationPath(destination);
  request->startSynchronous();
  ASSERT_EQ(request->error(), nullptr);
  EXPECT_EQ(QByteArray::fromStdString(readFile(dir / "big.bin")), body);
  EXPECT_FALSE(request->rawResponseData().has_value() && !request->rawResponseData()->isEmpty());
  EXPECT_EQ(request->contentLength(), static_cast<quint64>(body.size()));
  EXPECT_EQ(temporaryFilesNow(), before) << "the temporary download file is gone";
}

TEST(DownloadTest, ABrokenTransferLeavesTheOldDestinationAndNoTemporaryFile) {
  TestHttpServer server;
  server.route("/file", HttpResponse::ok(patternedBody(300000)).cutAfter(150000));
  TempDir dir;
  writeFile(dir / "file", "previous content");
  const QStringList before = temporaryFilesNow();
  auto request = HTTPRequest::requestWithURL(server.url("/file"));
  request->setDownloadDestinationPath(QString::fromStdString((dir / "file").string()));
  request->startSynchronous();
  ASSERT_NE(request->error(), nullptr);
  EXPECT_EQ(request->error()->code(), http::ConnectionFailureErrorType);
  EXPECT_EQ(readFile(dir / "file"), "previous content");
  EXPECT_EQ(temporaryFilesNow(), before);
}

TEST(DownloadTest, AnEmptyBodyGivesAnEmptyFile) {
  TestHttpServer server;
  server.route("/empty", HttpResponse::ok(""));
  TempDir dir;
  writeFile(dir / "empty", "old");
  auto request = HTTPRequest::requestWithURL(server.url("/empty"));
  request->setDownloadDestinationPath(QString::fromStdString((dir / "empty").string()));
  request->startSynchronous();
  ASSERT_EQ(request->error(), nullptr);
  EXPECT_TRUE(QFileInfo::exists(QString::fromStdString((dir / "empty").string())));
  EXPECT_EQ(readFile(dir / "empty"), "");
}

TEST(DownloadTest, ResumingAppendsOnA206AndStartsAgainOnA200) {
  const QByteArray body = patternedBody(5000);
  TestHttpServer server;
  server.setHandler([&](const testsupport::RecordedRequest& sent) -> std::optional<HttpResponse> {
    if (sent.path() == "/resumable" && sent.header("Range") == "bytes=1000-") {
      return HttpResponse::withStatus(206, "Partial Content", body.mid(1000))
          .withHeader("Content-Range", "bytes 1000-4999/5000");
    }
    return HttpResponse::ok(body);
  });
  for (const bool serverResumes : {true, false}) {
    SCOPED_TRACE(serverResumes ? "206" : "200");
    TempDir dir;
    const QString partial = QString::fromStdString((dir / "partial").string());
    writeFile(dir / "partial", serverResumes ? body.left(1000).toStdString() : std::string(1000, 'x'));
    auto progress = std::make_shared<testsupport::ProgressRecorder>();
    auto request = HTTPRequest::requestWithURL(server.url(serverResumes ? "/resumable" : "/whole"));
    request->setDownloadDestinationPath(QString::fromStdString((dir / "done").string()));
    request->setTemporaryFileDownloadPath(partial);
    request->setAllowResumeForFileDownloads(true);
    request->setDownloadProgressDelegate(progress);
    request->startSynchronous();
    ASSERT_EQ(request->error(), nullptr);
    EXPECT_EQ(server.requests().back().header("Range"), "bytes=1000-");
    EXPECT_EQ(QByteArray::fromStdString(readFile(dir / "done")), body);
    EXPECT_FALSE(QFileInfo::exists(partial));
    testsupport::serveFor(std::chrono::milliseconds(20));
    const qint64 sizeTotal = std::accumulate(progress->downloadSizes.begin(), progress->downloadSizes.end(), qint64(0));
    EXPECT_EQ(sizeTotal, serverResumes ? 5000 : 5000) << "content length plus the resumed part, less what was taken back";
    if (!serverResumes) {
      EXPECT_EQ(progress->downloadSizes.back(), -1000);
    }
    ASSERT_FALSE(progress->values.empty());
    EXPECT_DOUBLE_EQ(progress->values.back(), 1.0);
  }
}

TEST(DownloadTest, GzipBodiesAreInflatedOnTheFlyOrAtTheEnd) {
  const QByteArray plain = patternedBody(400000);
  const QByteArray gzip = compression::DataCompressor::compressData(plain);
  ASSERT_FALSE(gzip.isEmpty());
  TestHttpServer server;
  server.route("/data", HttpResponse::ok(gzip).withHeader("Content-Encoding", "gzip"));
  for (const bool wait : {true, false}) {
    SCOPED_TRACE(wait ? "deferred" : "on the fly");
    TempDir dir;
    auto toFile = HTTPRequest::requestWithURL(server.url("/data"));
    toFile->setShouldWaitToInflateCompressedResponses(wait);
    toFile->setDownloadDestinationPath(QString::fromStdString((dir / "out").string()));
    toFile->startSynchronous();
    ASSERT_EQ(toFile->error(), nullptr);
    EXPECT_TRUE(toFile->isResponseCompressed());
    EXPECT_EQ(QByteArray::fromStdString(readFile(dir / "out")), plain);
    EXPECT_TRUE(toFile->temporaryFileDownloadPath().isEmpty());

    auto inMemory = HTTPRequest::requestWithURL(server.url("/data"));
    inMemory->setShouldWaitToInflateCompressedResponses(wait);
    inMemory->startSynchronous();
    ASSERT_EQ(inMemory->error(), nullptr);
    EXPECT_EQ(inMemory->responseData(), plain);
    EXPECT_EQ(inMemory->rawResponseData()->size(), wait ? gzip.size() : plain.size());
  }
}

TEST(DownloadTest, CorruptGzipFailsWithTheInflatersError) {
  QByteArray gzip = compression::DataCompressor::compressData(patternedBody(100000));
  gzip[gzip.size() / 2] = static_cast<char>(gzip[gzip.size() / 2] ^ 0x55);
  TestHttpServer server;
  server.route("/bad", HttpResponse::ok(gzip).withHeader("Content-Encoding", "gzip"));
  TempDir dir;
  writeFile(dir / "out", "keep me");
  const QStringList before = temporaryFilesNow();
  auto request = HTTPRequest::requestWithURL(server.url("/bad"));
  request->setShouldWaitToInflateCompressedResponses(false);
  request->setDownloadDestinationPath(QString::fromStdString((dir / "out").string()));
  request->startSynchronous();
  ASSERT_NE(request->error(), nullptr);
  EXPECT_EQ(request->error()->code(), http::CompressionError);
  EXPECT_EQ(readFile(dir / "out"), "keep me");
  EXPECT_EQ(temporaryFilesNow(), before) << "neither the received nor the inflated file is left";
}

}  // namespace
