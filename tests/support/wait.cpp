// Bounded waiting for tests on a thread with a Qt event loop.
#include "support/wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>

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

}  // namespace testsupport
