// The threads of the program: the main thread (the QCoreApplication's), the one process-wide
// network thread, and the only two ways to cross onto them.
#pragma once

#include <functional>
#include <memory>

class QThread;

namespace platform {

class RunLoop;

// True on the thread of the QCoreApplication (the main thread).
bool isMainThread();

// Runs `fn` on the main thread. With `wait` and already on the main thread, `fn` runs at once,
// inside the call. With `wait` on another thread, the caller blocks until `fn` has run on the main
// thread. Without `wait`, `fn` is queued (after everything already queued) and the call returns.
void performOnMainThread(std::function<void()> fn, bool wait);

// The one network thread: created and started by the first call, then it serves its default-mode
// loop for the rest of the process. Thread: any.
QThread* networkThread();
std::shared_ptr<RunLoop> networkRunLoop();

// Queues `fn` on the network thread without waiting.
void performOnNetworkThread(std::function<void()> fn);

// True on the network thread.
bool isNetworkThread();

}  // namespace platform
