// Operation queues: start order by dependencies and priority, the concurrency limit, suspension,
// cancellation, concurrent operations holding their slot, and observers of the state.
#include "platform/operation_queue.h"

#include "platform/threads.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using platform::Operation;
using platform::OperationQueue;
using testsupport::waitUntil;

// Records the order in which operations ran.
struct Journal {
  std::mutex mutex;
  std::vector<int> order;
  void add(int id) {
    std::lock_guard lock(mutex);
    order.push_back(id);
  }
  std::vector<int> get() {
    std::lock_guard lock(mutex);
    return order;
  }
};

class RecordingOperation : public Operation {
 public:
  RecordingOperation(Journal& journal, int id) : journal_(journal), id_(id) {}
  void main() override {
    onMainThread = platform::isMainThread();
    journal_.add(id_);
  }
  std::atomic<bool> onMainThread{true};

 private:
  Journal& journal_;
  int id_;
};

// Counts how many run at once.
class CountingOperation : public Operation {
 public:
  CountingOperation(std::atomic<int>& running, std::atomic<int>& peak) : running_(running), peak_(peak) {}
  void main() override {
    int now = ++running_;
    int seen = peak_.load();
    while (now > seen && !peak_.compare_exchange_weak(seen, now)) {}
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    --running_;
  }

 private:
  std::atomic<int>& running_;
  std::atomic<int>& peak_;
};

// A concurrent operation: start() returns at once; it finishes when the test says so.
class ManualOperation : public Operation {
 public:
  bool isConcurrent() const override { return true; }
  void start() override {
    started = true;
    setExecuting(true);
  }
  void finish() {
    setExecuting(false);
    setFinished(true);
  }
  std::atomic<bool> started{false};
};

TEST(OperationQueueTest, ASuspendedQueueStartsNothingUntilResumed) {
  Journal journal;
  OperationQueue queue;
  queue.setSuspended(true);
  auto op = std::make_shared<RecordingOperation>(journal, 1);
  queue.addOperation(op);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(journal.get().empty());
  EXPECT_EQ(queue.operationCount(), 1u);
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(journal.get(), std::vector<int>{1});
  EXPECT_FALSE(op->onMainThread) << "operations start on the queue's own threads";
  EXPECT_TRUE(op->isFinished());
  EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueueTest, DependenciesAndPrioritiesDecideTheStartOrder) {
  // The same order whether priorities and dependencies are set before the operations are added
  // or changed while they wait in the queue.
  for (const bool whileQueued : {false, true}) {
    SCOPED_TRACE(whileQueued ? "changed while queued" : "set before adding");
    Journal journal;
    OperationQueue queue;
    queue.setSuspended(true);
    queue.setMaxConcurrentOperationCount(1);
    auto low = std::make_shared<RecordingOperation>(journal, 1);
    auto normal = std::make_shared<RecordingOperation>(journal, 2);
    auto measuring = std::make_shared<RecordingOperation>(journal, 3);
    auto dependent = std::make_shared<RecordingOperation>(journal, 4);
    auto gate = std::make_shared<RecordingOperation>(journal, 5);
    auto decide = [&] {
      low->setQueuePriority(Operation::Low);
      measuring->setQueuePriority(10);  // above the highest named level
      dependent->setQueuePriority(Operation::VeryHigh);
      gate->setQueuePriority(Operation::VeryLow);
      dependent->addDependency(gate);  // the highest named priority still waits for its dependency
    };
    if (!whileQueued) decide();
    for (auto& op : {low, normal, measuring, dependent, gate}) queue.addOperation(op);
    if (whileQueued) decide();
    queue.setSuspended(false);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(journal.get(), (std::vector<int>{3, 2, 1, 5, 4}));
  }
}

