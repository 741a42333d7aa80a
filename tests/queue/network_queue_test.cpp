// The request queue against the loopback server: nothing before go, overall progress in whole
// requests and in bytes, the failure cascade, the concurrency limit and the finished call.
#include "queue/network_queue.h"

#include "platform/threads.h"
#include "support/test_http_server.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using http::HTTPRequest;
using queue::NetworkQueue;
using testsupport::HttpResponse;
using testsupport::TestHttpServer;
using testsupport::waitUntil;

// The queue's delegate and progress bar in one.
class QueueWatcher : public platform::Object {
  PLATFORM_OBJECT
 public:
  void started(const std::shared_ptr<HTTPRequest>&) { ++startedCount; }
  void finished(const std::shared_ptr<HTTPRequest>&) { ++finishedCount; }
  void failed(const std::shared_ptr<HTTPRequest>& request) {
    ++failedCount;
    failedCodes.push_back(request->error() ? request->error()->code() : 0);
  }
  void queueFinished(const std::shared_ptr<NetworkQueue>&) { ++queueFinishedCount; }
  void redirect(const std::shared_ptr<HTTPRequest>&, const QUrl&) {}
  void setDoubleValue(double value) { values.push_back(value); }
  void setMaxValue(double value) { maxValues.push_back(value); }

  int startedCount = 0;
  int finishedCount = 0;
  int failedCount = 0;
  int queueFinishedCount = 0;
  std::vector<qint64> failedCodes;
  std::vector<double> values;
  std::vector<double> maxValues;
};

const platform::MethodTable& QueueWatcher::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {
      platform::method("started:", &QueueWatcher::started),
      platform::method("finished:", &QueueWatcher::finished),
      platform::method("failed:", &QueueWatcher::failed),
      platform::method("queueFinished:", &QueueWatcher::queueFinished),
      platform::method("redirect:to:", &QueueWatcher::redirect),
      platform::method("setDoubleValue:", &QueueWatcher::setDoubleValue),
      platform::method("setMaxValue:", &QueueWatcher::setMaxValue),
  });
  return table;
}

std::shared_ptr<NetworkQueue> watchedQueue(const std::shared_ptr<QueueWatcher>& watcher) {
  auto queue = NetworkQueue::queue();
  queue->setDelegate(watcher);
  queue->setRequestDidStartSelector("started:");
  queue->setRequestDidFinishSelector("finished:");
  queue->setRequestDidFailSelector("failed:");
  queue->setQueueDidFinishSelector("queueFinished:");
  return queue;
}

TEST(NetworkQueueTest, NothingRunsBeforeGoAndThreeRequestsMoveTheBarInThirds) {
  TestHttpServer server;
  server.route("/", HttpResponse::ok("x"));
  auto watcher = std::make_shared<QueueWatcher>();
  auto queue = watchedQueue(watcher);
  queue->setDownloadProgressDelegate(watcher);
  queue->setMaxConcurrentOperationCount(1);
  for (int i = 0; i < 3; ++i) queue->addOperation(HTTPRequest::requestWithURL(server.url("/")));
  EXPECT_EQ(queue->requestsCount(), 3);
  EXPECT_EQ(queue->totalBytesToDownload(), 3u);
  EXPECT_EQ(queue->totalBytesToUpload(), 3u);
  testsupport::serveFor(std::chrono::milliseconds(100));
  EXPECT_EQ(server.requestCount(), 0);
  watcher->values.clear();
  queue->go();
  ASSERT_TRUE(waitUntil([&] { return watcher->queueFinishedCount == 1; }));
  EXPECT_EQ(watcher->finishedCount, 3);
  EXPECT_EQ(watcher->startedCount, 3);
  // Each request's own indicator reset shows as 0 here too; the queue's values step in thirds.
  std::vector<double> steps;
  for (double v : watcher->values) {
    if (v > 0) steps.push_back(v);
  }
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_DOUBLE_EQ(steps[0], 1.0 / 3);
  EXPECT_DOUBLE_EQ(steps[1], 2.0 / 3);
  EXPECT_DOUBLE_EQ(steps[2], 1.0);
}

