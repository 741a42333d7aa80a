// Credentials stay with the origin they were given for: after a redirect to another origin
// (scheme, host, port) neither a Basic header sent before a challenge nor the request's own
// credentials in answer to a challenge reach the new origin.
#include "http/http_request.h"
#include "support/test_http_server.h"

#include <gtest/gtest.h>

namespace {

using http::HTTPRequest;
using testsupport::HttpResponse;
using testsupport::TestHttpServer;

TEST(RedirectCredentialsTest, CredentialsNeverFollowARedirectToAnotherOrigin) {
  for (int status : {302, 307}) {
    for (bool preemptive : {true, false}) {
      SCOPED_TRACE(testing::Message() << status << (preemptive ? " preemptive" : " on challenge"));
      HTTPRequest::clearSessionCredentials();
      TestHttpServer first;
      TestHttpServer other;
      other.route("/target", HttpResponse::withStatus(401, "Unauthorized")
                                 .withHeader("WWW-Authenticate", "Basic realm=\"other\""));
      first.setHandler([&](const testsupport::RecordedRequest& sent) -> std::optional<HttpResponse> {
        if (!preemptive && !sent.hasHeader("Authorization")) {
          return HttpResponse::withStatus(401, "Unauthorized").withHeader("WWW-Authenticate", "Basic realm=\"first\"");
        }
        return HttpResponse::withStatus(status, "Moved").withHeader("Location", other.url("/target").toEncoded());
      });
      auto request = HTTPRequest::requestWithURL(first.url("/start"));
      request->setUsername("alice");
      request->setPassword("wonderland");
      if (preemptive) request->setAuthenticationScheme("Basic");
      request->startSynchronous();
      ASSERT_NE(request->error(), nullptr) << "nobody may answer the other origin's challenge";
      EXPECT_EQ(request->error()->code(), 3);
      EXPECT_TRUE(first.requests().back().hasHeader("Authorization")) << "the first origin got them";
      ASSERT_GE(other.requestCount(), 1);
      for (const auto& sent : other.requests()) EXPECT_FALSE(sent.hasHeader("Authorization")) << sent.header("Authorization").constData() << " #" << sent.indexOnConnection;
    }
  }
}

}  // namespace
