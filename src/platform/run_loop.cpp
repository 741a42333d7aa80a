// Run loops: the default mode on a thread's Qt event loop, private modes on a queue of our own
// that only the owning thread serves, and the timers of both.
#include "platform/run_loop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace platform {

RunLoop::RunLoop(QThread* thread, QString mode) : thread_(thread), mode_(std::move(mode)) {}
RunLoop::~RunLoop() = default;

bool RunLoop::isCurrent() const { return QThread::currentThread() == thread_; }

// ---------------------------------------------------------------------------------------------
// Default mode: queued calls to a context object living in the thread.

namespace {

// Longest time a drain holds back the wake-ups its calls caused.
constexpr std::chrono::milliseconds kLongestWakeDelay{2};

// While a posted call runs on a thread other than the main thread, the wake-ups it causes for
// other threads' loops wait until it returns: the woken thread would otherwise often find the
// request the call is working on still locked and go back to sleep. Calls still run in posting
// order; only the wake-up is later.
thread_local std::vector<std::function<void()>>* t_deferredWakes = nullptr;

// The posted-call queue whose drain is running a call on this thread, if any. A call posted to
// that same queue from inside the call needs no drain of its own: the running drain takes it
// next (and a nested event loop about to wait queues one for it, as for any other waiting call).
thread_local const void* t_drainingQueue = nullptr;

// True for the thread of the QCoreApplication.
bool isApplicationThread(QThread* thread) {
  QCoreApplication* app = QCoreApplication::instance();
  return app && thread == app->thread();
}

void issueWakes(std::vector<std::function<void()>>& wakes) {
  std::vector<std::function<void()>> now;
  now.swap(wakes);
  for (auto& wake : now) wake();
}

// The wake-ups the drains of a thread other than the main thread cause, issued at most once per
// kWakeInterval: the first after a quiet interval goes out at once, those that follow within the
// interval are held and go out together when it ends (a timer of the thread), when the thread
// waits for another one (issueDeferredWakes) or when it ends. While responses stream in, the loop
// they wake (the main thread's, mostly) then wakes about once per interval instead of once for
// every request or two; a lone response is not delayed. Touched on its thread only.
class HeldWakes {
 public:
  // `owner` holds this object; the timer's callback does nothing once it is gone.
  void hold(std::vector<std::function<void()>>& wakes, QObject* context,
            std::weak_ptr<void> owner) {
    const auto now = std::chrono::steady_clock::now();
    for (auto& wake : wakes) wakes_.push_back(std::move(wake));
    wakes.clear();
    const auto sinceLast = now - lastIssued_;
    if (sinceLast >= kWakeInterval || !context) {
      issue();
      return;
    }
    if (!timer_) {
      timer_ = new QTimer(context);
      timer_->setSingleShot(true);
      timer_->setTimerType(Qt::PreciseTimer);
      QObject::connect(timer_.data(), &QTimer::timeout, context, [this, owner = std::move(owner)] {
        if (auto alive = owner.lock()) issue();
      });
    }
    if (!timer_->isActive()) {
      timer_->start(std::chrono::ceil<std::chrono::milliseconds>(kWakeInterval - sinceLast));
    }
  }

  void issue() {
    if (wakes_.empty()) return;
    if (timer_) timer_->stop();
    lastIssued_ = std::chrono::steady_clock::now();
    issueWakes(wakes_);
  }

 private:
  static constexpr std::chrono::milliseconds kWakeInterval{1};

  std::vector<std::function<void()>> wakes_;
  std::chrono::steady_clock::time_point lastIssued_;
  QPointer<QTimer> timer_;
};

// This thread's held wake-ups, while its default loop lives.
thread_local HeldWakes* t_heldWakes = nullptr;

}  // namespace

class QtRunLoop final : public RunLoop {
 public:
  explicit QtRunLoop(QThread* thread) : RunLoop(thread, kDefaultRunLoopMode), context_(new QObject) {
    if (context_->thread() != thread) context_->moveToThread(thread);
  }
  ~QtRunLoop() override {
    // The context belongs to the loop's thread; let that thread delete it when it can.
    if (context_) context_->deleteLater();
  }