TEST(NetworkQueueTest, WithoutTheCascadeAFailureLeavesTheOthersRunning) {
  TestHttpServer server;
  server.route("/ok", HttpResponse::ok("fine").after(std::chrono::milliseconds(100)));
  server.route("/drop", HttpResponse::dropConnection());
  auto watcher = std::make_shared<QueueWatcher>();
  auto queue = watchedQueue(watcher);
  queue->setShouldCancelAllRequestsOnFailure(false);
  queue->addOperation(HTTPRequest::requestWithURL(server.url("/drop")));
  for (int i = 0; i < 3; ++i) queue->addOperation(HTTPRequest::requestWithURL(server.url("/ok")));
  queue->go();
  ASSERT_TRUE(waitUntil([&] { return watcher->queueFinishedCount > 0; }));
  testsupport::serveFor(std::chrono::milliseconds(50));
  EXPECT_EQ(watcher->failedCount, 1);
  EXPECT_EQ(watcher->finishedCount, 3);
  EXPECT_EQ(watcher->queueFinishedCount, 1);
  EXPECT_EQ(queue->requestsCount(), 0);
}

TEST(NetworkQueueTest, WithTheCascadeEveryOtherFailureIsForwardedOnceAndTheQueueFinishesOnce) {
  TestHttpServer server;
  server.route("/slow", HttpResponse::ok("late").after(std::chrono::seconds(3)));
  server.route("/drop", HttpResponse::dropConnection());
  auto watcher = std::make_shared<QueueWatcher>();
  auto queue = watchedQueue(watcher);
  for (int i = 0; i < 3; ++i) queue->addOperation(HTTPRequest::requestWithURL(server.url("/slow")));
  queue->addOperation(HTTPRequest::requestWithURL(server.url("/drop")));
  for (int i = 0; i < 3; ++i) queue->addOperation(HTTPRequest::requestWithURL(server.url("/slow")));
  queue->go();
  ASSERT_TRUE(waitUntil([&] { return watcher->queueFinishedCount > 0; }));
  testsupport::serveFor(std::chrono::milliseconds(100));
  EXPECT_EQ(watcher->failedCount, 7);
  EXPECT_EQ(watcher->finishedCount, 0);
  EXPECT_EQ(watcher->queueFinishedCount, 1);
  EXPECT_EQ(std::count(watcher->failedCodes.begin(), watcher->failedCodes.end(), http::RequestCancelledErrorType), 6);
}

TEST(NetworkQueueTest, AccurateProgressMeasuresGetRequestsWithHeadRequestsFirst) {
  TestHttpServer server;
  server.route("/a", HttpResponse::ok(QByteArray(1000, 'a')));
  server.route("/b", HttpResponse::ok(QByteArray(3000, 'b')));
  auto watcher = std::make_shared<QueueWatcher>();
  auto queue = watchedQueue(watcher);
  queue->setShowAccurateProgress(true);
  queue->setDownloadProgressDelegate(watcher);
  queue->setMaxConcurrentOperationCount(1);
  queue->addOperation(HTTPRequest::requestWithURL(server.url("/a")));
  queue->addOperation(HTTPRequest::requestWithURL(server.url("/b")));
  EXPECT_EQ(queue->requestsCount(), 2) << "HEAD requests are not counted";
  queue->go();
  ASSERT_TRUE(waitUntil([&] { return watcher->queueFinishedCount == 1; }));
  const auto sent = server.requests();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].method, "HEAD");
  EXPECT_EQ(sent[1].method, "HEAD");
  EXPECT_EQ(sent[2].method, "GET");
  EXPECT_EQ(queue->totalBytesToDownload(), 4000u);
  EXPECT_EQ(queue->bytesDownloadedSoFar(), 4000u);
  EXPECT_EQ(watcher->startedCount, 2) << "HEAD requests report no start";
  EXPECT_DOUBLE_EQ(watcher->values.back(), 1.0);
}

