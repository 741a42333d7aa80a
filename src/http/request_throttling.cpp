// Holding requests to the shared bandwidth limit: the class-wide operations over the process's
// bandwidth meter, pausing a request's stream until the wake-up time (on a timer, never in a
// loop) and resuming it, and the throttled body streams of uploads.
#include "http/http_request.h"

#include "http/request_class_state.h"
#include "http/throttle/bandwidth_meter.h"
#include "http/throttle/throttled_input_stream.h"
#include "http/transport/http_stream.h"

namespace http {

namespace {

throttle::BandwidthMeter& meter() { return throttle::BandwidthMeter::shared(); }

}  // namespace

// ---- Class-wide operations ---------------------------------------------------------------------

void HTTPRequest::setMaxBandwidthPerSecond(quint64 bytes) { meter().setMaxBandwidthPerSecond(bytes); }
quint64 HTTPRequest::maxBandwidthPerSecond() { return meter().maxBandwidthPerSecond(); }
bool HTTPRequest::isBandwidthThrottled() { return meter().isBandwidthThrottled(); }
void HTTPRequest::incrementBandwidthUsedInLastSecond(quint64 bytes) {
  meter().incrementBandwidthUsedInLastSecond(bytes);
}
void HTTPRequest::measureBandwidthUsage() { meter().measureBandwidthUsage(); }
quint64 HTTPRequest::averageBandwidthUsedPerSecond() { return meter().averageBandwidthUsedPerSecond(); }
quint64 HTTPRequest::maxUploadReadLength() { return meter().maxUploadReadLength(); }

// ---- One request ---------------------------------------------------------------------------------

void HTTPRequest::performThrottling() {
  if (!readStream_) return;
  meter().measureBandwidthUsage();
  const bool throttled = meter().isBandwidthThrottled();
  readStream_->setThrottled(throttled);
  if (!throttled) {
    resumeAfterThrottling();
    return;
  }
  const auto wakeUp = meter().throttleWakeUpTime();
  if (!wakeUp) return;
  if (*wakeUp > Clock::now()) pauseForThrottling(*wakeUp);
  else resumeAfterThrottling();
}

void HTTPRequest::pauseForThrottling(Clock::time_point wakeUpTime) {
  // Only a stream that delivers (or one held back at its start) is paused: a stream taken off
  // for another reason (a completed response waiting for credentials) stays as it is.
  if (readStreamIsScheduled_) {
    unscheduleReadStream();
    throttlePaused_ = true;
  }
  if (!throttlePaused_) return;

  std::weak_ptr<HTTPRequest> weakSelf = self();
  auto lookAgain = [weakSelf] {
    auto request = weakSelf.lock();
    if (!request) return;
    std::lock_guard lock(request->cancelledLock_);
    if (!request->complete_ && !request->cancelled_) request->performThrottling();
  };
  // Back exactly at the wake-up time, so a window is not lost waiting for the status timer.
  if (!throttleWakeTimer_ || !throttleWakeTimer_->isValid()) {
    const double seconds = std::chrono::duration<double>(wakeUpTime - Clock::now()).count();
    throttleWakeTimer_ = platform::Timer::scheduleOnCurrent(
        std::max(seconds, 0.001), false, [lookAgain](platform::Timer&) { lookAgain(); },
        runLoopMode_);
  }
  // A new limit (0 above all) must not wait for the old wake-up time.
  if (!throttleWaiterRegistered_) {
    throttleWaiterRegistered_ = true;
    auto loop = platform::RunLoop::current(runLoopMode_);
    meter().whenLimitChanges([weakSelf, loop, lookAgain] {
      loop->post([weakSelf, lookAgain] {
        if (auto request = weakSelf.lock()) {
          {
            std::lock_guard lock(request->cancelledLock_);
            request->throttleWaiterRegistered_ = false;
          }
          lookAgain();
        }
      });
    });
  }
}

void HTTPRequest::resumeAfterThrottling() {
  if (!throttlePaused_) return;
  throttlePaused_ = false;
  if (throttleWakeTimer_) throttleWakeTimer_->invalidate();
  throttleWakeTimer_.reset();
  if (!readStream_ || readStreamIsScheduled_) return;
  setReadStreamClient();
  scheduleReadStream();
}

void HTTPRequest::setReadStreamClient() {
  std::weak_ptr<HTTPRequest> weakSelf = self();
  readStream_->setClient([weakSelf](transport::StreamEvent event) {
    if (auto request = weakSelf.lock()) request->handleNetworkEvent(static_cast<int>(event));
  });
}

std::shared_ptr<transport::BodyStream> HTTPRequest::throttledBodyStream(
    std::shared_ptr<transport::BodyStream> source) {
  // The body is read on the transport's thread; the request's own throttling runs on its
  // thread, so it is posted there.
  std::weak_ptr<HTTPRequest> weakSelf = self();
  auto loop = platform::RunLoop::current(runLoopMode_);
  auto hook = [weakSelf, loop] {
    loop->post([weakSelf] {
      auto request = weakSelf.lock();
      if (!request) return;
      std::lock_guard lock(request->cancelledLock_);
      if (!request->complete_ && !request->cancelled_) request->performThrottling();
    });
  };
  return std::make_shared<throttle::ThrottledInputStream>(std::move(source), hook);
}

}  // namespace http