  bool post(std::function<void()> fn) override {
    if (!context_) return false;
    {
      std::lock_guard lock(posted_->mutex);
      posted_->work.push_back(std::move(fn));
      if (t_drainingQueue == posted_.get()) return true;
      // A drain already queued and not yet begun takes this call too: a burst of posts costs
      // the thread one wake-up.
      if (posted_->drainQueued) return true;
      // Posted by the loop's own thread (not the main thread) outside a drain, from a socket's
      // or a timer's handler say: the thread is awake, and runs the call before it next waits.
      if (isCurrent() && posted_->watching && !isApplicationThread(thread())) return true;
      posted_->drainQueued = true;
    }
    if (t_deferredWakes && !isCurrent()) {
      t_deferredWakes->push_back([context = context_, posted = posted_] { queueDrain(context, posted); });
      return true;
    }
    return queueDrain(context_, posted_);
  }

  QObject* context() const { return context_.data(); }

 private:
  // A Qt timer serving one of the loop's timers at a time: connected once, so that serving the
  // next costs no connecting and disconnecting. It holds the timer it serves: the loop holds its
  // valid timers.
  class LoopTimer final : public QTimer {
   public:
    explicit LoopTimer(QObject* parent) : QTimer(parent) {
      setTimerType(Qt::PreciseTimer);
      QObject::connect(this, &QTimer::timeout, this, [this] {
        if (std::shared_ptr<Timer> served = timer) served->fire();
      });
    }
    std::shared_ptr<Timer> timer;  // null while spare
  };

  void addTimer(const std::shared_ptr<Timer>& timer) override {
    LoopTimer* qtimer = nullptr;
    while (!qtimer && !spareTimers_.empty()) {
      qtimer = spareTimers_.back();
      spareTimers_.pop_back();
    }
    if (!qtimer) qtimer = new LoopTimer(context_.data());
    qtimer->setSingleShot(!timer->repeats());
    qtimer->setInterval(std::chrono::milliseconds(
        static_cast<qint64>(std::llround(std::max(0.0, timer->interval()) * 1000.0))));
    qtimer->timer = timer;
    timer->impl_ = qtimer;
    qtimer->start();
  }

  void removeTimer(Timer* timer) override {
    auto* qtimer = static_cast<LoopTimer*>(timer->impl_);
    timer->impl_ = nullptr;
    if (!qtimer) return;
    qtimer->stop();
    qtimer->timer.reset();
    // Stopped, it serves the next timer of this loop; only what exceeds a few spares is deleted.
    if (spareTimers_.size() < kSpareTimers) {
      spareTimers_.emplace_back(qtimer);
      return;
    }
    qtimer->deleteLater();
  }

  // Calls posted to the loop, in posting order, run by queued drains on the loop's thread.
  struct Posted : std::enable_shared_from_this<Posted> {
    std::mutex mutex;
    std::deque<std::function<void()>> work;
    bool drainQueued = false;  // a drain is queued and has not begun taking calls
    bool watching = false;     // watchForNestedLoops() is set up (loop's thread only)
    HeldWakes heldWakes;       // (loop's thread only)

    // Runs the calls one at a time, in order, including those posted meanwhile. Before each call
    // the next post queues a drain of its own, so that a call that serves the thread's events
    // (a nested event loop) still sees later posts run, after the calls queued before them.
    // A call that runs a nested event loop leaves the calls after it without a queued drain:
    // when the thread is about to wait in that loop, a drain is queued for them, so they run
    // there as they would without the batching. The same moment serves the calls a thread
    // other than the main thread posts to its own loop outside a drain: they run just before
    // it waits. Set up once, on the loop's thread.
    void watchForNestedLoops(const QPointer<QObject>& context) {
      QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
      if (watching || !dispatcher || !context) return;
      watching = true;
      t_heldWakes = &heldWakes;
      std::weak_ptr<Posted> weak = weak_from_this();
      QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, context.data(), [weak, context] {
        auto self = weak.lock();
        if (!self) return;
        // Off the main thread the calls run here and now, before the thread waits: nothing is
        // queued and nothing needs waking.
        const bool runHere = !isApplicationThread(QThread::currentThread());
        {
          std::lock_guard lock(self->mutex);
          if (self->work.empty() || self->drainQueued) return;
          if (!runHere) self->drainQueued = true;
        }
        if (runHere) self->drain(context);
        else queueDrain(context, self);
      });
    }

