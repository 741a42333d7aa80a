// Bounded waiting for tests that run on the main thread: serve the main thread's event loop until a
// condition holds or a time limit passes, so a broken test fails instead of hanging.
#pragma once

#include <chrono>
#include <functional>

class QObject;

namespace testsupport {

// Serves queued work and timers of the calling thread's Qt event loop until `done` returns true or
// `limit` has passed. Returns the last value of `done`.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(20));

// Serves the calling thread's event loop for `duration` (lets late, unwanted events show up).
void serveFor(std::chrono::milliseconds duration);

// Runs `fn` on the thread `context` lives in and waits for it (at once when that is this thread).
void runOnThreadOf(QObject* context, const std::function<void()>& fn);

}  // namespace testsupport
