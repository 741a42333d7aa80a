// A queue that runs operations on threads of its own: at most a set number at once, in priority
// order, each only after the operations it depends on have finished, nothing while suspended.
#pragma once

#include "platform/operation.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace platform {

// Runs added operations by calling start() on worker threads owned by the queue machinery (never
// the main thread); a concurrent operation, whose start() only hands its work elsewhere, may also
// be started on the thread that freed its slot, if that is not the main thread. An operation holds its slot from start() until it is finished: a plain one
// when start() returns, a concurrent one when it announces "isFinished". Among the operations that
// are ready (dependencies finished), higher queue priority starts first, then the earlier added.
// The queue holds its operations until they finish; a queue dropped by its owner keeps running
// what it holds. Thread: any.
class OperationQueue : public Object {
  PLATFORM_OBJECT
 public:
  // The default limit: the machinery decides (a generous fixed number of worker threads).
  static constexpr int kDefaultMaxConcurrentOperationCount = -1;

  OperationQueue();
  ~OperationQueue() override;

  // Adds `operation`; it starts when the queue is running, a slot is free and it is ready.
  // Null and operations that are already finished or queued are ignored.
  virtual void addOperation(const std::shared_ptr<Operation>& operation);

  // The operations added and not yet finished, in the order added.
  std::vector<std::shared_ptr<Operation>> operations() const;
  std::size_t operationCount() const;

  // Most operations executing at once; changes take effect at once (0 starts nothing).
  int maxConcurrentOperationCount() const;
  void setMaxConcurrentOperationCount(int count);

  bool isSuspended() const;
  // A suspended queue starts nothing new; operations already started go on.
  virtual void setSuspended(bool suspended);

  // Cancels every operation the queue holds (each decides itself how to stop).
  virtual void cancelAllOperations();

  // Blocks the calling thread until the queue holds no operation. Not for use on a worker thread
  // of the queue, nor on a thread whose event loop the operations need.
  void waitUntilAllOperationsAreFinished();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
