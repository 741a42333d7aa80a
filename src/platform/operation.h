// Operations: units of work that a queue runs, with executing, finished and cancelled states that
// observers watch, a priority and dependencies on other operations.
#pragma once

#include "platform/object.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace platform {

// One unit of work. A plain operation does its work in main(): start() runs it on the calling
// thread and the operation is finished when main() returns. A concurrent operation (isConcurrent()
// true) overrides start() to begin work elsewhere; it stays executing, and keeps its queue slot,
// until it announces "isFinished". Subclasses that keep their own state override the state
// queries and announce each change with willChangeValueForKey/didChangeValueForKey.
// Thread: any; observers are told on the thread that changes the state.
class Operation : public Object {
  PLATFORM_OBJECT
 public:
  // Named queue priorities; any other integer (such as 10) is allowed too.
  enum Priority : int { VeryLow = -8, Low = -4, Normal = 0, High = 4, VeryHigh = 8 };

  // Told before (`prior` true) and after (`prior` false) each change of the state named `key`:
  // "isExecuting", "isFinished", "isCancelled" or "queuePriority"; and after each change of the
  // dependencies ("dependencies", `prior` false only).
  using Observer = std::function<void(Operation& operation, std::string_view key, bool prior)>;

  Operation() = default;
  ~Operation() override;

  virtual bool isConcurrent() const { return false; }
  virtual bool isExecuting() const { return executing_.load(); }
  virtual bool isFinished() const { return finished_.load(); }
  virtual bool isCancelled() const { return cancelled_.load(); }
  // True when every operation this one depends on has finished.
  bool isReady() const;
  // True when the operation depends on others at all (read without any lock).
  bool hasDependencies() const { return dependencyCount_.load() != 0; }

  // Runs the operation: for a plain operation, main() between executing and finished; a
  // cancelled one goes straight to finished without running main().
  virtual void start();
  // The work of a plain operation. Default: nothing.
  virtual void main() {}
  // Marks the operation cancelled (announced). Work that is under way decides itself whether to
  // stop; a queue still starts a cancelled operation so that it can finish.
  virtual void cancel();

  // This operation starts only after `operation` has finished. Ignores null and itself.
  void addDependency(const std::shared_ptr<Operation>& operation);
  void removeDependency(const std::shared_ptr<Operation>& operation);
  std::vector<std::shared_ptr<Operation>> dependencies() const;

  int queuePriority() const { return priority_.load(); }
  // Announces "queuePriority" when the value changes.
  void setQueuePriority(int priority);

  // Returns a token for removeObserver().
  int addObserver(Observer observer);
  void removeObserver(int token);

 protected:
  void willChangeValueForKey(std::string_view key);
  void didChangeValueForKey(std::string_view key);
  // Changes a state flag of the default implementation, announcing it.
  void setExecuting(bool executing);
  void setFinished(bool finished);
  void setCancelled(bool cancelled);

 private:
  void notify(std::string_view key, bool prior);

  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> cancelled_{false};
  std::atomic<int> priority_{Normal};
  // Size of dependencies_, readable without the mutex: a queue asks every waiting operation
  // whether it is ready each time a slot frees, and most have no dependencies at all.
  std::atomic<std::size_t> dependencyCount_{0};

  mutable std::mutex mutex_;  // guards dependencies_ and observers_
  std::vector<std::shared_ptr<Operation>> dependencies_;
  std::vector<std::pair<int, std::shared_ptr<Observer>>> observers_;
  int nextObserverToken_ = 1;
};

}  // namespace platform
