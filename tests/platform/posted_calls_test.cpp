// Posted calls in bursts: order across a nested event loop, a call that waits for the main thread
// while its own posts are held back, calls the network thread posts to itself, wake-ups gathered
// across calls (in order, and none lost when the posting thread ends), and timers made after
// others were stopped.
#include "platform/run_loop.h"
#include "platform/threads.h"
#include "support/wait.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
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

TEST(PostedCallsTest, MainThreadCallsPostedByManyNetworkCallsInARowAllRunInOrder) {
  // Each network call is a drain of its own (a timer posts it), so most of their wake-ups of the
  // main thread are held and go out together.
  constexpr int kCalls = 200;
  std::vector<int> seen;  // touched on the main thread only
  platform::performOnNetworkThread([&seen] {
    auto* ticks = new QTimer;
    auto count = std::make_shared<int>(0);
    QObject::connect(ticks, &QTimer::timeout, ticks, [ticks, count, &seen] {
      const int call = (*count)++;
      if (call == kCalls - 1) ticks->deleteLater();
      if (call >= kCalls) return;
      platform::performOnNetworkThread([call, &seen] {
        platform::performOnMainThread([call, &seen] { seen.push_back(call); }, false);
      });
    });
    ticks->start(0);
  });
  ASSERT_TRUE(waitUntil([&] { return seen.size() == kCalls; }));
  for (int call = 0; call < kCalls; ++call) ASSERT_EQ(seen[call], call);
}

TEST(PostedCallsTest, WakeUpsHeldByAThreadThatEndsStillGoOut) {
  std::vector<std::string> seen;  // touched on the main thread only
  std::atomic<bool> firstSeen{false};
  QThread worker;
  QObject context;
  context.moveToThread(&worker);
  worker.start();
  std::shared_ptr<platform::RunLoop> loop;
  testsupport::runOnThreadOf(&context, [&loop] { loop = platform::RunLoop::current(); });
  loop->post([&] {
    platform::performOnMainThread([&] {
      seen.push_back("first");
      firstSeen = true;
    }, false);
    // Once the main thread has run that call and sleeps again, a second call, a drain of its own
    // right after this one, posts another: its wake-up is held, and the thread ends before the
    // hold would.
    QTimer::singleShot(0, &context, [&] {
      while (!firstSeen) QThread::yieldCurrentThread();
      loop->post([&] {
        platform::performOnMainThread([&seen] { seen.push_back("second"); }, false);
        QThread::currentThread()->quit();
      });
    });
  });
  ASSERT_TRUE(waitUntil([&] { return firstSeen.load(); }, std::chrono::seconds(5)));
  ASSERT_TRUE(worker.wait(10000));
  ASSERT_TRUE(waitUntil([&] { return seen.size() == 2; }, std::chrono::seconds(5)));
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "second"}));
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
