// Where the transport's sockets live and are served: the engine's network thread. Requests and
// their connections share one thread, so a response reaches its request without a hand-over
// between threads.
#pragma once

#include <functional>

class QThread;

namespace http::transport {

// The network thread seen from the transport; when the QCoreApplication is destroyed, every
// connection is closed and later posts are refused. Work on it must never block the thread: a
// synchronous request waits on its caller's thread, never on this one.
// Thread: all members may be called from any thread.
class IoThread {
 public:
  // Queues `fn` to run on the I/O thread, in posting order; never runs it inside the call.
  // Returns false (dropping `fn`) once the thread has stopped.
  static bool post(std::function<void()> fn);
  // Runs `fn` on the I/O thread and waits for it; runs it at once when called there.
  // Returns false when the thread has stopped (then `fn` did not run).
  static bool runAndWait(const std::function<void()>& fn);
  // True on the I/O thread.
  static bool isCurrent();
  static QThread* thread();
};

}  // namespace http::transport
