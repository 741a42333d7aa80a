// Run loops and timers: the private mode serves only its own work, timers fire on their loop's
// thread, and invalidated timers never fire again.
#include "platform/run_loop.h"

#include "platform/threads.h"
#include "support/wait.h"

#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using platform::RunLoop;
using platform::Timer;
using testsupport::waitUntil;

const QString kPrivateMode = QStringLiteral("TestPrivateMode");

TEST(RunLoopTest, PrivateModeServesOnlyItsOwnWorkUntilTheConditionHolds) {
  auto privateLoop = RunLoop::current(kPrivateMode);
  auto mainLoop = RunLoop::main();
  bool otherWorkRan = false;
  mainLoop->post([&] { otherWorkRan = true; });
  platform::performOnMainThread([&] { otherWorkRan = true; }, false);

  // Work for the private loop arrives from another thread, a piece at a time.
  std::atomic<int> delivered{0};
  std::thread producer([&] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      privateLoop->post([&] { ++delivered; });
    }
  });
  while (delivered < 5) RunLoop::runOnce(kPrivateMode);
  producer.join();
  EXPECT_EQ(delivered, 5);
  EXPECT_FALSE(otherWorkRan) << "default-mode work ran while the private mode was served";

  ASSERT_TRUE(waitUntil([&] { return otherWorkRan; }));
}

TEST(RunLoopTest, PrivateWorkWaitsWhileTheDefaultModeIsServed) {
  auto privateLoop = RunLoop::current(kPrivateMode);
  bool ran = false;
  privateLoop->post([&] { ran = true; });
  testsupport::serveFor(std::chrono::milliseconds(20));
  EXPECT_FALSE(ran);
  EXPECT_TRUE(RunLoop::runOnce(kPrivateMode, 1.0));
  EXPECT_TRUE(ran);
}

TEST(RunLoopTest, RunOnceTimesOutWhenNothingComes) {
  EXPECT_FALSE(RunLoop::runOnce(kPrivateMode, 0.01));
}

TEST(RunLoopTest, TimersInThePrivateModeFireOnlyWhileItIsServed) {
  int ticks = 0;
  auto timer = Timer::scheduleOnCurrent(0.005, true, [&](Timer& t) {
    if (++ticks == 3) t.invalidate();
  }, kPrivateMode);
  testsupport::serveFor(std::chrono::milliseconds(30));
  EXPECT_EQ(ticks, 0);
  while (timer->isValid()) RunLoop::runOnce(kPrivateMode, 1.0);
  EXPECT_EQ(ticks, 3);
  RunLoop::runOnce(kPrivateMode, 0.03);
  EXPECT_EQ(ticks, 3);
}

TEST(RunLoopTest, OneShotAndRepeatingTimersOnTheMainLoop) {
  int oneShot = 0;
  int repeating = 0;
  auto once = Timer::scheduleOnCurrent(0.001, false, [&](Timer& t) {
    EXPECT_FALSE(t.isValid()) << "a one-shot timer is invalid while its callback runs";
    ++oneShot;
  });
  auto every = Timer::scheduleOnCurrent(0.002, true, [&](Timer&) { ++repeating; });
  ASSERT_TRUE(waitUntil([&] { return oneShot == 1 && repeating >= 3; }));
  every->invalidate();
  const int seen = repeating;
  testsupport::serveFor(std::chrono::milliseconds(20));
  EXPECT_EQ(oneShot, 1);
  EXPECT_EQ(repeating, seen);
  EXPECT_FALSE(once->isValid());
}

TEST(RunLoopTest, TimersFireOnTheirLoopsThreadAndCanBeInvalidatedFromAnother) {
  std::atomic<int> ticks{0};
  std::atomic<bool> wrongThread{false};
  std::shared_ptr<Timer> timer;
  std::atomic<bool> scheduled{false};
  platform::performOnNetworkThread([&] {
    timer = Timer::scheduleOnCurrent(0.002, true, [&](Timer&) {
      if (!platform::isNetworkThread()) wrongThread = true;
      ++ticks;
    });
    scheduled = true;
  });
  ASSERT_TRUE(waitUntil([&] { return scheduled && ticks >= 2; }));
  timer->invalidate();
  // Let the removal reach the network thread, then make sure no tick follows.
  std::atomic<bool> flushed{false};
  platform::performOnNetworkThread([&] { flushed = true; });
  ASSERT_TRUE(waitUntil([&] { return flushed.load(); }));
  const int seen = ticks;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ticks, seen);
  EXPECT_FALSE(wrongThread);
}

}  // namespace
