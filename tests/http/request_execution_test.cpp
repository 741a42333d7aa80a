// Running requests against the loopback server: bytes in memory, automatic headers, connection
// reuse through the pool, the shared queue's limit and the synchronous private mode.
#include "http/http_request.h"

#include "platform/operation_queue.h"
#include "platform/threads.h"
#include "request_recorder.h"
#include "support/test_http_server.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

namespace {

using http::HTTPRequest;
using testsupport::HttpResponse;
using testsupport::TestHttpServer;
using testsupport::waitUntil;

TEST(RequestExecutionTest, AnAsynchronousGetReceivesItsBodyInMemoryWithCallbacksOnTheMainThread) {
  TestHttpServer server;
  server.route("/hello", HttpResponse::ok("hello world").withHeader("content-type", "text/plain; charset=utf-8"));
  auto recorder = std::make_shared<testsupport::RequestRecorder>();
  auto request = HTTPRequest::requestWithURL(server.url("/hello"));
  request->setDelegate(recorder);
  request->startAsynchronous();
  ASSERT_TRUE(waitUntil([&] { return request->isFinished(); }));
  ASSERT_TRUE(waitUntil([&] { return recorder->finishedCount == 1; }));
  EXPECT_EQ(request->error(), nullptr);
  EXPECT_EQ(request->responseStatusCode(), 200);
  EXPECT_EQ(request->responseString(), QStringLiteral("hello world"));
  EXPECT_EQ(request->responseEncoding(), http::UTF8StringEncoding);
  EXPECT_EQ(recorder->events, (QStringList{"started", "headers", "finished"}));
  EXPECT_TRUE(recorder->allOnMainThread);
  EXPECT_EQ(recorder->lastHeaders.value("Content-Type"), QStringLiteral("text/plain; charset=utf-8"))
      << "header names reach callbacks in their usual spelling";
}

TEST(RequestExecutionTest, AutomaticHeadersAreSent) {
  TestHttpServer server;
  server.route("/", HttpResponse::ok("x"));
  auto request = HTTPRequest::requestWithURL(server.url("/"));
  request->setUserAgentString(QStringLiteral("TestAgent/1"));
  request->startSynchronous();
  ASSERT_EQ(request->error(), nullptr);
  ASSERT_EQ(server.requestCount(), 1);
  const auto sent = server.requests().front();
  EXPECT_EQ(sent.method, "GET");
  EXPECT_EQ(sent.header("User-Agent"), "TestAgent/1");
  EXPECT_EQ(sent.header("Accept-Encoding"), "gzip");
  EXPECT_EQ(sent.header("Host"), QByteArray("127.0.0.1:") + QByteArray::number(server.port()));
}

}  // namespace

