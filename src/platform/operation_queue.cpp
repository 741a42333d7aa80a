// Operation queues and the worker threads that start their operations.
#include "platform/operation_queue.h"

#include "platform/threads.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

namespace platform {
namespace {

// Worker threads shared by all queues: a task goes to an idle worker, or to a new one when none
// is idle. Workers idle for a while end. Never destroyed (workers may outlive static teardown).
class WorkerPool {
 public:
  static WorkerPool& shared() {
    static auto* pool = new WorkerPool;
    return *pool;
  }

  void run(std::function<void()> task) {
    std::unique_lock lock(mutex_);
    tasks_.push_back(std::move(task));
    if (idle_ > 0) {
      wake_.notify_one();
      return;
    }
    ++threads_;
    lock.unlock();
    std::thread([this] { work(); }).detach();
  }

 private:
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      while (tasks_.empty()) {
        ++idle_;
        bool woke = wake_.wait_for(lock, std::chrono::seconds(10), [this] { return !tasks_.empty(); });
        --idle_;
        if (!woke) {
          --threads_;
          return;
        }
      }
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // release what the task held before waiting again
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  int idle_ = 0;
  int threads_ = 0;
};

// The limit used when a queue leaves the choice to the machinery.
constexpr int kDefaultWorkerLimit = 64;

}  // namespace

struct OperationQueue::State : std::enable_shared_from_this<OperationQueue::State> {
  struct Entry {
    std::shared_ptr<Operation> operation;
    int observerToken = 0;
    bool started = false;
    // What the queue last learned of the operation (it announces changes of both).
    int priority = 0;
    bool hasDependencies = false;
  };
  // Order of the unstarted operations without dependencies: highest priority first, then the
  // order added.
  using ReadyKey = std::pair<int, std::uint64_t>;  // (-priority, sequence)

  mutable std::mutex mutex;
  std::condition_variable becameEmpty;
  std::map<std::uint64_t, Entry> entries;  // unfinished operations by sequence (order added)
  std::unordered_map<const Operation*, std::uint64_t> sequences;  // operation → its sequence
  std::set<ReadyKey> ready;                 // unstarted entries without dependencies
  std::set<std::uint64_t> withDependencies;  // unstarted entries with dependencies
  std::uint64_t nextSequence = 0;
  int running = 0;             // started and not finished
  int maxConcurrent = kDefaultMaxConcurrentOperationCount;
  bool suspended = false;
  std::shared_ptr<State> selfWhileBusy;  // keeps the queue running while it holds operations
  std::map<Operation*, int> watchedDependencies;  // dependency → observer token

  // Files `entry` (unstarted) under the index its dependencies call for. Lock held.
  void indexLocked(std::uint64_t sequence, const Entry& entry) {
    if (entry.hasDependencies) withDependencies.insert(sequence);
    else ready.insert({-entry.priority, sequence});
  }
  void unindexLocked(std::uint64_t sequence, const Entry& entry) {
    if (entry.hasDependencies) withDependencies.erase(sequence);
    else ready.erase({-entry.priority, sequence});
  }

  // Takes in what `operation` now says of its priority and dependencies (plain values, read
  // without asking it anything under a lock).
  void refresh(const Operation& operation) {
    std::lock_guard lock(mutex);
    auto found = sequences.find(&operation);
    if (found == sequences.end()) return;
    Entry& entry = entries.at(found->second);
    if (entry.started) return;
    unindexLocked(found->second, entry);
    entry.priority = operation.queuePriority();
    entry.hasDependencies = operation.hasDependencies();
    indexLocked(found->second, entry);
  }

