// Redirects: method and header rules per status, the limit, confirmation by the delegate, and
// credentials that never follow a redirect to another origin.
#include "http/http_request.h"

#include "request_recorder.h"
#include "support/test_http_server.h"
#include "support/wait.h"

#include <gtest/gtest.h>

namespace {

using http::HTTPRequest;
using testsupport::HttpResponse;
using testsupport::TestHttpServer;

HttpResponse redirectTo(int status, const QByteArray& location) {
  return HttpResponse::withStatus(status, "Moved", "moved").withHeader("Location", location);
}

std::shared_ptr<HTTPRequest> postTo(const QUrl& url) {
  auto request = HTTPRequest::requestWithURL(url);
  request->setRequestMethod(QStringLiteral("POST"));
  request->appendPostData("a=1&b=2");
  request->addRequestHeader(QStringLiteral("Accept"), QStringLiteral("text/plain"));
  request->addRequestHeader(QStringLiteral("X-Custom"), QStringLiteral("kept?"));
  request->setUserAgentString(QStringLiteral("Agent/2"));
  return request;
}

TEST(RedirectTest, A302FromAPostToARelativeLocationBecomesAGetKeepingOnlyUserAgentAndAccept) {
  TestHttpServer server;
  server.route("/form", redirectTo(302, "next?x=1"));
  server.route("/next", HttpResponse::ok("landed"));
  auto recorder = std::make_shared<testsupport::RequestRecorder>();
  auto request = postTo(server.url("/form"));
  request->setDelegate(recorder);
  request->startSynchronous();
  ASSERT_EQ(request->error(), nullptr);
  EXPECT_EQ(request->responseString(), QStringLiteral("landed"));
  EXPECT_EQ(request->url(), server.url("/next?x=1"));
  EXPECT_EQ(request->originalURL(), server.url("/form"));
  ASSERT_EQ(server.requestCount(), 2);
  const auto second = server.requests()[1];
  EXPECT_EQ(second.method, "GET");
  EXPECT_EQ(second.target, "/next?x=1");
  EXPECT_TRUE(second.body.isEmpty());
  EXPECT_EQ(second.header("User-Agent"), "Agent/2");
  EXPECT_EQ(second.header("Accept"), "text/plain");
  EXPECT_FALSE(second.hasHeader("X-Custom"));
  EXPECT_FALSE(second.hasHeader("Content-Length"));
  EXPECT_EQ(recorder->events.join(" "), "started redirected headers started headers finished");
}

TEST(RedirectTest, StatusDecidesWhetherMethodAndBodySurvive) {
  struct Case {
    int status;
    bool rfc2616;
    QByteArray expectedMethod;
  };
  const Case cases[] = {{303, false, "GET"}, {303, true, "GET"}, {307, false, "POST"},
                        {301, false, "GET"}, {302, true, "POST"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.status << (c.rfc2616 ? " rfc2616" : ""));
    TestHttpServer server;
    server.route("/form", redirectTo(c.status, "/next"));
    server.route("/next", HttpResponse::ok("landed"));
    auto request = postTo(server.url("/form"));
    request->setShouldUseRFC2616RedirectBehaviour(c.rfc2616);
    request->startSynchronous();
    ASSERT_EQ(request->error(), nullptr);
    ASSERT_EQ(server.requestCount(), 2);
    const auto second = server.requests()[1];
    EXPECT_EQ(second.method, c.expectedMethod);
    if (c.expectedMethod == "POST") {
      EXPECT_EQ(second.body, "a=1&b=2");
      EXPECT_EQ(second.header("X-Custom"), "kept?");
    }
  }
}

TEST(RedirectTest, A301WithoutLocationIsTheFinalResponse) {
  TestHttpServer server;
  server.route("/", HttpResponse::withStatus(301, "Moved", "no location"));
  auto request = HTTPRequest::requestWithURL(server.url("/"));
  request->startSynchronous();
  EXPECT_EQ(request->error(), nullptr);
  EXPECT_EQ(request->responseStatusCode(), 301);
  EXPECT_EQ(server.requestCount(), 1);
}

TEST(RedirectTest, TheSixthRedirectFailsWithCodeNine) {
  TestHttpServer server;
  for (int i = 0; i < 6; ++i) {
    server.route("/r" + QByteArray::number(i), redirectTo(302, "/r" + QByteArray::number(i + 1)));
  }
  server.route("/r6", HttpResponse::ok("never"));
  auto request = HTTPRequest::requestWithURL(server.url("/r0"));
  request->startSynchronous();
  ASSERT_NE(request->error(), nullptr);
  EXPECT_EQ(request->error(), http::TooMuchRedirectionError());
  EXPECT_EQ(server.requestCount(), 6);

  // Five redirects are still followed.
  auto five = HTTPRequest::requestWithURL(server.url("/r1"));
  five->startSynchronous();
  EXPECT_EQ(five->error(), nullptr);
  EXPECT_EQ(five->responseString(), QStringLiteral("never"));
}

// A delegate that holds every redirect until the test lets it go on.
class RedirectConfirmer : public platform::Object {
  PLATFORM_OBJECT
 public:
  void willRedirect(const std::shared_ptr<HTTPRequest>& request, const QUrl& url) {
    pending = request;
    target = url;
    if (confirmAtOnce) request->redirectToURL(url);
  }
  std::shared_ptr<HTTPRequest> pending;
  QUrl target;
  bool confirmAtOnce = false;  // confirm inside the callback
};

const platform::MethodTable& RedirectConfirmer::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {
      platform::method("request:willRedirectToURL:", &RedirectConfirmer::willRedirect),
  });
  return table;
}

