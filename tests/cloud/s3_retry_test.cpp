// A store that answers "RequestTimeout": the request is sent again once on a new connection
// (signed afresh) and finishes once; a second such answer fails the request with its message.
#include "cloud/s3/s3_bucket_request.h"
#include "support/test_http_server.h"

#include <gtest/gtest.h>

namespace {

using namespace cloud::s3;
using testsupport::HttpResponse;

HttpResponse timeoutAnswer() {
  return HttpResponse::withStatus(400, "Bad Request",
                                  "<Error><Code>RequestTimeout</Code><Message>Your socket connection to the "
                                  "server was not read from or written to within the timeout period."
                                  "</Message></Error>")
      .withHeader("Content-Type", "application/xml");
}

HttpResponse listingAnswer() {
  return HttpResponse::ok("<ListBucketResult><Contents><Key>k</Key><Size>3</Size></Contents></ListBucketResult>")
      .withHeader("Content-Type", "application/xml");
}

class S3RetryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    S3Request::setS3Host(QStringLiteral("127.0.0.1:%1").arg(server_.port()));
    S3Request::setUsesPathStyleAddressing(true);
    S3Request::setSharedAccessKey(QStringLiteral("AKID"));
    S3Request::setSharedSecretAccessKey(QStringLiteral("secret"));
  }
  void TearDown() override { S3Request::setUsesPathStyleAddressing(false); }
  testsupport::TestHttpServer server_;
};

TEST_F(S3RetryTest, RequestTimeoutIsRetriedOnceOnANewConnection) {
  server_.enqueue(timeoutAnswer());
  server_.enqueue(listingAnswer());
  auto request = S3BucketRequest::requestWithBucket(QStringLiteral("b"));
  int finished = 0, failed = 0;
  request->setCompletionBlock([&] { ++finished; });
  request->setFailedBlock([&] { ++failed; });
  request->startSynchronous();
  EXPECT_EQ(request->error(), nullptr);
  ASSERT_EQ(request->objects().size(), 1);
  EXPECT_EQ(request->objects()[0]->key, QStringLiteral("k"));
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(failed, 0);
  EXPECT_TRUE(request->isFinished());
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].connection, requests[1].connection);
  for (const auto& sent : requests) {
    EXPECT_EQ(sent.path(), QByteArray("/b/"));
    EXPECT_TRUE(sent.header("Authorization").startsWith("AWS AKID:"));
  }
}

TEST_F(S3RetryTest, ASecondRequestTimeoutFailsWithTheMessage) {
  server_.enqueue(timeoutAnswer());
  server_.enqueue(timeoutAnswer());
  server_.enqueue(listingAnswer());
  auto request = S3BucketRequest::requestWithBucket(QStringLiteral("b"));
  int finished = 0, failed = 0;
  request->setCompletionBlock([&] { ++finished; });
  request->setFailedBlock([&] { ++failed; });
  request->startSynchronous();
  ASSERT_TRUE(request->error());
  EXPECT_EQ(request->error()->code(), 2);
  EXPECT_TRUE(request->error()->localizedDescription().startsWith(QStringLiteral("Your socket connection")));
  EXPECT_EQ(finished, 0);
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(server_.requestCount(), 2);
}

}  // namespace
