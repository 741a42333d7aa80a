// One table of server behaviours and how a download request must end against each: its error
// code, what the server saw, the destination, the sockets left open and the running count.
#include "http/http_request.h"

#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "support/wait.h"

#include <QFileInfo>
#include <gtest/gtest.h>

#include <functional>

namespace {

using http::HTTPRequest;
using testsupport::HttpResponse;
using testsupport::TestHttpServer;

// Bytes of the head the test server sends before `response`'s body.
qint64 headSize(const HttpResponse& response) {
  return response.wire(false).size() - response.body.size();
}

struct Ending {
  const char* behaviour;
  std::function<void(TestHttpServer&)> serve;
  std::function<void(HTTPRequest&)> setUp;  // beyond the download to a file; may be empty
  int error;                 // expected error code, 0 for success
  int requests;              // requests the server received
  int openConnections;       // connections still open at the end (a kept-alive one at most)
  QByteArray destination;    // the destination file afterwards ("previous" when untouched)
  int retries = 0;           // the request's retry count
};

const QByteArray kBody = QByteArray(30000, 'b');

std::vector<Ending> endings() {
  const auto post = [](HTTPRequest& r) {
    r.setRequestMethod(QStringLiteral("POST"));
    r.appendPostData("order=1");
  };
  const auto retryOnce = [](HTTPRequest& r) { r.setNumberOfTimesToRetryOnTimeout(1); };
  return {
      {"a plain answer", [](TestHttpServer& s) { s.route("/", HttpResponse::ok(kBody)); }, {}, 0, 1, 1, kBody},
      {"an authentication challenge",
       [](TestHttpServer& s) {
         s.route("/", HttpResponse::withStatus(401, "Unauthorized", "<h1>denied</h1>")
                          .withHeader("WWW-Authenticate", "Basic realm=\"x\""));
       },
       {}, http::AuthenticationErrorType, 1, 1, "previous"},
      {"a stall", [](TestHttpServer& s) { s.route("/", HttpResponse::ok(kBody).stallAfter(100)); }, {},
       http::RequestTimedOutErrorType, 1, 0, "previous"},
      {"a stall, then an answer on retry",
       [](TestHttpServer& s) {
         s.enqueue(HttpResponse::ok(kBody).stallAfter(100));
         s.enqueue(HttpResponse::ok(kBody));
       },
       retryOnce, 0, 2, 1, kBody, 1},
      {"a reset inside a body read to the close",
       [](TestHttpServer& s) {
         HttpResponse cut = HttpResponse::ok(kBody).untilClose();
         s.route("/", cut.cutAfter(headSize(cut) + 1000, true));
       },
       {}, http::ConnectionFailureErrorType, 1, 0, "previous"},
      {"a POST on a fresh connection closed without answer",
       [](TestHttpServer& s) { s.route("/", HttpResponse::dropConnection()); }, post,
       http::ConnectionFailureErrorType, 1, 0, "previous"},
      {"a redirect, then the answer",
       [](TestHttpServer& s) {
         s.route("/", HttpResponse::withStatus(302, "Found", "redirect page").withHeader("Location", "/final"));
         s.route("/final", HttpResponse::ok(kBody));
       },
       {}, 0, 2, 1, kBody},
  };
}

TEST(RequestEndingsTest, EachServerBehaviourEndsAsExpected) {
  for (const Ending& ending : endings()) {
    SCOPED_TRACE(ending.behaviour);
    TestHttpServer server;
    ending.serve(server);
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "file", "previous");
    auto request = HTTPRequest::requestWithURL(server.url("/"));
    request->setDownloadDestinationPath(QString::fromStdString((dir / "file").string()));
    request->setTimeOutSeconds(1.0);
    if (ending.setUp) ending.setUp(*request);
    request->startSynchronous();

    EXPECT_TRUE(request->isFinished());
    EXPECT_EQ(request->error() ? request->error()->code() : 0, ending.error)
        << (request->error() ? request->error()->toString().toStdString() : "");
    EXPECT_EQ(request->retryCount(), ending.retries);
    EXPECT_FALSE(HTTPRequest::isNetworkInUse());
    EXPECT_EQ(QByteArray::fromStdString(testsupport::readFile(dir / "file")), ending.destination);
    EXPECT_TRUE(testsupport::waitUntil([&] { return server.openConnectionCount() == ending.openConnections; },
                                       std::chrono::seconds(5)))
        << server.openConnectionCount() << " connections open";
    EXPECT_EQ(server.requestCount(), ending.requests);
    if (ending.error != 0 && ending.error != http::AuthenticationErrorType) {
      // The record of a failed connection is not offered again.
      server.route("/", HttpResponse::ok("next"));
      auto next = HTTPRequest::requestWithURL(server.url("/"));
      next->startSynchronous();
      EXPECT_EQ(next->error(), nullptr);
      EXPECT_NE(next->connectionID(), request->connectionID());
    }
    HTTPRequest::expirePersistentConnections();
  }
}

}  // namespace