TEST(RedirectTest, ARedirectWaitsForTheDelegatesConfirmation) {
  TestHttpServer server;
  server.route("/old", redirectTo(301, "/new"));
  server.route("/new", HttpResponse::ok("new place"));
  server.route("/elsewhere", HttpResponse::ok("elsewhere"));
  auto confirmer = std::make_shared<RedirectConfirmer>();
  auto request = HTTPRequest::requestWithURL(server.url("/old"));
  request->setDelegate(confirmer);
  request->startAsynchronous();
  ASSERT_TRUE(testsupport::waitUntil([&] { return confirmer->pending != nullptr; }));
  EXPECT_EQ(confirmer->target, server.url("/new"));
  testsupport::serveFor(std::chrono::milliseconds(50));
  EXPECT_FALSE(request->isFinished());
  EXPECT_EQ(server.requestCount(), 1);
  request->redirectToURL(server.url("/elsewhere"));
  ASSERT_TRUE(testsupport::waitUntil([&] { return request->isFinished(); }));
  EXPECT_EQ(request->error(), nullptr);
  EXPECT_EQ(request->responseString(), QStringLiteral("elsewhere"));
}

TEST(RedirectTest, ASynchronousRequestEndsWhetherOrNotItsDelegateConfirms) {
  TestHttpServer server;
  server.route("/old", redirectTo(302, "/new"));
  server.route("/new", HttpResponse::ok("new place"));
  for (const bool confirms : {true, false}) {
    SCOPED_TRACE(confirms ? "confirmed" : "never confirmed");
    auto confirmer = std::make_shared<RedirectConfirmer>();
    confirmer->confirmAtOnce = confirms;
    auto request = HTTPRequest::requestWithURL(server.url("/old"));
    request->setDelegate(confirmer);
    request->setTimeOutSeconds(1.0);
    request->startSynchronous();
    EXPECT_TRUE(request->isFinished());
    EXPECT_EQ(confirmer->target, server.url("/new"));
    if (confirms) {
      EXPECT_EQ(request->error(), nullptr);
      EXPECT_EQ(request->responseString(), QStringLiteral("new place"));
    } else {
      ASSERT_NE(request->error(), nullptr);
      EXPECT_EQ(request->error()->code(), http::RequestTimedOutErrorType);
    }
  }
}

TEST(RedirectTest, ARedirectsOwnBodyNeverReachesTheDataBlock) {
  TestHttpServer server;
  server.route("/old", redirectTo(302, "/new"));
  server.route("/new", HttpResponse::ok("new place"));
  QByteArray received;
  auto request = HTTPRequest::requestWithURL(server.url("/old"));
  request->setDataReceivedBlock([&received](const QByteArray& data) { received += data; });
  request->startSynchronous();
  ASSERT_EQ(request->error(), nullptr);
  testsupport::serveFor(std::chrono::milliseconds(20));
  EXPECT_EQ(received, "new place");
}

TEST(RedirectTest, ALocationWithRawUtf8BytesIsEncodedOnce) {
  TestHttpServer server;
  server.route("/old", redirectTo(302, "/caf\xc3\xa9?q=\xc3\xa9"));
  server.setHandler([](const testsupport::RecordedRequest& sent) -> std::optional<HttpResponse> {
    if (sent.path() != "/old") return HttpResponse::ok(sent.target);
    return std::nullopt;
  });
  auto request = HTTPRequest::requestWithURL(server.url("/old"));
  request->startSynchronous();
  ASSERT_EQ(request->error(), nullptr);
  EXPECT_EQ(request->responseString(), QStringLiteral("/caf%C3%A9?q=%C3%A9"));
}

TEST(RedirectTest, CredentialsAndCookiesNeverFollowARedirectToAnotherOrigin) {
  TestHttpServer origin;
  TestHttpServer other;
  other.route("/landing", HttpResponse::ok("other"));
  origin.route("/go", redirectTo(307, other.url("/landing").toEncoded()));
  auto request = HTTPRequest::requestWithURL(origin.url("/go"));
  request->addRequestHeader(QStringLiteral("Authorization"), QStringLiteral("Basic c2VjcmV0"));
  request->addRequestHeader(QStringLiteral("Cookie"), QStringLiteral("session=1"));
  request->addRequestHeader(QStringLiteral("X-Trace"), QStringLiteral("7"));
  request->startSynchronous();
  ASSERT_EQ(request->error(), nullptr);
  ASSERT_EQ(origin.requestCount(), 1);
  EXPECT_EQ(origin.requests()[0].header("Authorization"), "Basic c2VjcmV0");
  ASSERT_EQ(other.requestCount(), 1);
  const auto landed = other.requests()[0];
  EXPECT_FALSE(landed.hasHeader("Authorization"));
  EXPECT_FALSE(landed.hasHeader("Cookie"));
  EXPECT_EQ(landed.header("X-Trace"), "7") << "307 keeps the other headers";
}

}  // namespace
