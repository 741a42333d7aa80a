// The transport's own I/O thread: every socket lives and is served there, apart from the
// engine's network thread and any caller, so a caller blocked on its own stream never starves it.
#pragma once

#include <functional>

class QThread;

namespace http::transport {

// One process-wide thread running a Qt event loop, started on first use and stopped when the
// QCoreApplication is destroyed (idle connections are closed first). Needs a QCoreApplication.
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