TEST(NetworkQueueTest, ThreeHundredRequestsWithALimitOfEightNeverRunMoreThanEight) {
  TestHttpServer server;
  server.route("/", HttpResponse::ok("x").after(std::chrono::milliseconds(2)));
  auto watcher = std::make_shared<QueueWatcher>();
  auto queue = watchedQueue(watcher);
  queue->setShouldCancelAllRequestsOnFailure(false);
  queue->setMaxConcurrentOperationCount(8);
  std::atomic<int> executing{0};
  std::atomic<int> peak{0};
  for (int i = 0; i < 300; ++i) {
    auto request = HTTPRequest::requestWithURL(server.url("/"));
    request->addObserver([&](platform::Operation& op, std::string_view key, bool prior) {
      if (prior || key != "isExecuting") return;
      if (op.isExecuting()) {
        const int now = ++executing;
        int seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {}
      } else {
        --executing;
      }
    });
    queue->addOperation(request);
  }
  queue->go();
  ASSERT_TRUE(waitUntil([&] { return watcher->queueFinishedCount == 1; }, std::chrono::seconds(120)));
  EXPECT_EQ(watcher->finishedCount, 300);
  EXPECT_LE(peak.load(), 8);
  EXPECT_GE(peak.load(), 2);
}

TEST(NetworkQueueTest, AnEmptyQueueNeverCallsQueueFinished) {
  auto watcher = std::make_shared<QueueWatcher>();
  auto queue = watchedQueue(watcher);
  queue->go();
  testsupport::serveFor(std::chrono::milliseconds(100));
  EXPECT_EQ(watcher->queueFinishedCount, 0);
}

TEST(NetworkQueueTest, OnlyRequestsMayBeAdded) {
  auto queue = NetworkQueue::queue();
  auto notARequest = std::make_shared<platform::Operation>();
  try {
    queue->addOperation(notARequest);
    FAIL() << "no exception";
  } catch (const platform::NamedException& exception) {
    EXPECT_EQ(exception.name(), QStringLiteral("AttemptToAddInvalidRequest"));
    EXPECT_EQ(exception.reason(),
              QStringLiteral("Attempted to add an object that was not an HTTPRequest to a NetworkQueue"));
  }
  EXPECT_EQ(queue->requestsCount(), 0);
  EXPECT_EQ(queue->operationCount(), 0u);
  queue->addHEADOperation(notARequest);  // ignored without a word
  EXPECT_EQ(queue->operationCount(), 0u);
}

TEST(NetworkQueueTest, ResetKeepsTheRedirectNameAndTheQueueAnswersForItsDelegate) {
  auto watcher = std::make_shared<QueueWatcher>();
  auto queue = watchedQueue(watcher);
  queue->setRequestWillRedirectSelector("redirect:to:");
  EXPECT_TRUE(queue->respondsToSelector("request:willRedirectToURL:"));
  EXPECT_FALSE(queue->respondsToSelector("authenticationNeededForRequest:"));
  queue->go();
  queue->reset();
  EXPECT_TRUE(queue->isSuspended());
  EXPECT_TRUE(queue->requestDidFinishSelector().isNull());
  EXPECT_EQ(queue->requestWillRedirectSelector(), platform::Selector("redirect:to:"));
  EXPECT_FALSE(queue->respondsToSelector("request:willRedirectToURL:")) << "no delegate any more";
  queue->setDelegate(watcher);
  EXPECT_TRUE(queue->respondsToSelector("request:willRedirectToURL:"));
}