  // Starts as many ready operations as the limit allows. The queue's lock is never held while
  // an operation is asked about itself (cancelled, ready, finished): an operation may announce
  // its own changes under a lock of its own, and those announcements take the queue's lock, so
  // holding ours while taking theirs could deadlock.
  void schedule() {
    for (;;) {
      // The ready operation of the highest priority, the first in the order added among equals.
      std::shared_ptr<Operation> best;
      int bestPriority = 0;
      std::uint64_t bestSequence = 0;
      auto consider = [&](const std::shared_ptr<Operation>& operation, int priority, std::uint64_t sequence) {
        if (!best || priority > bestPriority || (priority == bestPriority && sequence < bestSequence)) {
          best = operation;
          bestPriority = priority;
          bestSequence = sequence;
        }
      };
      std::vector<std::pair<std::uint64_t, std::shared_ptr<Operation>>> waiting;
      {
        std::lock_guard lock(mutex);
        if (suspended) return;
        const int limit = maxConcurrent < 0 ? kDefaultWorkerLimit : maxConcurrent;
        if (running >= limit) return;
        // An operation without dependencies is ready, cancelled or not: the first of the index
        // is the best of them. Those with dependencies are asked, below, outside the lock.
        if (!ready.empty()) {
          const auto [negativePriority, sequence] = *ready.begin();
          consider(entries.at(sequence).operation, -negativePriority, sequence);
        }
        for (const std::uint64_t sequence : withDependencies) {
          waiting.emplace_back(sequence, entries.at(sequence).operation);
        }
      }
      std::vector<std::shared_ptr<Operation>> toWatch;
      for (const auto& [sequence, operation] : waiting) {
        if (!operation->isReady() && !operation->isCancelled()) {
          for (auto& dependency : operation->dependencies()) {
            if (!dependency->isFinished()) toWatch.push_back(dependency);
          }
          continue;
        }
        consider(operation, operation->queuePriority(), sequence);
      }
      for (auto& dependency : toWatch) {
        bool watched = false;
        {
          std::lock_guard lock(mutex);
          watched = !watchedDependencies.emplace(dependency.get(), 0).second;
        }
        if (!watched) watch(dependency);
      }
      if (!best) return;
      {
        std::lock_guard lock(mutex);
        const int limit = maxConcurrent < 0 ? kDefaultWorkerLimit : maxConcurrent;
        if (suspended || running >= limit) return;
        auto it = entries.find(bestSequence);
        // Finished or started meanwhile: look again.
        if (it == entries.end() || it->second.started) continue;
        unindexLocked(bestSequence, it->second);
        it->second.started = true;
        ++running;
      }
      // A concurrent operation's start() only hands its work elsewhere: off the main thread it
      // starts here, without waking a worker thread for that hand-over. One that ends at once is
      // settled on a worker, so that a run of such operations does not nest schedule() calls.
      if (best->isConcurrent() && !isMainThread()) {
        best->start();
        if (best->isFinished()) {
          WorkerPool::shared().run([self = shared_from_this(), operation = best] {
            self->finished(operation.get());
          });
        }
        continue;
      }
      WorkerPool::shared().run([self = shared_from_this(), operation = best] {
        operation->start();
        if (operation->isFinished()) self->finished(operation.get());
      });
    }
  }

  // A dependency of one of our operations: when it finishes, look again for ready operations.
  void watch(const std::shared_ptr<Operation>& dependency) {
    std::weak_ptr<State> weakSelf = shared_from_this();
    int token = dependency->addObserver([weakSelf](Operation& op, std::string_view key, bool prior) {
      if (prior || key != "isFinished" || !op.isFinished()) return;
      // Not inside the announcement: the operation may hold its own lock while announcing.
      WorkerPool::shared().run([weakSelf] {
        if (auto self = weakSelf.lock()) self->schedule();
      });
    });
    {
      std::lock_guard lock(mutex);
      watchedDependencies[dependency.get()] = token;
    }
    // It may have finished before the observer was in place.
    if (dependency->isFinished()) schedule();
  }

