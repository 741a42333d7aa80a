// The transport's side of the network thread: work queued there in order, and closing every
// connection when the application object goes away.
#include "http/transport/io_thread.h"

#include "http/transport/connection_pool.h"
#include "platform/run_loop.h"
#include "platform/threads.h"

#include <QCoreApplication>
#include <QThread>

#include <mutex>
#include <semaphore>

namespace http::transport {

namespace {

struct State {
  std::mutex mutex;
  bool started = false;  // the first post happened (the stop routine is registered)
  bool stopped = false;  // the connections were closed for good
};

State& state() {
  static State* s = new State;  // never destroyed: posts may come from static destructors
  return *s;
}

void stop() {
  {
    std::lock_guard lock(state().mutex);
    if (!state().started || state().stopped) return;
  }
  IoThread::runAndWait([] { ConnectionPool::instance().closeAll(); });
  std::lock_guard lock(state().mutex);
  state().stopped = true;
}

}  // namespace

bool IoThread::post(std::function<void()> fn) {
  {
    std::lock_guard lock(state().mutex);
    if (state().stopped) return false;
    if (!state().started) {
      state().started = true;
      if (QCoreApplication::instance() != nullptr) qAddPostRoutine(stop);
    }
  }
  platform::performOnNetworkThread(std::move(fn));
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
  platform::RunLoop::issueDeferredWakes();
  done.acquire();
  return true;
}

bool IoThread::isCurrent() { return platform::isNetworkThread(); }

QThread* IoThread::thread() { return platform::networkThread(); }

}  // namespace http::transport
