// The transport's I/O thread: a QThread with an event loop, a context object to queue work on,
// and an orderly stop when the application object goes away.
#include "http/transport/io_thread.h"

#include "http/transport/connection_pool.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include <atomic>
#include <vector>
#include <mutex>
#include <semaphore>

namespace http::transport {

namespace {

struct State {
  std::mutex mutex;
  QThread* thread = nullptr;    // created once and never deleted (it may outlive statics)
  QObject* context = nullptr;   // lives on `thread`; queued work is invoked through it
  bool stopped = false;
  // Work waiting for the thread. Only the post that finds it empty wakes the thread, which then
  // runs the whole batch: a burst of posts costs one wake-up.
  std::vector<std::function<void()>> queue;
};

std::atomic<QThread*> g_thread{nullptr};  // the thread once started, for cheap isCurrent()

State& state() {
  static State* s = new State;  // never destroyed: posts may come from static destructors
  return *s;
}

void stop() {
  QThread* thread = nullptr;
  {
    std::lock_guard lock(state().mutex);
    if (state().thread == nullptr || state().stopped) return;
    thread = state().thread;
  }
  IoThread::runAndWait([] {
    ConnectionPool::instance().closeAll();
    delete state().context;
  });
  {
    std::lock_guard lock(state().mutex);
    state().stopped = true;
    state().context = nullptr;
  }
  thread->quit();
  thread->wait();
}

// Starts the thread on first use; returns the context object or null once stopped.
QObject* context() {
  std::lock_guard lock(state().mutex);
  if (state().stopped) return nullptr;
  if (state().thread == nullptr) {
    auto* thread = new QThread;
    thread->setObjectName(QStringLiteral("http-transport-io"));
    auto* ctx = new QObject;
    ctx->moveToThread(thread);
    thread->start();
    state().thread = thread;
    state().context = ctx;
    g_thread.store(thread);
    if (QCoreApplication::instance() != nullptr) qAddPostRoutine(stop);
  }
  return state().context;
}

// Runs every queued function, in order, including those queued meanwhile.
void drainQueue() {
  std::vector<std::function<void()>> batch;
  {
    std::lock_guard lock(state().mutex);
    batch.swap(state().queue);
  }
  for (auto& fn : batch) fn();
}

}  // namespace

bool IoThread::post(std::function<void()> fn) {
  QObject* ctx = context();
  if (ctx == nullptr) return false;
  bool wake = false;
  {
    std::lock_guard lock(state().mutex);
    if (state().stopped) return false;
    wake = state().queue.empty();
    state().queue.push_back(std::move(fn));
  }
  if (wake) QMetaObject::invokeMethod(ctx, drainQueue, Qt::QueuedConnection);
  return true;
}

bool IoThread::runAndWait(const std::function<void()>& fn) {
  if (isCurrent()) {
    fn();
    return true;
  }
  std::binary_semaphore done(0);
  if (!post([&] {
        fn();
        done.release();
      })) {
    return false;
  }
  done.acquire();
  return true;
}

bool IoThread::isCurrent() {
  QThread* thread = g_thread.load();
  return thread != nullptr && QThread::currentThread() == thread;
}

QThread* IoThread::thread() {
  context();
  std::lock_guard lock(state().mutex);
  return state().thread;
}

}  // namespace http::transport
