// Adding a request to a queue that already holds it is a programming error: counted twice but run
// once, it would keep the queue from ever reporting that it finished.
#include "queue/network_queue.h"

#include "platform/error.h"

#include <gtest/gtest.h>

namespace {

TEST(NetworkQueueTwiceTest, ASecondAddOfTheSameRequestIsRefused) {
  auto queue = queue::NetworkQueue::queue();
  auto request = http::HTTPRequest::requestWithURL(QUrl("http://127.0.0.1:9/a"));
  queue->addOperation(request);
  try {
    queue->addOperation(request);
    FAIL() << "no exception";
  } catch (const platform::NamedException& exception) {
    EXPECT_EQ(exception.name(), QStringLiteral("AttemptToAddRequestTwice"));
  }
  EXPECT_EQ(queue->requestsCount(), 1);
  EXPECT_EQ(queue->operationCount(), 1u);
  queue->reset();
}

}  // namespace