namespace {

using http::HTTPRequest;
using testsupport::HttpResponse;
using testsupport::TestHttpServer;
using testsupport::waitUntil;

std::shared_ptr<HTTPRequest> runSynchronously(const QUrl& url) {
  auto request = HTTPRequest::requestWithURL(url);
  request->startSynchronous();
  return request;
}

TEST(ConnectionReuseTest, SequentialRequestsToOneHostShareOneConnection) {
  TestHttpServer server;
  server.route("/a", HttpResponse::ok("first"));
  server.route("/b", HttpResponse::ok("second"));
  auto first = runSynchronously(server.url("/a"));
  auto second = runSynchronously(server.url("/b"));
  ASSERT_EQ(first->error(), nullptr);
  ASSERT_EQ(second->error(), nullptr);
  EXPECT_EQ(second->responseString(), QStringLiteral("second"));
  EXPECT_EQ(server.connectionCount(), 1);
  ASSERT_TRUE(first->connectionID().has_value());
  EXPECT_EQ(first->connectionID(), second->connectionID());
}

TEST(ConnectionReuseTest, AUrlWithoutHostNeverUsesThePool) {
  auto request = HTTPRequest::requestWithURL(QUrl(QStringLiteral("/just/a/path")));
  request->startSynchronous();
  ASSERT_NE(request->error(), nullptr);
  EXPECT_EQ(request->error()->code(), http::UnableToCreateRequestErrorType);
  EXPECT_FALSE(request->connectionID().has_value());
}

TEST(ConnectionReuseTest, OfTwoIdleRecordsForAHostTheLaterOneIsReused) {
  TestHttpServer server;
  server.route("/slow", HttpResponse::ok("slow").after(std::chrono::milliseconds(200)));
  server.route("/fast", HttpResponse::ok("fast"));
  // Two requests at once need two connections, hence two records.
  auto a = HTTPRequest::requestWithURL(server.url("/slow"));
  auto b = HTTPRequest::requestWithURL(server.url("/slow"));
  a->startAsynchronous();
  b->startAsynchronous();
  ASSERT_TRUE(waitUntil([&] { return a->isFinished() && b->isFinished(); }));
  ASSERT_TRUE(a->connectionID() && b->connectionID());
  ASSERT_NE(*a->connectionID(), *b->connectionID());
  const int later = std::max(*a->connectionID(), *b->connectionID());
  auto c = runSynchronously(server.url("/fast"));
  ASSERT_EQ(c->error(), nullptr);
  EXPECT_EQ(c->connectionID(), later);
  EXPECT_EQ(server.connectionCount(), 2);
}

TEST(ConnectionReuseTest, AnExpiredRecordIsClosedAndRemovedBeforeTheNextRequest) {
  TestHttpServer server;
  server.route("/", HttpResponse::ok("x").withHeader("Keep-Alive", "timeout=0, max=100"));
  auto first = runSynchronously(server.url("/"));
  ASSERT_EQ(first->error(), nullptr);
  const int expiredId = *first->connectionID();
  auto second = runSynchronously(server.url("/"));
  ASSERT_EQ(second->error(), nullptr);
  EXPECT_NE(second->connectionID(), expiredId);
  EXPECT_EQ(server.connectionCount(), 2);
  EXPECT_TRUE(server.waitForRequests(2));
}

TEST(FailureTest, ADroppedKeptAliveConnectionIsRetriedOnceSilently) {
  TestHttpServer server;
  server.enqueue(HttpResponse::ok("warm-up"));
  server.enqueue(HttpResponse::dropConnection());
  server.enqueue(HttpResponse::ok("after retry"));
  ASSERT_EQ(runSynchronously(server.url("/"))->error(), nullptr);
  auto recorder = std::make_shared<testsupport::RequestRecorder>();
  auto request = HTTPRequest::requestWithURL(server.url("/"));
  request->setDelegate(recorder);
  request->startSynchronous();
  EXPECT_EQ(request->error(), nullptr);
  EXPECT_EQ(request->responseString(), QStringLiteral("after retry"));
  EXPECT_EQ(request->retryCount(), 1);
  EXPECT_EQ(recorder->failedCount, 0);
  EXPECT_EQ(server.requestCount(), 3);
}

TEST(FailureTest, ASecondDropFailsWithAConnectionFailureReportedOnce) {
  TestHttpServer server;
  server.enqueue(HttpResponse::ok("warm-up"));
  server.enqueue(HttpResponse::dropConnection());
  server.enqueue(HttpResponse::dropConnection());
  ASSERT_EQ(runSynchronously(server.url("/"))->error(), nullptr);
  auto recorder = std::make_shared<testsupport::RequestRecorder>();
  auto request = HTTPRequest::requestWithURL(server.url("/"));
  request->setDelegate(recorder);
  request->startSynchronous();
  ASSERT_NE(request->error(), nullptr);
  EXPECT_EQ(request->error()->domain(), http::NetworkRequestErrorDomain);
  EXPECT_EQ(request->error()->code(), http::ConnectionFailureErrorType);
  EXPECT_EQ(request->error()->localizedDescription(), QStringLiteral("A connection failure occurred"));
  EXPECT_NE(request->error()->underlyingError(), nullptr);
  EXPECT_EQ(recorder->failedCount, 1);
  testsupport::serveFor(std::chrono::milliseconds(50));
  EXPECT_EQ(recorder->failedCount, 1);
  EXPECT_EQ(recorder->finishedCount, 0);
}

TEST(FailureTest, AStalledResponseTimesOutWithTheSharedError) {
  TestHttpServer server;
  server.route("/stall", HttpResponse::ok("late").after(std::chrono::seconds(3)));
  auto first = HTTPRequest::requestWithURL(server.url("/stall"));
  first->setTimeOutSeconds(0.3);
  first->startSynchronous();
  auto second = HTTPRequest::requestWithURL(server.url("/stall"));
  second->setTimeOutSeconds(0.3);
  second->startSynchronous();
  ASSERT_NE(first->error(), nullptr);
  EXPECT_EQ(first->error()->code(), http::RequestTimedOutErrorType);
  EXPECT_EQ(first->error()->localizedDescription(), QStringLiteral("The request timed out"));
  EXPECT_EQ(first->error(), second->error()) << "time-outs share one error object";
  EXPECT_TRUE(first->isFinished());
}

TEST(FailureTest, EveryStalledRequestOfABurstTimesOut) {
  // Their status checks share one timer per thread: each request is still checked, also one
  // that starts while the others' checks are running; one that is answered is not disturbed.
  TestHttpServer server;
  server.route("/stall", HttpResponse::ok("late").after(std::chrono::seconds(3)));
  server.route("/quick", HttpResponse::ok("quick"));
  std::vector<std::shared_ptr<HTTPRequest>> requests;
  const auto startOne = [&](const char* path) {
    auto request = HTTPRequest::requestWithURL(server.url(path));
    // The answered one gets time to spare on a loaded machine.
    request->setTimeOutSeconds(QByteArray(path) == "/quick" ? 10.0 : 0.3);
    request->startAsynchronous();
    requests.push_back(request);
  };
  for (int i = 0; i < 3; ++i) startOne("/stall");
  startOne("/quick");
  testsupport::serveFor(std::chrono::milliseconds(150));
  startOne("/stall");
  ASSERT_TRUE(testsupport::waitUntil([&] {
    return std::all_of(requests.begin(), requests.end(), [](const auto& r) { return r->isFinished(); });
  }, std::chrono::seconds(10)));
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (i == 3) {
      EXPECT_EQ(requests[i]->error(), nullptr);
      EXPECT_EQ(requests[i]->responseString(), QStringLiteral("quick"));
      continue;
    }
    ASSERT_NE(requests[i]->error(), nullptr) << i;
    EXPECT_EQ(requests[i]->error()->code(), http::RequestTimedOutErrorType) << i;
  }
}