    void drain(const QPointer<QObject>& context) {
      watchForNestedLoops(context);
      // Not on the main thread: a call there may run a window's nested event loop, whose own
      // posts must not wait for it to end.
      QCoreApplication* app = QCoreApplication::instance();
      const bool deferWakes = app && QThread::currentThread() != app->thread();
      // The wake-ups are also gathered across the calls of this drain (the responses of several
      // requests handled in a row wake the main thread once), but never held for longer than
      // kLongestWakeDelay.
      std::vector<std::function<void()>> wakes;
      std::chrono::steady_clock::time_point firstWake;
      std::vector<std::function<void()>>* outer = t_deferredWakes;
      const void* outerQueue = t_drainingQueue;
      for (;;) {
        std::function<void()> fn;
        {
          std::lock_guard lock(mutex);
          drainQueued = false;
          if (work.empty()) break;
          fn = std::move(work.front());
          work.pop_front();
        }
        const bool hadWakes = !wakes.empty();
        t_deferredWakes = deferWakes ? &wakes : nullptr;
        t_drainingQueue = this;
        fn();
        t_drainingQueue = outerQueue;
        t_deferredWakes = outer;
        if (wakes.empty()) continue;
        const auto now = std::chrono::steady_clock::now();
        if (!hadWakes) firstWake = now;
        if (now - firstWake >= kLongestWakeDelay) issueWakes(wakes);
      }
      if (deferWakes && !wakes.empty()) heldWakes.hold(wakes, context.data(), weak_from_this());
    }
  };

  // Queues a drain of `posted` on the context's thread; when that is no longer possible, drops
  // the calls waiting for it.
  static bool queueDrain(const QPointer<QObject>& context, const std::shared_ptr<Posted>& posted) {
    if (context && QMetaObject::invokeMethod(context.data(), [context, posted] { posted->drain(context); },
                                             Qt::QueuedConnection)) {
      return true;
    }
    std::lock_guard lock(posted->mutex);
    posted->work.clear();
    posted->drainQueued = false;
    return false;
  }

  static constexpr std::size_t kSpareTimers = 16;

  QPointer<QObject> context_;
  // Stopped timers kept for reuse; touched only on the loop's thread (children of the context).
  std::vector<QPointer<LoopTimer>> spareTimers_;
  std::shared_ptr<Posted> posted_ = std::make_shared<Posted>();
};

// ---------------------------------------------------------------------------------------------
// Private modes: a queue and timers served only by runOnce() on the owning thread.

class PrivateRunLoop final : public RunLoop {
 public:
  PrivateRunLoop(QThread* thread, QString mode) : RunLoop(thread, std::move(mode)) {}

  bool post(std::function<void()> fn) override {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(fn));
    }
    wake_.notify_one();
    return true;
  }

  // Waits for queued work or a due timer (at most until `deadline`), then serves what is due.
  bool serveOnce(std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point wakeAt = deadline;
    for (const auto& entry : timers_) wakeAt = std::min(wakeAt, entry.due);

    std::deque<std::function<void()>> work;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, wakeAt, [&] { return !queue_.empty(); });
      work.swap(queue_);
    }
    bool served = !work.empty();
    for (auto& fn : work) fn();

    // Fire the timers that are due now; a callback may add or remove timers meanwhile.
    const Clock::time_point now = Clock::now();
    std::vector<std::shared_ptr<Timer>> due;
    for (auto& entry : timers_) {
      if (entry.due <= now) {
        due.push_back(entry.timer);
        entry.due = now + intervalOf(*entry.timer);
      }
    }
    for (auto& timer : due) {
      timer->fire();
      served = true;
    }
    return served;
  }

 private:
  struct TimerEntry {
    std::shared_ptr<Timer> timer;
    std::chrono::steady_clock::time_point due;
  };

  static std::chrono::steady_clock::duration intervalOf(const Timer& timer) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(std::max(0.0, timer.interval())));
  }

  void addTimer(const std::shared_ptr<Timer>& timer) override {
    timers_.push_back({timer, std::chrono::steady_clock::now() + intervalOf(*timer)});
  }

  void removeTimer(Timer* timer) override {
    std::erase_if(timers_, [timer](const TimerEntry& e) { return e.timer.get() == timer; });
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::vector<TimerEntry> timers_;  // touched only on the owning thread
};

// ---------------------------------------------------------------------------------------------
// Loop registry.

namespace {

std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}

// Default-mode loops by thread. Entries of finished threads are dropped when the thread ends.
std::map<QThread*, std::shared_ptr<QtRunLoop>>& defaultLoops() {
  static auto* loops = new std::map<QThread*, std::shared_ptr<QtRunLoop>>;
  return *loops;
}

std::shared_ptr<QtRunLoop> defaultLoopFor(QThread* thread) {
  std::lock_guard lock(registryMutex());
  auto& loops = defaultLoops();
  auto it = loops.find(thread);
  if (it != loops.end()) return it->second;
  auto loop = std::make_shared<QtRunLoop>(thread);
  loops.emplace(thread, loop);
  QObject::connect(thread, &QThread::finished, loop->context(), [thread] {
    // The thread's last held wake-ups go out before its loop does.
    if (t_heldWakes) t_heldWakes->issue();
    t_heldWakes = nullptr;
    std::shared_ptr<QtRunLoop> gone;
    std::lock_guard inner(registryMutex());
    auto found = defaultLoops().find(thread);
    if (found != defaultLoops().end()) {
      gone = std::move(found->second);
      defaultLoops().erase(found);
    }
  }, Qt::DirectConnection);
  return loop;
}

