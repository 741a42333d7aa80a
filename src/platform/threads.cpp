// The main thread, the network thread and crossing onto them.
#include "platform/threads.h"

#include "platform/run_loop.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace platform {

bool isMainThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

void performOnMainThread(std::function<void()> fn, bool wait) {
  if (wait && isMainThread()) {
    fn();
    return;
  }
  // Once the application object is gone the process is ending and no main thread will run
  // anything: a call from a request still settling on another thread is dropped.
  if (!QCoreApplication::instance()) return;
  std::shared_ptr<RunLoop> loop = RunLoop::main();
  if (!wait) {
    loop->post(std::move(fn));
    return;
  }
  std::mutex mutex;
  std::condition_variable doneChanged;
  bool done = false;
  bool posted = loop->post([&] {
    fn();
    std::lock_guard lock(mutex);
    done = true;
    doneChanged.notify_all();
  });
  if (!posted) return;
  RunLoop::issueDeferredWakes();
  std::unique_lock lock(mutex);
  doneChanged.wait(lock, [&] { return done; });
}

namespace {

// The network thread serves its Qt event loop for the rest of the process.
class NetworkThread final : public QThread {
 public:
  NetworkThread() { setObjectName(QStringLiteral("network")); }

 protected:
  void run() override { exec(); }
};

struct NetworkThreadState {
  std::once_flag once;
  std::atomic<QThread*> thread{nullptr};
  std::shared_ptr<RunLoop> loop;
};

NetworkThreadState& networkState() {
  // Never destroyed: the thread runs until the process ends.
  static auto* state = new NetworkThreadState;
  return *state;
}

void ensureNetworkThread() {
  NetworkThreadState& state = networkState();
  std::call_once(state.once, [&state] {
    auto* thread = new NetworkThread;
    thread->start();
    // The default-mode loop of the network thread is made on it, so it belongs to that thread.
    std::mutex mutex;
    std::condition_variable ready;
    std::shared_ptr<RunLoop> loop;
    auto* starter = new QObject;
    starter->moveToThread(thread);
    QMetaObject::invokeMethod(starter, [&] {
      std::lock_guard lock(mutex);
      loop = RunLoop::current();
      ready.notify_all();
    }, Qt::QueuedConnection);
    std::unique_lock lock(mutex);
    ready.wait(lock, [&] { return loop != nullptr; });
    starter->deleteLater();
    state.loop = loop;
    state.thread = thread;
  });
}

}  // namespace

QThread* networkThread() {
  ensureNetworkThread();
  return networkState().thread;
}

std::shared_ptr<RunLoop> networkRunLoop() {
  ensureNetworkThread();
  return networkState().loop;
}

void performOnNetworkThread(std::function<void()> fn) { networkRunLoop()->post(std::move(fn)); }

bool isNetworkThread() {
  NetworkThreadState& state = networkState();
  QThread* thread = state.thread.load();
  return thread && QThread::currentThread() == thread;
}

}  // namespace platform