TEST(FailureTest, ATimedOutRequestIsRetriedWhenAllowed) {
  TestHttpServer server;
  server.enqueue(HttpResponse::ok("late").after(std::chrono::seconds(3)));
  server.enqueue(HttpResponse::ok("in time"));
  auto request = HTTPRequest::requestWithURL(server.url("/"));
  request->setTimeOutSeconds(0.3);
  request->setNumberOfTimesToRetryOnTimeout(1);
  request->startSynchronous();
  EXPECT_EQ(request->error(), nullptr);
  EXPECT_EQ(request->responseString(), QStringLiteral("in time"));
  EXPECT_EQ(request->retryCount(), 1);
}

TEST(FailureTest, CancellingFromAnotherThreadFailsWithCodeFourOnce) {
  TestHttpServer server;
  server.route("/stall", HttpResponse::ok("late").after(std::chrono::seconds(3)));
  auto recorder = std::make_shared<testsupport::RequestRecorder>();
  auto request = HTTPRequest::requestWithURL(server.url("/stall"));
  request->setDelegate(recorder);
  request->startAsynchronous();
  ASSERT_TRUE(server.waitForRequests(1));
  std::thread([request] { request->cancel(); request->cancel(); }).join();
  ASSERT_TRUE(waitUntil([&] { return request->isFinished() && recorder->failedCount > 0; }));
  testsupport::serveFor(std::chrono::milliseconds(50));
  EXPECT_EQ(recorder->failedCount, 1);
  EXPECT_EQ(request->error(), http::RequestCancelledError());
  EXPECT_TRUE(request->isCancelled());
  EXPECT_TRUE(recorder->allOnMainThread);
}

TEST(ExecutionTest, ASynchronousRequestOnTheMainThreadRunsNoOtherQueuedMainThreadWork) {
  TestHttpServer server;
  server.route("/", HttpResponse::ok("x").after(std::chrono::milliseconds(50)));
  bool otherWorkRan = false;
  platform::performOnMainThread([&] { otherWorkRan = true; }, false);
  auto request = runSynchronously(server.url("/"));
  EXPECT_EQ(request->error(), nullptr);
  EXPECT_FALSE(otherWorkRan);
  EXPECT_TRUE(waitUntil([&] { return otherWorkRan; }));
}