struct PrivateLoops {
  std::map<QString, std::shared_ptr<PrivateRunLoop>> byMode;
};

PrivateLoops& privateLoops() {
  thread_local PrivateLoops loops;
  return loops;
}

std::shared_ptr<PrivateRunLoop> privateLoopFor(const QString& mode) {
  auto& loops = privateLoops().byMode;
  auto it = loops.find(mode);
  if (it != loops.end()) return it->second;
  auto loop = std::make_shared<PrivateRunLoop>(QThread::currentThread(), mode);
  loops.emplace(mode, loop);
  return loop;
}

}  // namespace

std::shared_ptr<RunLoop> RunLoop::current(const QString& mode) {
  if (mode == kDefaultRunLoopMode) return defaultLoopFor(QThread::currentThread());
  return privateLoopFor(mode);
}

std::shared_ptr<RunLoop> RunLoop::main() {
  QCoreApplication* app = QCoreApplication::instance();
  Q_ASSERT_X(app, "RunLoop::main", "needs a QCoreApplication");
  return defaultLoopFor(app->thread());
}

void RunLoop::issueDeferredWakes() {
  if (t_deferredWakes) issueWakes(*t_deferredWakes);
  if (t_heldWakes) t_heldWakes->issue();
}

bool RunLoop::runOnce(const QString& mode, double timeoutSeconds) {
  // Whatever this thread waits for may need a loop it has posted to.
  issueDeferredWakes();
  using Clock = std::chrono::steady_clock;
  const bool noLimit = !std::isfinite(timeoutSeconds);
  if (mode != kDefaultRunLoopMode) {
    const Clock::time_point deadline =
        noLimit ? Clock::time_point::max()
                : Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(std::max(0.0, timeoutSeconds)));
    return privateLoopFor(mode)->serveOnce(deadline);
  }
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (!dispatcher) {
    // A thread without a dispatcher yet: a local event loop creates one.
    QEventLoop loop;
    dispatcher = QAbstractEventDispatcher::instance();
  }
  QTimer wake;
  if (!noLimit) {
    wake.setSingleShot(true);
    wake.start(std::chrono::milliseconds(static_cast<qint64>(std::max(0.0, timeoutSeconds) * 1000)));
  }
  return dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
}

// ---------------------------------------------------------------------------------------------
// Timers.

Timer::Timer(std::weak_ptr<RunLoop> loop, double interval, bool repeats, Callback callback)
    : loop_(std::move(loop)), interval_(interval), repeats_(repeats), callback_(std::move(callback)) {}

Timer::~Timer() = default;

std::shared_ptr<Timer> Timer::schedule(const std::shared_ptr<RunLoop>& loop, double intervalSeconds,
                                       bool repeats, Callback callback) {
  Q_ASSERT_X(loop && loop->isCurrent(), "Timer::schedule", "the loop must be the calling thread's");
  std::shared_ptr<Timer> timer(new Timer(loop, intervalSeconds, repeats, std::move(callback)));
  loop->addTimer(timer);
  return timer;
}

std::shared_ptr<Timer> Timer::scheduleOnCurrent(double intervalSeconds, bool repeats,
                                                Callback callback, const QString& mode) {
  return schedule(RunLoop::current(mode), intervalSeconds, repeats, std::move(callback));
}

bool Timer::isValid() const { return valid_.load(); }

void Timer::invalidate() {
  if (!valid_.exchange(false)) return;
  std::shared_ptr<RunLoop> loop = loop_.lock();
  if (!loop) return;
  if (loop->isCurrent()) {
    loop->removeTimer(this);
    return;
  }
  // The loop's bookkeeping belongs to its thread; remove the timer there (it no longer fires).
  std::weak_ptr<Timer> self = weak_from_this();
  loop->post([self, weakLoop = loop_] {
    auto timer = self.lock();
    auto l = weakLoop.lock();
    if (timer && l) l->removeTimer(timer.get());
  });
}

void Timer::fire() {
  if (!valid_.load()) return;
  std::shared_ptr<Timer> keepAlive = shared_from_this();
  if (!repeats_) invalidate();
  if (callback_) callback_(*this);
}

}  // namespace platform
