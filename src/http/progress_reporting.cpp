// What a request tells its delegate, queue, progress indicators and blocks, always on the main
// thread, and how byte counts become progress values.
#include "http/http_request.h"

#include "http/request_class_state.h"
#include "platform/threads.h"

namespace http {
namespace {

const platform::Selector kSetDoubleValue("setDoubleValue:");
const platform::Selector kSetMaxValue("setMaxValue:");
const platform::Selector kDidReceiveBytes("request:didReceiveBytes:");
const platform::Selector kDidSendBytes("request:didSendBytes:");
const platform::Selector kIncrementDownloadSize("request:incrementDownloadSizeBy:");
const platform::Selector kIncrementUploadSize("request:incrementUploadSizeBy:");
const platform::Selector kQueueStarted("requestStarted:");
const platform::Selector kQueueReceivedHeaders("request:didReceiveResponseHeaders:");

bool answers(const std::shared_ptr<platform::Object>& recipient, platform::Selector selector) {
  return recipient && recipient->respondsToSelector(selector);
}

}  // namespace

// ---- The delivery mechanism ----------------------------------------------------------------------

void HTTPRequest::performSelector(platform::Selector selector, const RecipientField& field,
                                  platform::Arguments args, std::shared_ptr<void> keepAlive) {
  if (!answers(field(), selector)) return;
  platform::performOnMainThread(
      [selector, field, args = std::move(args), keepAlive = std::move(keepAlive)] {
        // Read the field again: a recipient cleared meanwhile is not called.
        std::shared_ptr<platform::Object> recipient = field();
        if (answers(recipient, selector)) recipient->performSelector(selector, args);
      },
      platform::isMainThread());
}

void HTTPRequest::updateProgressIndicator(const RecipientField& field, quint64 progress, quint64 total) {
  const double fraction = static_cast<double>(progress) / static_cast<double>(total);
  if (!answers(field(), kSetDoubleValue)) return;
  std::lock_guard lock(classState().progressLock);
  performSelector(kSetDoubleValue, field, {fraction}, nullptr);
}

std::shared_ptr<platform::Object> HTTPRequest::recipientNow(Recipient which) const {
  std::lock_guard lock(cancelledLock_);
  switch (which) {
    case Recipient::Delegate: return delegate_.lock();
    case Recipient::Queue: return queue_;
    case Recipient::UploadProgress: return uploadProgressDelegate_.lock();
    case Recipient::DownloadProgress: return downloadProgressDelegate_.lock();
  }
  return nullptr;
}

void HTTPRequest::showProgress(Recipient which, quint64 progress, quint64 total) {
  // Nothing to make for an indicator that is absent or does not listen.
  if (answers(recipientNow(which), kSetDoubleValue)) {
    updateProgressIndicator(recipientField(which), progress, total);
  }
}

HTTPRequest::RecipientField HTTPRequest::recipientField(Recipient which) {
  std::weak_ptr<HTTPRequest> weakSelf = self();
  return [weakSelf, which]() -> std::shared_ptr<platform::Object> {
    std::shared_ptr<HTTPRequest> request = weakSelf.lock();
    return request ? request->recipientNow(which) : nullptr;
  };
}

void HTTPRequest::reportAmount(platform::Selector selector, Recipient which, qint64 amount) {
  auto me = self();
  for (const Recipient recipient : {Recipient::Queue, which}) {
    // Nothing to make or post for a recipient that is absent or does not listen.
    if (!answers(recipientNow(recipient), selector)) continue;
    performSelector(selector, recipientField(recipient), {me, amount}, me);
  }
}

template <class Block>
Block HTTPRequest::blockNow(Block HTTPRequest::*field) const {
  std::lock_guard lock(cancelledLock_);
  return this->*field;
}

template <class Block, class... A>
void HTTPRequest::callBlockOnMainThread(Block HTTPRequest::*field, A... args) {
  if (!blockNow(field)) return;
  auto me = self();
  platform::performOnMainThread([me, field, args...] {
    // Read again at delivery: blocks released meanwhile are not called.
    if (Block block = me->blockNow(field)) block(args...);
  }, platform::isMainThread());
}

void HTTPRequest::setUploadProgressDelegate(const std::weak_ptr<platform::Object>& recipient) {
  {
    std::lock_guard lock(cancelledLock_);
    uploadProgressDelegate_ = recipient;
  }
  if (self()) performSelector(kSetMaxValue, recipientField(Recipient::UploadProgress), {1.0}, self());
}

void HTTPRequest::setDownloadProgressDelegate(const std::weak_ptr<platform::Object>& recipient) {
  {
    std::lock_guard lock(cancelledLock_);
    downloadProgressDelegate_ = recipient;
  }
  if (self()) performSelector(kSetMaxValue, recipientField(Recipient::DownloadProgress), {1.0}, self());
}

// ---- Event reports (main thread) ------------------------------------------------------------------

bool HTTPRequest::startWillBeHeard() const {
  if (mainRequest_.lock()) return false;
  std::lock_guard lock(cancelledLock_);
  return answers(delegate_.lock(), didStartSelector_) || startedBlock_ || answers(queue_, kQueueStarted);
}

bool HTTPRequest::headersWillBeHeard() const {
  if (mainRequest_.lock()) return false;
  std::lock_guard lock(cancelledLock_);
  return answers(delegate_.lock(), didReceiveResponseHeadersSelector_) || headersReceivedBlock_ ||
         answers(queue_, kQueueReceivedHeaders);
}

void HTTPRequest::requestStarted() {
  auto me = self();
  if (error() || mainRequest_.lock()) return;
  if (auto target = delegate().lock(); answers(target, didStartSelector_)) target->perform(didStartSelector_, me);
  if (auto block = blockNow(&HTTPRequest::startedBlock_)) block();
  if (auto target = queue(); answers(target, kQueueStarted)) target->perform(kQueueStarted, me);
}

void HTTPRequest::requestReceivedResponseHeaders(const platform::StringMap& headers) {
  auto me = self();
  if (error() || mainRequest_.lock()) return;
  if (auto target = delegate().lock(); answers(target, didReceiveResponseHeadersSelector_)) {
    target->perform(didReceiveResponseHeadersSelector_, me, headers);
  }
  if (auto block = blockNow(&HTTPRequest::headersReceivedBlock_)) block(headers);
  if (auto target = queue(); answers(target, kQueueReceivedHeaders)) {
    target->perform(kQueueReceivedHeaders, me, headers);
  }
}

void HTTPRequest::requestWillRedirectToURL(const QUrl& newURL) {
  auto me = self();
  if (error() || mainRequest_.lock()) return;
  if (auto target = delegate().lock(); answers(target, willRedirectSelector_)) {
    target->perform(willRedirectSelector_, me, newURL);
  }
  if (auto target = queue(); answers(target, "request:willRedirectToURL:")) {
    target->perform("request:willRedirectToURL:", me, newURL);
  }
}

void HTTPRequest::requestRedirected() {
  auto me = self();
  if (error() || mainRequest_.lock()) return;
  if (auto target = delegate().lock(); answers(target, "requestRedirected:")) {
    target->perform("requestRedirected:", me);
  }
  if (auto block = blockNow(&HTTPRequest::requestRedirectedBlock_)) block();
}

void HTTPRequest::requestFinished() {
  if (error() || mainRequest_.lock()) return;
  auto me = self();
  if (isPACFileRequest_) {
    reportPACFileEnd([me] { me->reportFinished(); });
    return;
  }
  platform::performOnMainThread([me] { me->reportFinished(); }, platform::isMainThread());
}

void HTTPRequest::reportPACFileEnd(std::function<void()> report) {
  // The request waiting for this script hears of it on this thread, but after the call that
  // holds this request's lock: it takes its own lock, and cancelling it takes the two locks the
  // other way round. A synchronous script request reports where it ran, at once.
  if (platform::isNetworkThread()) platform::performOnNetworkThread(std::move(report));
  else report();
}

void HTTPRequest::reportFinished() {
  auto me = self();
  if (auto target = delegate().lock(); answers(target, didFinishSelector_)) target->perform(didFinishSelector_, me);
  if (auto block = blockNow(&HTTPRequest::completionBlock_)) block();
  if (auto target = queue(); answers(target, "requestFinished:")) target->perform("requestFinished:", me);
}

void HTTPRequest::reportFailure() {
  auto me = self();
  if (auto target = delegate().lock(); answers(target, didFailSelector_)) target->perform(didFailSelector_, me);
  if (auto block = blockNow(&HTTPRequest::failureBlock_)) block();
  if (auto target = queue(); answers(target, "requestFailed:")) target->perform("requestFailed:", me);
}

void HTTPRequest::passOnReceivedData(const QByteArray& data) {
  auto me = self();
  if (auto target = delegate().lock(); answers(target, didReceiveDataSelector_)) {
    target->perform(didReceiveDataSelector_, me, data);
  }
  if (auto block = blockNow(&HTTPRequest::dataReceivedBlock_)) block(data);
}

// ---- Progress ----------------------------------------------------------------------------------

void HTTPRequest::updateProgressIndicators() {
  if (mainRequest_.lock()) return;
  if (showAccurateProgress_ || (complete_ && !updatedProgress_)) {
    updateUploadProgress();
    updateDownloadProgress();
  }
}

void HTTPRequest::updateDownloadProgress() {
  if (!responseHeaders_ || needsRedirect_ || (contentLength_ == 0 && !complete_)) return;
  const quint64 soFar = totalBytesRead_ + partialDownloadSize_;
  qint64 value = 0;
  if (showAccurateProgress_ && contentLength_ != 0) {
    value = static_cast<qint64>(soFar - lastBytesRead_);
    if (value == 0) return;
  } else {
    value = 1;
    updatedProgress_ = true;
  }
  reportAmount(kDidReceiveBytes, Recipient::DownloadProgress, value);
  attemptDownloadReported_ += value;
  const quint64 total = contentLength_ + partialDownloadSize_;
  showProgress(Recipient::DownloadProgress, soFar, total);
  callBlockOnMainThread(&HTTPRequest::bytesReceivedBlock_, value, static_cast<qint64>(total));
  lastBytesRead_ = soFar;
}

void HTTPRequest::updateUploadProgress() {
  if (isCancelled() || totalBytesSent_ == 0) return;
  if (uploadBufferSize_ == 0 && totalBytesSent_ != postLength_) {
    // The first bytes reported as written only filled the send buffer: keep them out of progress.
    uploadBufferSize_ = totalBytesSent_;
    incrementUploadSizeBy(-static_cast<qint64>(uploadBufferSize_));
  }
  qint64 value = 0;
  if (showAccurateProgress_) {
    if (totalBytesSent_ != postLength_ && lastBytesSent_ == 0) return;  // the baseline only
    value = static_cast<qint64>(totalBytesSent_ - lastBytesSent_);
  } else {
    value = 1;
    updatedProgress_ = true;
  }
  if (value == 0) return;
  reportAmount(kDidSendBytes, Recipient::UploadProgress, value);
  showProgress(Recipient::UploadProgress, totalBytesSent_ - uploadBufferSize_,
               postLength_ - uploadBufferSize_);
  callBlockOnMainThread(&HTTPRequest::bytesSentBlock_, value, static_cast<qint64>(postLength_));
}

void HTTPRequest::withdrawAttemptDownloadProgress() {
  if (attemptDownloadReported_ != 0) {
    const qint64 value = -attemptDownloadReported_;
    reportAmount(kDidReceiveBytes, Recipient::DownloadProgress, value);
    callBlockOnMainThread(&HTTPRequest::bytesReceivedBlock_, value,
                          static_cast<qint64>(contentLength_ + partialDownloadSize_));
  }
  if (attemptDownloadSize_ != 0) incrementDownloadSizeBy(-attemptDownloadSize_);
  attemptDownloadReported_ = 0;
  attemptDownloadSize_ = 0;
  updatedProgress_ = false;
}

void HTTPRequest::incrementDownloadSizeBy(qint64 length) {
  reportAmount(kIncrementDownloadSize, Recipient::DownloadProgress, length);
  callBlockOnMainThread(&HTTPRequest::downloadSizeIncrementedBlock_, length);
}

void HTTPRequest::incrementUploadSizeBy(qint64 length) {
  reportAmount(kIncrementUploadSize, Recipient::UploadProgress, length);
  callBlockOnMainThread(&HTTPRequest::uploadSizeIncrementedBlock_, length);
}

void HTTPRequest::removeUploadProgressSoFar() {
  const qint64 value = -static_cast<qint64>(totalBytesSent_);
  reportAmount(kDidSendBytes, Recipient::UploadProgress, value);
  showProgress(Recipient::UploadProgress, 0, postLength_);
  callBlockOnMainThread(&HTTPRequest::bytesSentBlock_, value, static_cast<qint64>(postLength_));
}

}  // namespace http
