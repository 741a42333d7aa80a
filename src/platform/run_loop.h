// Run loops and timers: where queued work and timer callbacks of a thread are served.
// A thread's default mode is its Qt event loop; any other mode is a private loop of that thread.
#pragma once

#include <QString>

#include <atomic>
#include <functional>
#include <limits>
#include <memory>

class QThread;

namespace platform {

// The name of the default mode: the thread's ordinary Qt event loop.
inline const QString kDefaultRunLoopMode = QStringLiteral("DefaultRunLoopMode");

// A loop of one thread in one mode. Work posted to it runs on that thread, in posting order, when
// the thread serves that mode. The default mode is served by the thread's Qt event loop (the main
// thread, the network thread, any QThread running exec()). A private mode (any other name) is
// served only while its thread calls RunLoop::runOnce(mode): then nothing else queued for the
// thread runs, which is what a synchronous job needs to wait for its own sources only.
// Thread: post() from any thread; everything else on the loop's own thread unless stated.
class RunLoop : public std::enable_shared_from_this<RunLoop> {
 public:
  virtual ~RunLoop();

  // The calling thread's loop for `mode`, created on first use. The default mode needs a thread
  // with a Qt event dispatcher (it is created when the thread has none yet).
  static std::shared_ptr<RunLoop> current(const QString& mode = kDefaultRunLoopMode);
  // The default-mode loop of the main thread (the QCoreApplication's thread).
  static std::shared_ptr<RunLoop> main();

  // Serves the calling thread's loop for `mode` once: waits at most `timeoutSeconds` (without
  // limit by default) until queued work or a due timer is there, then runs what is due. Returns
  // false when the wait timed out with nothing served. For the default mode this processes the
  // thread's Qt events once.
  static bool runOnce(const QString& mode,
                      double timeoutSeconds = std::numeric_limits<double>::infinity());

  // Queues `fn` to run on the loop's thread when it serves this loop. Never runs `fn` inside the
  // call. Returns false (and drops `fn`) when the loop can no longer run anything. Posted from
  // inside a call that a default-mode loop of a thread other than the main thread runs, `fn`
  // wakes its (other) thread only when that loop has no more calls to run (at the latest 2 ms
  // after the first held wake-up), and such a thread wakes others at most once a millisecond:
  // a wake-up within a millisecond of its last one waits for the end of that millisecond, or
  // until the posting thread waits (runOnce, issueDeferredWakes) or ends. Posted by such a
  // thread to its own loop, `fn` runs before the thread next waits, without waking it.
  virtual bool post(std::function<void()> fn) = 0;

  // Wakes now the loops that calls posted by the running call of this thread's loop wait for.
  // Code that blocks the thread until another thread has run a posted call calls this first.
  static void issueDeferredWakes();

  // True when the calling thread is this loop's thread.
  bool isCurrent() const;
  QThread* thread() const { return thread_; }
  const QString& mode() const { return mode_; }

 protected:
  RunLoop(QThread* thread, QString mode);

 private:
  friend class Timer;
  // Timer plumbing, called on the loop's thread.
  virtual void addTimer(const std::shared_ptr<class Timer>& timer) = 0;
  virtual void removeTimer(class Timer* timer) = 0;

  QThread* thread_;
  QString mode_;
};

// A one-shot or repeating timer added to one loop. The callback runs on the loop's thread; a
// repeating timer runs until invalidated, a one-shot timer invalidates itself before its callback.
// The loop holds the timer while it is valid. Thread: create on the loop's thread; invalidate()
// and isValid() from any thread.
class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Callback = std::function<void(Timer&)>;

  // Adds a new timer firing every `intervalSeconds` to `loop`, which must be the calling thread's.
  static std::shared_ptr<Timer> schedule(const std::shared_ptr<RunLoop>& loop,
                                         double intervalSeconds, bool repeats, Callback callback);
  // The same on the calling thread's loop for `mode`.
  static std::shared_ptr<Timer> scheduleOnCurrent(double intervalSeconds, bool repeats,
                                                  Callback callback,
                                                  const QString& mode = kDefaultRunLoopMode);

  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Stops the timer for good; the callback is not run again. Safe to call more than once and
  // from inside the callback.
  void invalidate();
  bool isValid() const;
  double interval() const { return interval_; }
  bool repeats() const { return repeats_; }

 private:
  friend class QtRunLoop;
  friend class PrivateRunLoop;
  Timer(std::weak_ptr<RunLoop> loop, double interval, bool repeats, Callback callback);
  void fire();

  std::weak_ptr<RunLoop> loop_;
  double interval_;
  bool repeats_;
  Callback callback_;
  std::atomic<bool> valid_{true};  // false once invalidated
  void* impl_ = nullptr;           // the loop's own bookkeeping (a QTimer for the default mode)
};

}  // namespace platform