  // `operation` reported finished: free its slot and drop it.
  void finished(Operation* operation) {
    std::shared_ptr<State> keepAlive = shared_from_this();
    std::shared_ptr<Operation> removed;
    int token = 0;
    {
      std::lock_guard lock(mutex);
      auto found = sequences.find(operation);
      if (found == sequences.end()) return;  // already handled
      auto it = entries.find(found->second);
      if (it->second.started) --running;
      else unindexLocked(it->first, it->second);
      removed = std::move(it->second.operation);
      token = it->second.observerToken;
      entries.erase(it);
      sequences.erase(found);
      auto watched = watchedDependencies.find(operation);
      if (watched != watchedDependencies.end()) watchedDependencies.erase(watched);
      if (entries.empty()) {
        becameEmpty.notify_all();
        selfWhileBusy.reset();  // keepAlive holds us until we return
      }
    }
    removed->removeObserver(token);
    schedule();
  }
};

const MethodTable& OperationQueue::classMethods() {
  static const MethodTable table(&Object::classMethods(), {});
  return table;
}

OperationQueue::OperationQueue() : state_(std::make_shared<State>()) {}

OperationQueue::~OperationQueue() = default;

void OperationQueue::addOperation(const std::shared_ptr<Operation>& operation) {
  if (!operation || operation->isFinished()) return;
  std::uint64_t sequence = 0;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->sequences.contains(operation.get())) return;
    sequence = state_->nextSequence++;
    State::Entry& entry = state_->entries[sequence];
    entry.operation = operation;
    entry.priority = operation->queuePriority();
    entry.hasDependencies = operation->hasDependencies();
    state_->sequences.emplace(operation.get(), sequence);
    state_->indexLocked(sequence, entry);
    state_->selfWhileBusy = state_;
  }
  std::weak_ptr<State> weakState = state_;
  int token = operation->addObserver([weakState](Operation& op, std::string_view key, bool prior) {
    if (prior) return;
    if (key == "queuePriority" || key == "dependencies") {
      if (auto state = weakState.lock()) state->refresh(op);
      return;
    }
    if (key != "isFinished" || !op.isFinished()) return;
    // The queue's bookkeeping runs apart from the announcement, which an operation may make
    // while holding its own lock (the queue's lock is taken there, and the queue asks
    // operations about themselves: doing it here would order the two locks both ways).
    std::weak_ptr<Object> weakOperation = op.weak_from_this();
    auto settle = [weakState, weakOperation] {
      // An operation still alive has its own address (one already dropped is not in the queue).
      auto operation = std::static_pointer_cast<Operation>(weakOperation.lock());
      auto state = weakState.lock();
      if (operation && state) state->finished(operation.get());
    };
    // A request finishes on the network thread: its loop settles it right after the call that
    // announced it, and starts the next one there, without waking a worker for the hand-over.
    if (isNetworkThread()) performOnNetworkThread(std::move(settle));
    else WorkerPool::shared().run(std::move(settle));
  });
  bool stillQueued = false;
  {
    std::lock_guard lock(state_->mutex);
    auto it = state_->entries.find(sequence);
    if (it != state_->entries.end()) {
      it->second.observerToken = token;
      stillQueued = true;
    }
  }
  if (!stillQueued) operation->removeObserver(token);
  // A change made before the observer was in place is taken in now.
  state_->refresh(*operation);
  state_->schedule();
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  std::lock_guard lock(state_->mutex);
  std::vector<std::shared_ptr<Operation>> result;
  result.reserve(state_->entries.size());
  for (const auto& [sequence, entry] : state_->entries) result.push_back(entry.operation);
  return result;
}

std::size_t OperationQueue::operationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->entries.size();
}

int OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->maxConcurrent;
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
  {
    std::lock_guard lock(state_->mutex);
    state_->maxConcurrent = count;
  }
  state_->schedule();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard lock(state_->mutex);
  return state_->suspended;
}

void OperationQueue::setSuspended(bool suspended) {
  {
    std::lock_guard lock(state_->mutex);
    state_->suspended = suspended;
  }
  if (!suspended) state_->schedule();
}

void OperationQueue::cancelAllOperations() {
  for (auto& operation : operations()) operation->cancel();
  state_->schedule();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock lock(state_->mutex);
  state_->becameEmpty.wait(lock, [this] { return state_->entries.empty(); });
}

}  // namespace platform