TEST(NetworkQueueTest, ACopyResetsItsIndicatorsAndCarriesSettingsButNoRequests) {
  auto watcher = std::make_shared<QueueWatcher>();
  auto queue = watchedQueue(watcher);
  queue->setShouldCancelAllRequestsOnFailure(false);
  queue->setMaxConcurrentOperationCount(2);
  queue->setDownloadProgressDelegate(watcher);
  queue->addOperation(HTTPRequest::requestWithURL(QUrl("http://127.0.0.1:9/")));
  watcher->values.clear();
  watcher->maxValues.clear();
  auto copy = queue->copy();
  EXPECT_EQ(watcher->values, std::vector<double>{0.0});
  EXPECT_EQ(watcher->maxValues, std::vector<double>{1.0});
  EXPECT_FALSE(copy->shouldCancelAllRequestsOnFailure());
  EXPECT_EQ(copy->maxConcurrentOperationCount(), 4);
  EXPECT_EQ(copy->requestsCount(), 0);
  EXPECT_EQ(copy->operationCount(), 0u);
  EXPECT_TRUE(copy->isSuspended());
  EXPECT_EQ(copy->queueDidFinishSelector(), platform::Selector("queueFinished:"));
  // Let the cancelled request end, so that it lets go of its queue.
  queue->reset();
  queue->go();
  ASSERT_TRUE(waitUntil([&] { return queue->operationCount() == 0; }));
}

}  // namespace

namespace {

// How each kind of ending moves a queue's bar: whatever happened to its requests, a queue whose
// requests all ended stands at exactly its full value.
TEST(NetworkQueueProgressTest, EveryKindOfEndingBringsTheBarToItsFullValue) {
  TestHttpServer server;
  const QByteArray body(40000, 'p');
  server.route("/ok", HttpResponse::ok(body));
  server.route("/fails", HttpResponse::dropConnection());
  server.route("/moved", HttpResponse::withStatus(302, "Found", "moved page").withHeader("Location", "/ok"));
  server.route("/304", HttpResponse::withStatus(304, "Not Modified").noLength().withHeader("Content-Length", "5000"));
  server.route("/huge", HttpResponse::withStatus(204, "No Content").noLength()
                            .withHeader("Content-Length", "9223372036854775808"));
  int stalls = 0;
  server.setHandler([&](const testsupport::RecordedRequest& sent) -> std::optional<HttpResponse> {
    if (sent.path() != "/retried") return std::nullopt;
    // The first answer stalls half-way; the retry gets all of it. A HEAD is not stalled: with no
    // body, its stall would only keep its connection silent for the next request sent on it.
    if (sent.method == "HEAD") return HttpResponse::ok(body);
    return stalls++ == 0 ? HttpResponse::ok(body).stallAfter(20000) : HttpResponse::ok(body);
  });
  for (const bool accurate : {true, false}) {
    SCOPED_TRACE(accurate ? "bytes" : "whole requests");
    stalls = 0;
    auto watcher = std::make_shared<QueueWatcher>();
    auto queue = watchedQueue(watcher);
    queue->setShouldCancelAllRequestsOnFailure(false);
    queue->setShowAccurateProgress(accurate);
    queue->setDownloadProgressDelegate(watcher);
    queue->setUploadProgressDelegate(watcher);
    for (const char* path : {"/ok", "/fails", "/moved", "/304", "/huge", "/retried"}) {
      auto request = HTTPRequest::requestWithURL(server.url(QString::fromLatin1(path)));
      request->setTimeOutSeconds(1.0);
      request->setNumberOfTimesToRetryOnTimeout(1);
      queue->addOperation(request);
    }
    auto head = HTTPRequest::requestWithURL(server.url("/ok"));
    head->setRequestMethod(QStringLiteral("HEAD"));
    queue->addOperation(head);
    queue->go();
    ASSERT_TRUE(waitUntil([&] { return watcher->queueFinishedCount == 1; }));
    testsupport::serveFor(std::chrono::milliseconds(50));
    EXPECT_EQ(watcher->failedCount, 1);
    EXPECT_GT(queue->totalBytesToDownload(), 0u);
    EXPECT_EQ(queue->bytesDownloadedSoFar(), queue->totalBytesToDownload());
    EXPECT_EQ(queue->bytesUploadedSoFar(), queue->totalBytesToUpload());
    ASSERT_FALSE(watcher->values.empty());
    EXPECT_DOUBLE_EQ(watcher->values.back(), 1.0);
  }
}

}  // namespace
