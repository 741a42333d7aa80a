// Operations with observed state, priorities and dependencies.
#include "platform/operation.h"

#include <algorithm>

namespace platform {

const MethodTable& Operation::classMethods() {
  static const MethodTable table(&Object::classMethods(), {});
  return table;
}

Operation::~Operation() = default;

bool Operation::isReady() const {
  if (dependencyCount_.load() == 0) return true;
  std::vector<std::shared_ptr<Operation>> deps = dependencies();
  return std::all_of(deps.begin(), deps.end(), [](const auto& d) { return d->isFinished(); });
}

void Operation::start() {
  if (isFinished() || isExecuting()) return;
  if (!isCancelled()) {
    setExecuting(true);
    main();
    setExecuting(false);
  }
  setFinished(true);
}

void Operation::cancel() { setCancelled(true); }

void Operation::addDependency(const std::shared_ptr<Operation>& operation) {
  if (!operation || operation.get() == this) return;
  {
    std::lock_guard lock(mutex_);
    if (std::find(dependencies_.begin(), dependencies_.end(), operation) != dependencies_.end()) return;
    dependencies_.push_back(operation);
    dependencyCount_.store(dependencies_.size());
  }
  didChangeValueForKey("dependencies");
}

void Operation::removeDependency(const std::shared_ptr<Operation>& operation) {
  {
    std::lock_guard lock(mutex_);
    if (std::erase(dependencies_, operation) == 0) return;
    dependencyCount_.store(dependencies_.size());
  }
  didChangeValueForKey("dependencies");
}

void Operation::setQueuePriority(int priority) {
  if (priority_.load() == priority) return;
  willChangeValueForKey("queuePriority");
  priority_.store(priority);
  didChangeValueForKey("queuePriority");
}

std::vector<std::shared_ptr<Operation>> Operation::dependencies() const {
  std::lock_guard lock(mutex_);
  return dependencies_;
}

int Operation::addObserver(Observer observer) {
  std::lock_guard lock(mutex_);
  int token = nextObserverToken_++;
  observers_.emplace_back(token, std::make_shared<Observer>(std::move(observer)));
  return token;
}

void Operation::removeObserver(int token) {
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void Operation::willChangeValueForKey(std::string_view key) { notify(key, true); }
void Operation::didChangeValueForKey(std::string_view key) { notify(key, false); }

void Operation::notify(std::string_view key, bool prior) {
  // Called outside the lock, from copies: an observer may add or remove observers. There is
  // usually one (the operation's queue), which needs no list.
  std::shared_ptr<Observer> only;
  std::vector<std::shared_ptr<Observer>> several;
  {
    std::lock_guard lock(mutex_);
    if (observers_.size() == 1) {
      only = observers_.front().second;
    } else {
      for (const auto& entry : observers_) several.push_back(entry.second);
    }
  }
  if (only) (*only)(*this, key, prior);
  for (const auto& observer : several) (*observer)(*this, key, prior);
}

void Operation::setExecuting(bool executing) {
  if (executing_.load() == executing) return;
  willChangeValueForKey("isExecuting");
  executing_.store(executing);
  didChangeValueForKey("isExecuting");
}

void Operation::setFinished(bool finished) {
  if (finished_.load() == finished) return;
  willChangeValueForKey("isFinished");
  finished_.store(finished);
  didChangeValueForKey("isFinished");
}

void Operation::setCancelled(bool cancelled) {
  if (cancelled_.load() == cancelled) return;
  willChangeValueForKey("isCancelled");
  cancelled_.store(cancelled);
  didChangeValueForKey("isCancelled");
}

}  // namespace platform
