// Progress and callbacks: recipients read at delivery, simple and accurate progress, recipients
// that implement nothing, and blocks.
#include "http/http_request.h"

#include "platform/threads.h"
#include "progress_recorder.h"
#include "request_recorder.h"
#include "support/test_http_server.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>

namespace {

using http::HTTPRequest;
using testsupport::HttpResponse;
using testsupport::ProgressRecorder;
using testsupport::TestHttpServer;

TEST(ProgressTest, ARecipientThatImplementsNothingGetsNothingAndBreaksNothing) {
  TestHttpServer server;
  server.route("/", HttpResponse::ok("x"));
  auto silent = std::make_shared<testsupport::SilentRecipient>();
  auto request = HTTPRequest::requestWithURL(server.url("/"));
  request->setDelegate(silent);
  request->setDownloadProgressDelegate(silent);
  request->setUploadProgressDelegate(silent);
  request->startSynchronous();
  EXPECT_EQ(request->error(), nullptr);
  EXPECT_EQ(request->responseStatusCode(), 200);
}

TEST(ProgressTest, ARecipientClearedBeforeDeliveryIsNotCalled) {
  auto recorder = std::make_shared<ProgressRecorder>();
  std::shared_ptr<platform::Object> field = recorder;
  std::mutex mutex;
  HTTPRequest::RecipientField read = [&] {
    std::lock_guard lock(mutex);
    return field;
  };
  // Prepared on another thread, so the call waits for the main thread to deliver it.
  std::thread([&] { HTTPRequest::updateProgressIndicator(read, 1, 2); }).join();
  {
    std::lock_guard lock(mutex);
    field.reset();  // as clearDelegatesAndCancel does
  }
  testsupport::serveFor(std::chrono::milliseconds(30));
  EXPECT_TRUE(recorder->values.empty());

  // Left in place, the same call arrives.
  {
    std::lock_guard lock(mutex);
    field = recorder;
  }
  std::thread([&] { HTTPRequest::updateProgressIndicator(read, 1, 2); }).join();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !recorder->values.empty(); }));
  EXPECT_DOUBLE_EQ(recorder->values.back(), 0.5);
}

TEST(ProgressTest, SimpleProgressSendsExactlyOneUnitWhenTheTransferCompletes) {
  TestHttpServer server;
  server.route("/", HttpResponse::ok(QByteArray(200000, 'a')).slowly(20000, std::chrono::milliseconds(5)));
  auto progress = std::make_shared<ProgressRecorder>();
  auto request = HTTPRequest::requestWithURL(server.url("/"));
  request->setShowAccurateProgress(false);
  request->setDownloadProgressDelegate(progress);
  request->startAsynchronous();
  ASSERT_TRUE(testsupport::waitUntil([&] { return request->isFinished(); }));
  testsupport::serveFor(std::chrono::milliseconds(50));
  EXPECT_EQ(progress->received, std::vector<qint64>{1});
  EXPECT_EQ(progress->maxValues, std::vector<double>{1.0});
  ASSERT_FALSE(progress->values.empty());
  EXPECT_DOUBLE_EQ(progress->values.back(), 1.0);
}

TEST(ProgressTest, AccurateProgressReportsEveryByteAndTheAnnouncedSize) {
  TestHttpServer server;
  server.route("/", HttpResponse::ok(QByteArray(300000, 'b')).slowly(30000, std::chrono::milliseconds(30)));
  auto progress = std::make_shared<ProgressRecorder>();
  qint64 blockTotal = 0;
  qint64 blockExpected = 0;
  auto request = HTTPRequest::requestWithURL(server.url("/"));
  request->setDownloadProgressDelegate(progress);
  request->setBytesReceivedBlock([&](qint64 amount, qint64 total) {
    blockTotal += amount;
    blockExpected = total;
  });
  request->startAsynchronous();
  ASSERT_TRUE(testsupport::waitUntil([&] { return request->isFinished(); }));
  testsupport::serveFor(std::chrono::milliseconds(50));
  EXPECT_EQ(std::accumulate(progress->received.begin(), progress->received.end(), qint64(0)), 300000);
  EXPECT_GT(progress->received.size(), 1u) << "progress arrives while the body does";
  EXPECT_EQ(progress->downloadSizes, std::vector<qint64>{300000});
  EXPECT_EQ(blockTotal, 300000);
  EXPECT_EQ(blockExpected, 300000);
  EXPECT_DOUBLE_EQ(progress->values.back(), 1.0);
}

TEST(ProgressTest, BlocksRunOnTheMainThreadInOrder) {
  TestHttpServer server;
  server.route("/", HttpResponse::ok("x"));
  auto request = HTTPRequest::requestWithURL(server.url("/"));
  QStringList order;
  bool allMain = true;
  auto note = [&](const char* what) {
    order << what;
    allMain = allMain && platform::isMainThread();
  };
  request->setStartedBlock([&] { note("started"); });
  request->setHeadersReceivedBlock([&](const platform::StringMap&) { note("headers"); });
  request->setCompletionBlock([&] { note("completion"); });
  request->setFailedBlock([&] { note("failed"); });
  request->startAsynchronous();
  ASSERT_TRUE(testsupport::waitUntil([&] { return order.size() == 3; }));
  EXPECT_EQ(order.join(" "), "started headers completion");
  EXPECT_TRUE(allMain);
}

TEST(CopyTest, ACopyCarriesConfigurationButNotQueueBlocksOrOtherCallbackNames) {
  auto recorder = std::make_shared<testsupport::RequestRecorder>();
  auto original = HTTPRequest::requestWithURL(QUrl("http://127.0.0.1/x"));
  original->setDelegate(recorder);
  original->setDidFinishSelector("done:");
  original->setDidReceiveDataSelector("data:");
  original->setQueue(recorder);
  original->setTimeOutSeconds(3);
  original->addRequestHeader("X-A", "1");
  original->setCompletionBlock([] {});
  auto copy = original->copy();
  EXPECT_EQ(copy->url(), original->url());
  EXPECT_EQ(copy->delegate().lock(), recorder);
  EXPECT_EQ(copy->didFinishSelector(), platform::Selector("done:"));
  EXPECT_EQ(copy->didReceiveDataSelector(), platform::Selector("request:didReceiveData:"));
  EXPECT_EQ(copy->queue(), nullptr);
  EXPECT_DOUBLE_EQ(copy->timeOutSeconds(), 3);
  EXPECT_EQ(copy->requestHeaders().value("X-A"), QStringLiteral("1"));
}

TEST(DefaultsTest, NewRequestsTakeTheClassDefaults) {
  auto request = HTTPRequest::requestWithURL(QUrl("http://127.0.0.1/"));
  EXPECT_EQ(request->defaultResponseEncoding(), http::ISOLatin1StringEncoding);
  EXPECT_EQ(request->requestMethod(), QStringLiteral("GET"));
  const double old = HTTPRequest::defaultTimeOutSeconds();
  HTTPRequest::setDefaultTimeOutSeconds(7);
  auto later = HTTPRequest::requestWithURL(QUrl("http://127.0.0.1/"));
  HTTPRequest::setDefaultTimeOutSeconds(old);
  EXPECT_DOUBLE_EQ(request->timeOutSeconds(), old);
  EXPECT_DOUBLE_EQ(later->timeOutSeconds(), 7);
}

}  // namespace
