// Posted calls in bursts: order across a nested event loop, a call that waits for the main thread
// while its own posts are held back, calls the network thread posts to itself, and timers made
// after others were stopped.
#include "platform/run_loop.h"
#include "platform/threads.h"
#include "support/wait.h"

#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

using testsupport::waitUntil;

TEST(PostedCallsTest, ANestedLoopInAPostedCallRunsTheCallsPostedAfterItInOrder) {
  std::vector<std::string> seen;
  // One network-thread call posts the three at once: one wake-up of the main thread for all.
  platform::performOnNetworkThread([&seen] {
    platform::performOnMainThread([&seen] {
      seen.push_back("A begins");
      // Like a modal window: it posts nothing itself and waits for the calls after it.
      QEventLoop nested;
      QTimer::singleShot(10000, &nested, &QEventLoop::quit);  // a broken batch fails, not hangs
      QTimer check;
      QObject::connect(&check, &QTimer::timeout, &nested, [&] {
        if (seen.size() == 3) nested.quit();
      });
      check.start(1);
      nested.exec();
      seen.push_back("A ends");
    }, false);
    platform::performOnMainThread([&seen] { seen.push_back("B"); }, false);
    platform::performOnMainThread([&seen] { seen.push_back("C"); }, false);
  });
  ASSERT_TRUE(waitUntil([&] { return seen.size() == 4; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"A begins", "B", "C", "A ends"}));
}

TEST(PostedCallsTest, ANetworkCallThatWaitsForTheMainThreadIsNotHeldByItsEarlierPosts) {
  std::vector<std::string> seen;
  std::atomic<bool> done{false};
  platform::performOnNetworkThread([&] {
    platform::performOnMainThread([&seen] { seen.push_back("posted"); }, false);
    platform::performOnMainThread([&seen] { seen.push_back("waited for"); }, true);
    done = true;
  });
  ASSERT_TRUE(waitUntil([&] { return done.load(); }));
  EXPECT_EQ(seen, (std::vector<std::string>{"posted", "waited for"}));
}

TEST(PostedCallsTest, CallsTheNetworkThreadPostsToItselfRunInOrderAlsoInANestedLoop) {
  // Posted from a timer's callback (not a posted call), they wake nothing: they run before the
  // thread next waits, in a nested loop of a posted call too.
  std::vector<std::string> seen;  // touched on the network thread only
  std::atomic<bool> done{false};
  platform::performOnNetworkThread([&] {
    QTimer::singleShot(0, [&] {
      platform::performOnNetworkThread([&] { seen.push_back("first"); });
      platform::performOnNetworkThread([&] { seen.push_back("second"); });
      seen.push_back("timer");
    });
  });
  platform::performOnNetworkThread([&] {
    QEventLoop nested;
    QTimer::singleShot(3000, &nested, &QEventLoop::quit);  // a call never run fails, not hangs
    QTimer::singleShot(0, &nested, [&] {
      platform::performOnNetworkThread([&] {
        seen.push_back("posted in the nested loop");
        nested.quit();
      });
    });
    nested.exec();
    seen.push_back("nested loop ended");
    done = true;
  });
  ASSERT_TRUE(waitUntil([&] { return done.load(); }));
  EXPECT_EQ(seen, (std::vector<std::string>{"timer", "first", "second", "posted in the nested loop",
                                            "nested loop ended"}));
}

TEST(PostedCallsTest, TimersMadeAfterStoppedOnesFireAndTheStoppedOnesStaySilent) {
  using platform::Timer;
  int stopped = 0;
  int repeated = 0;
  int later = 0;
  // Stopped before it is due, from its own callback and after firing: each frees its slot.
  auto never = Timer::scheduleOnCurrent(0.001, false, [&](Timer&) { ++stopped; });
  never->invalidate();
  auto twice = Timer::scheduleOnCurrent(0.001, true, [&](Timer& t) {
    if (++repeated == 2) t.invalidate();
  });
  ASSERT_TRUE(waitUntil([&] { return repeated == 2; }));
  for (int round = 1; round <= 3; ++round) {
    auto once = Timer::scheduleOnCurrent(0.001, false, [&](Timer&) { ++later; });
    ASSERT_TRUE(waitUntil([&] { return later == round; }));
    EXPECT_FALSE(once->isValid());
  }
  testsupport::serveFor(std::chrono::milliseconds(20));
  EXPECT_EQ(stopped, 0);
  EXPECT_EQ(repeated, 2);
  EXPECT_EQ(later, 3);
}

}  // namespace