TEST(ExecutionTest, ASynchronousRequestOnTheNetworkThreadFailsAtOnceInsteadOfWaitingForEver) {
  // The network thread serves every connection: it must never wait there for a response.
  TestHttpServer server;
  server.route("/", HttpResponse::ok("x"));
  auto request = HTTPRequest::requestWithURL(server.url("/"));
  std::atomic<bool> returned{false};
  platform::performOnNetworkThread([&] {
    request->startSynchronous();
    returned = true;
  });
  ASSERT_TRUE(waitUntil([&] { return returned.load(); }));
  ASSERT_NE(request->error(), nullptr);
  EXPECT_EQ(request->error()->code(), http::InternalErrorWhileBuildingRequestType);
  EXPECT_TRUE(request->isFinished());
}

TEST(ExecutionTest, TheSharedQueueRunsAtMostFourRequestsAtOnce) {
  TestHttpServer server;
  server.route("/", HttpResponse::ok("x").after(std::chrono::milliseconds(5)));
  std::atomic<int> executing{0};
  std::atomic<int> peak{0};
  std::vector<std::shared_ptr<HTTPRequest>> requests;
  for (int i = 0; i < 100; ++i) {
    auto request = HTTPRequest::requestWithURL(server.url("/"));
    request->addObserver([&](platform::Operation& op, std::string_view key, bool prior) {
      if (prior || key != "isExecuting") return;
      if (op.isExecuting()) {
        int now = ++executing;
        int seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {}
      } else {
        --executing;
      }
    });
    requests.push_back(request);
    request->startAsynchronous();
  }
  ASSERT_TRUE(waitUntil([&] {
    return std::all_of(requests.begin(), requests.end(), [](auto& r) { return r->isFinished(); });
  }, std::chrono::seconds(60)));
  for (auto& request : requests) EXPECT_EQ(request->error(), nullptr);
  EXPECT_LE(peak.load(), 4);
  EXPECT_GE(peak.load(), 2);
}

}  // namespace

namespace {

TEST(FailureTest, AConnectionClosedWithoutAnswerFailsPromptly) {
  testsupport::TestHttpServer server;
  server.route("/drop", testsupport::HttpResponse::dropConnection());
  auto request = http::HTTPRequest::requestWithURL(server.url("/drop"));
  request->setTimeOutSeconds(5);
  request->startSynchronous();
  ASSERT_NE(request->error(), nullptr);
  EXPECT_EQ(request->error()->code(), http::ConnectionFailureErrorType) << "not a time-out";
  EXPECT_EQ(request->retryCount(), 0) << "a fresh connection is not retried";
  EXPECT_EQ(server.requestCount(), 1);
}

}  // namespace

namespace {

TEST(ConnectionReuseTest, AnIdleConnectionTheServerClosedIsCheckedAndNotReused) {
  testsupport::TestHttpServer server;
  server.route("/", testsupport::HttpResponse::ok("x"));
  auto first = runSynchronously(server.url("/"));
  ASSERT_EQ(first->error(), nullptr);
  server.closeIdleConnections();
  ASSERT_TRUE(server.waitForNoOpenConnections());
  auto second = runSynchronously(server.url("/"));
  ASSERT_EQ(second->error(), nullptr);
  EXPECT_EQ(second->retryCount(), 0) << "the dead connection was never written to";
  EXPECT_EQ(server.connectionCount(), 2);
  EXPECT_EQ(server.requestCount(), 2);
}

TEST(FailureTest, BodyBytesKeepASlowTransferAlive) {
  testsupport::TestHttpServer server;
  // Ten pieces a fifth of a second apart: the whole transfer takes longer than the time-out,
  // no gap does.
  server.route("/slow", testsupport::HttpResponse::ok(QByteArray(2000, 's'))
                            .slowly(200, std::chrono::milliseconds(200)));
  auto request = http::HTTPRequest::requestWithURL(server.url("/slow"));
  request->setTimeOutSeconds(1.0);
  request->startSynchronous();
  EXPECT_EQ(request->error(), nullptr);
  EXPECT_EQ(request->responseData().size(), 2000);
  EXPECT_EQ(request->retryCount(), 0);
}

}  // namespace
