// Bounded waiting for tests on a thread with a Qt event loop.
#include "support/wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>

#include <semaphore>

namespace testsupport {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() >= limit.count()) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::usleep(200);
  }
  return true;
}

void serveFor(std::chrono::milliseconds duration) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < duration.count()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::usleep(200);
  }
}

void runOnThreadOf(QObject* context, const std::function<void()>& fn) {
  if (QThread::currentThread() == context->thread()) {
    fn();
    return;
  }
  std::binary_semaphore done(0);
  QMetaObject::invokeMethod(context, [&] {
    fn();
    done.release();
  }, Qt::QueuedConnection);
  done.acquire();
}

}  // namespace testsupport
