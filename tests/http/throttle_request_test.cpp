// Throttled requests against a real nginx: downloads and uploads (memory and file bodies) under
// a limit arrive intact and take at least the windows the limit allows (a generous lower bound,
// never an upper one), and a limit set back to 0 lets a paused download finish at once.
#include "http/http_request.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "support/wait.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <gtest/gtest.h>

namespace http {
namespace {

using testsupport::NginxServer;

QByteArray randomBytes(qsizetype n, quint32 seed) {
  QByteArray out(n, '\0');
  QRandomGenerator generator(seed);
  for (char& c : out) c = static_cast<char>(generator.generate());
  return out;
}

class ThrottleRequestTest : public ::testing::Test {
 protected:
  static constexpr qsizetype kFileBytes = 700000;

  static void SetUpTestSuite() {
    if (!NginxServer::isInstalled()) return;
    site_ = new testsupport::TempDir;
    data_ = new QByteArray(randomBytes(kFileBytes, 7));
    testsupport::writeFile(*site_ / "file.bin", data_->toStdString());
    std::filesystem::create_directories(*site_ / "upload");
    NginxServer::Options options;
    options.root = site_->path();
    options.extraServerConfig =
        "location /upload/ { dav_methods PUT; create_full_put_path on; client_max_body_size 100m; }";
    nginx_ = new NginxServer(options);
  }
  static void TearDownTestSuite() {
    delete nginx_;
    delete data_;
    delete site_;
  }
  void SetUp() override {
    if (!nginx_) GTEST_SKIP() << "nginx is not installed";
    ASSERT_TRUE(nginx_->isRunning()) << nginx_->errorText().toStdString();
  }
  void TearDown() override { HTTPRequest::setMaxBandwidthPerSecond(0); }

  static double seconds(const QElapsedTimer& clock) { return clock.elapsed() / 1000.0; }

  static testsupport::TempDir* site_;
  static QByteArray* data_;
  static NginxServer* nginx_;
};
testsupport::TempDir* ThrottleRequestTest::site_ = nullptr;
QByteArray* ThrottleRequestTest::data_ = nullptr;
NginxServer* ThrottleRequestTest::nginx_ = nullptr;

TEST_F(ThrottleRequestTest, ALimitedDownloadArrivesIntactAndTakesItsWindows) {
  HTTPRequest::setMaxBandwidthPerSecond(200000);
  auto request = HTTPRequest::requestWithURL(nginx_->url("/file.bin"));
  QElapsedTimer clock;
  clock.start();
  request->startSynchronous();
  ASSERT_FALSE(request->error()) << request->error()->localizedDescription().toStdString();
  EXPECT_TRUE(request->responseData() == *data_);
  // 700000 bytes at 200000 per second fill four windows: at least three seconds; two is safe.
  EXPECT_GE(seconds(clock), 2.0);
  EXPECT_GT(HTTPRequest::averageBandwidthUsedPerSecond(), 0u);
}

TEST_F(ThrottleRequestTest, LimitedUploadsFromMemoryAndFileArriveIntactAndTakeTheirWindows) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "body.bin", data_->toStdString());
  for (bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "file" : "memory");
    HTTPRequest::setMaxBandwidthPerSecond(200000);
    const QString name = fromFile ? "/upload/from-file.bin" : "/upload/from-memory.bin";
    auto request = HTTPRequest::requestWithURL(nginx_->url(name));
    request->setRequestMethod("PUT");
    if (fromFile) {
      request->setShouldStreamPostDataFromDisk(true);
      request->setPostBodyFilePath(QString::fromStdString((dir / "body.bin").string()));
    } else {
      request->appendPostData(*data_);
    }
    QElapsedTimer clock;
    clock.start();
    request->startSynchronous();
    ASSERT_FALSE(request->error()) << request->error()->localizedDescription().toStdString();
    EXPECT_TRUE(request->responseStatusCode() == 201 || request->responseStatusCode() == 204)
        << request->responseStatusCode();
    EXPECT_GE(seconds(clock), 2.0);
    EXPECT_EQ(testsupport::readFile(site_->path() / name.mid(1).toStdString()), data_->toStdString());
    HTTPRequest::setMaxBandwidthPerSecond(0);
  }
}

TEST_F(ThrottleRequestTest, ALimitSetBackToZeroResumesAPausedDownloadAtOnce) {
  // At 20000 bytes per second the file would take half a minute.
  HTTPRequest::setMaxBandwidthPerSecond(20000);
  auto request = HTTPRequest::requestWithURL(nginx_->url("/file.bin"));
  request->startAsynchronous();
  ASSERT_TRUE(testsupport::waitUntil([&] { return request->totalBytesRead() > 0; }));
  testsupport::serveFor(std::chrono::milliseconds(300));
  EXPECT_FALSE(request->isFinished());
  HTTPRequest::setMaxBandwidthPerSecond(0);
  ASSERT_TRUE(testsupport::waitUntil([&] { return request->isFinished(); },
                                     std::chrono::seconds(10)));
  ASSERT_FALSE(request->error());
  EXPECT_TRUE(request->responseData() == *data_);
}

}  // namespace
}  // namespace http
