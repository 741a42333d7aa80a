// Crossing threads: running on the main thread with and without waiting, the one network thread,
// and recipients that are gone before a queued call runs.
#include "platform/threads.h"

#include "platform/run_loop.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

using testsupport::waitUntil;

TEST(ThreadsTest, MainThreadIsTheApplicationThread) {
  EXPECT_TRUE(platform::isMainThread());
  bool onMain = true;
  std::thread([&] { onMain = platform::isMainThread(); }).join();
  EXPECT_FALSE(onMain);
}

TEST(ThreadsTest, WaitingOnTheMainThreadRunsAtOnceAndNotWaitingQueues) {
  int ran = 0;
  platform::performOnMainThread([&] { ran = 1; }, true);
  EXPECT_EQ(ran, 1);

  platform::performOnMainThread([&] { ran = 2; }, false);
  EXPECT_EQ(ran, 1) << "a call without waiting runs only when the loop serves it";
  ASSERT_TRUE(waitUntil([&] { return ran == 2; }));
}

TEST(ThreadsTest, FromAnotherThreadWaitingBlocksUntilDoneAndNotWaitingReturnsAtOnce) {
  std::atomic<int> order{0};
  std::atomic<bool> ranOnMain{false};
  std::atomic<int> seenAfterWait{-1};
  std::atomic<bool> threadDone{false};
  std::thread worker([&] {
    platform::performOnMainThread([&] {
      ranOnMain = platform::isMainThread();
      order = 1;
    }, true);
    seenAfterWait = order.load();
    // Without waiting: the call returns whether or not the main thread has run it yet.
    platform::performOnMainThread([&] { order = 2; }, false);
    threadDone = true;
  });
  ASSERT_TRUE(waitUntil([&] { return threadDone.load(); }));
  worker.join();
  EXPECT_TRUE(ranOnMain);
  EXPECT_EQ(seenAfterWait, 1);
  EXPECT_TRUE(waitUntil([&] { return order == 2; }));
}

TEST(ThreadsTest, PostedCallsRunInPostingOrder) {
  std::vector<int> seen;
  for (int i = 0; i < 50; ++i) platform::performOnMainThread([&seen, i] { seen.push_back(i); }, false);
  ASSERT_TRUE(waitUntil([&] { return seen.size() == 50; }));
  for (int i = 0; i < 50; ++i) EXPECT_EQ(seen[i], i);
}

TEST(ThreadsTest, OneNetworkThreadServesWorkQueuedFromAnyThread) {
  QThread* network = platform::networkThread();
  ASSERT_NE(network, nullptr);
  EXPECT_NE(network, QCoreApplication::instance()->thread());
  QThread* fromOtherThread = nullptr;
  std::thread([&] { fromOtherThread = platform::networkThread(); }).join();
  EXPECT_EQ(fromOtherThread, network);

  std::atomic<bool> onNetwork{false};
  std::atomic<bool> done{false};
  platform::performOnNetworkThread([&] {
    onNetwork = platform::isNetworkThread() && QThread::currentThread() == network;
    done = true;
  });
  ASSERT_TRUE(waitUntil([&] { return done.load(); }));
  EXPECT_TRUE(onNetwork);
  EXPECT_FALSE(platform::isNetworkThread());
}

TEST(ThreadsTest, ARecipientGoneBeforeAQueuedCallRunsIsNotCalled) {
  struct Recipient {
    int calls = 0;
  };
  auto recipient = std::make_shared<Recipient>();
  std::weak_ptr<Recipient> weak = recipient;
  bool ranWithoutRecipient = false;
  platform::performOnMainThread([weak, &ranWithoutRecipient] {
    if (auto r = weak.lock()) ++r->calls; else ranWithoutRecipient = true;
  }, false);
  recipient.reset();
  ASSERT_TRUE(waitUntil([&] { return ranWithoutRecipient; }));
}

}  // namespace