TEST(OperationQueueTest, ADependencyInAnotherQueueHoldsTheOperationBack) {
  Journal journal;
  OperationQueue first;
  OperationQueue second;
  first.setSuspended(true);
  auto before = std::make_shared<RecordingOperation>(journal, 1);
  auto after = std::make_shared<RecordingOperation>(journal, 2);
  after->addDependency(before);
  first.addOperation(before);
  second.addOperation(after);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(journal.get().empty());
  first.setSuspended(false);
  second.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(journal.get(), (std::vector<int>{1, 2}));
}

TEST(OperationQueueTest, TheLimitIsNeverExceededUnder200ShortOperations) {
  std::atomic<int> running{0};
  std::atomic<int> peak{0};
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(4);
  for (int i = 0; i < 200; ++i) queue.addOperation(std::make_shared<CountingOperation>(running, peak));
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_LE(peak.load(), 4);
  EXPECT_GE(peak.load(), 2) << "operations should run side by side";
}

TEST(OperationQueueTest, AConcurrentOperationHoldsItsSlotUntilItFinishesAndTheLimitCanChange) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(1);
  auto a = std::make_shared<ManualOperation>();
  auto b = std::make_shared<ManualOperation>();
  auto c = std::make_shared<ManualOperation>();
  queue.addOperation(a);
  queue.addOperation(b);
  queue.addOperation(c);
  ASSERT_TRUE(waitUntil([&] { return a->started.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(b->started) << "start() returned, but the first operation still runs";
  a->finish();
  ASSERT_TRUE(waitUntil([&] { return b->started.load(); }));
  EXPECT_FALSE(c->started);
  queue.setMaxConcurrentOperationCount(2);
  ASSERT_TRUE(waitUntil([&] { return c->started.load(); }));
  b->finish();
  c->finish();
  queue.waitUntilAllOperationsAreFinished();
}

TEST(OperationQueueTest, CancelAllCancelsEveryHeldOperationAndCancelledOnesSkipTheirWork) {
  Journal journal;
  OperationQueue queue;
  queue.setSuspended(true);
  std::vector<std::shared_ptr<RecordingOperation>> ops;
  for (int i = 0; i < 5; ++i) {
    ops.push_back(std::make_shared<RecordingOperation>(journal, i));
    queue.addOperation(ops.back());
  }
  queue.cancelAllOperations();
  for (auto& op : ops) EXPECT_TRUE(op->isCancelled());
  EXPECT_EQ(queue.operationCount(), 5u) << "cancelled operations stay until they finish";
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(journal.get().empty());
  for (auto& op : ops) EXPECT_TRUE(op->isFinished());
}

TEST(OperationQueueTest, ObserversHearEachStateChangeBeforeAndAfter) {
  Journal journal;
  auto op = std::make_shared<RecordingOperation>(journal, 1);
  std::mutex mutex;
  std::vector<std::string> events;
  op->addObserver([&](Operation& o, std::string_view key, bool prior) {
    std::lock_guard lock(mutex);
    std::string value = key == "isFinished" ? (o.isFinished() ? "1" : "0")
                                            : (o.isExecuting() ? "1" : "0");
    events.push_back(std::string(prior ? "will " : "did ") + std::string(key) + "=" + value);
  });
  OperationQueue queue;
  queue.addOperation(op);
  queue.waitUntilAllOperationsAreFinished();
  std::lock_guard lock(mutex);
  EXPECT_EQ(events, (std::vector<std::string>{
                        "will isExecuting=0", "did isExecuting=1", "will isExecuting=1",
                        "did isExecuting=0", "will isFinished=0", "did isFinished=1"}));
}

TEST(OperationQueueTest, AQueueDroppedByItsOwnerStillRunsWhatItHolds) {
  Journal journal;
  auto op = std::make_shared<RecordingOperation>(journal, 7);
  static std::atomic<int> running{0};
  static std::atomic<int> peak{0};
  {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    queue.addOperation(std::make_shared<CountingOperation>(running, peak));
    queue.addOperation(op);
  }
  ASSERT_TRUE(waitUntil([&] { return op->isFinished(); }));
  EXPECT_EQ(journal.get(), std::vector<int>{7});
}

}  // namespace
