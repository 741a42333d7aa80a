// Operation queues and the worker threads that start their operations.
#include "platform/operation_queue.h"

#include "platform/threads.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

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
  };

  mutable std::mutex mutex;
  std::condition_variable becameEmpty;
  std::vector<Entry> entries;  // unfinished operations in the order added
  int running = 0;             // started and not finished
  int maxConcurrent = kDefaultMaxConcurrentOperationCount;
  bool suspended = false;
  std::shared_ptr<State> selfWhileBusy;  // keeps the queue running while it holds operations
  std::map<Operation*, int> watchedDependencies;  // dependency → observer token

  // Starts as many ready operations as the limit allows. The queue's lock is never held while
  // an operation is asked about itself (cancelled, ready, finished, priority): an operation may
  // announce its own changes under a lock of its own, and those announcements take the queue's
  // lock, so holding ours while taking theirs could deadlock.
  void schedule() {
    for (;;) {
      // The ready operation of the highest priority, the first in the order added among equals.
      std::shared_ptr<Operation> best;
      int bestPriority = 0;
      std::size_t bestIndex = 0;
      auto consider = [&](const std::shared_ptr<Operation>& operation, int priority, std::size_t index) {
        if (!best || priority > bestPriority || (priority == bestPriority && index < bestIndex)) {
          best = operation;
          bestPriority = priority;
          bestIndex = index;
        }
      };
      std::vector<std::pair<std::size_t, std::shared_ptr<Operation>>> waiting;
      {
        std::lock_guard lock(mutex);
        if (suspended) return;
        const int limit = maxConcurrent < 0 ? kDefaultWorkerLimit : maxConcurrent;
        if (running >= limit) return;
        // An operation without dependencies is ready (cancelled or not), and its priority is a
        // plain value: both are read here without asking the operation anything under a lock.
        // Only those with dependencies are asked, below, outside the queue's lock.
        for (std::size_t index = 0; index < entries.size(); ++index) {
          const Entry& entry = entries[index];
          if (entry.started) continue;
          if (entry.operation->hasDependencies()) {
            waiting.emplace_back(index, entry.operation);
          } else {
            consider(entry.operation, entry.operation->queuePriority(), index);
          }
        }
      }
      std::vector<std::shared_ptr<Operation>> toWatch;
      for (const auto& [index, operation] : waiting) {
        if (!operation->isReady() && !operation->isCancelled()) {
          for (auto& dependency : operation->dependencies()) {
            if (!dependency->isFinished()) toWatch.push_back(dependency);
          }
          continue;
        }
        consider(operation, operation->queuePriority(), index);
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
        auto it = std::find_if(entries.begin(), entries.end(),
                               [&best](const Entry& e) { return e.operation == best; });
        // Finished or started meanwhile: look again.
        if (it == entries.end() || it->started) continue;
        it->started = true;
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
      auto it = std::find_if(entries.begin(), entries.end(),
                             [operation](const Entry& e) { return e.operation.get() == operation; });
      if (it == entries.end()) return;  // already handled
      if (it->started) --running;
      removed = std::move(it->operation);
      token = it->observerToken;
      entries.erase(it);
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
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& entry : state_->entries) {
      if (entry.operation == operation) return;
    }
    state_->entries.push_back({operation, 0, false});
    state_->selfWhileBusy = state_;
  }
  std::weak_ptr<State> weakState = state_;
  int token = operation->addObserver([weakState](Operation& op, std::string_view key, bool prior) {
    if (prior || key != "isFinished" || !op.isFinished()) return;
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
    for (auto& entry : state_->entries) {
      if (entry.operation == operation) {
        entry.observerToken = token;
        stillQueued = true;
      }
    }
  }
  if (!stillQueued) operation->removeObserver(token);
  state_->schedule();
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  std::lock_guard lock(state_->mutex);
  std::vector<std::shared_ptr<Operation>> result;
  result.reserve(state_->entries.size());
  for (const auto& entry : state_->entries) result.push_back(entry.operation);
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
