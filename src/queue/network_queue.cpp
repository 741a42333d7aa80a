// The request queue: adding requests and their measuring HEAD requests, forwarding reports,
// adding up progress, the failure cascade and the queue-finished call.
#include "queue/network_queue.h"

#include "platform/error.h"
#include "platform/threads.h"

namespace queue {
namespace {

// Priority of measuring HEAD requests: above the highest named level, so they run first.
constexpr int kHeadRequestPriority = 10;

const platform::Selector kSetDoubleValue("setDoubleValue:");
const platform::Selector kSetMaxValue("setMaxValue:");
const platform::Selector kAuthenticationNeeded("authenticationNeededForRequest:");
const platform::Selector kProxyAuthenticationNeeded("proxyAuthenticationNeededForRequest:");
const platform::Selector kWillRedirect("request:willRedirectToURL:");
const platform::Selector kRequestStarted("requestStarted:");
const platform::Selector kReceivedHeaders("request:didReceiveResponseHeaders:");

// Adds a signed amount to an unsigned total, wrapping around (a negative amount lowers it).
void addSigned(quint64& total, qint64 amount) { total += static_cast<quint64>(amount); }

}  // namespace

const platform::MethodTable& NetworkQueue::classMethods() {
  static const platform::MethodTable table(&platform::OperationQueue::classMethods(), {
      platform::method("requestStarted:", &NetworkQueue::requestStarted),
      platform::method("request:didReceiveResponseHeaders:", &NetworkQueue::requestReceivedResponseHeaders),
      platform::method("request:willRedirectToURL:", &NetworkQueue::requestWillRedirect),
      platform::method("requestFinished:", &NetworkQueue::requestFinished),
      platform::method("requestFailed:", &NetworkQueue::requestFailed),
      platform::method("request:didReceiveBytes:", &NetworkQueue::requestReceivedBytes),
      platform::method("request:didSendBytes:", &NetworkQueue::requestSentBytes),
      platform::method("request:incrementDownloadSizeBy:", &NetworkQueue::requestIncrementedDownloadSize),
      platform::method("request:incrementUploadSizeBy:", &NetworkQueue::requestIncrementedUploadSize),
      platform::method("authenticationNeededForRequest:", &NetworkQueue::authenticationNeededForRequest),
      platform::method("proxyAuthenticationNeededForRequest:", &NetworkQueue::proxyAuthenticationNeededForRequest),
  });
  return table;
}

std::shared_ptr<NetworkQueue> NetworkQueue::queue() { return std::make_shared<NetworkQueue>(); }

NetworkQueue::NetworkQueue() {
  setMaxConcurrentOperationCount(4);
  setSuspended(true);
}

NetworkQueue::~NetworkQueue() {
  // Requests still held learn that they have no queue: from now on they report to nobody else.
  for (const auto& operation : operations()) {
    if (auto request = std::dynamic_pointer_cast<http::HTTPRequest>(operation)) request->setQueue(nullptr);
  }
}

std::shared_ptr<NetworkQueue> NetworkQueue::selfQueue() const {
  return std::const_pointer_cast<NetworkQueue>(
      std::static_pointer_cast<const NetworkQueue>(weak_from_this().lock()));
}

void NetworkQueue::go() { setSuspended(false); }

void NetworkQueue::reset() {
  cancelAllOperations();
  delegate_.reset();
  uploadProgressDelegate_.reset();
  downloadProgressDelegate_.reset();
  requestDidStartSelector_ = {};
  requestDidReceiveResponseHeadersSelector_ = {};
  requestDidFailSelector_ = {};
  requestDidFinishSelector_ = {};
  queueDidFinishSelector_ = {};
  setSuspended(true);
}

void NetworkQueue::cancelAllOperations() {
  bytesUploadedSoFar_ = 0;
  totalBytesToUpload_ = 0;
  bytesDownloadedSoFar_ = 0;
  totalBytesToDownload_ = 0;
  {
    std::lock_guard lock(balancesMutex_);
    balances_.clear();
  }
  platform::OperationQueue::cancelAllOperations();
}

void NetworkQueue::addOperation(const std::shared_ptr<platform::Operation>& operation) {
  auto request = std::dynamic_pointer_cast<http::HTTPRequest>(operation);
  if (!request) {
    throw platform::NamedException(
        QStringLiteral("AttemptToAddInvalidRequest"),
        QStringLiteral("Attempted to add an object that was not an HTTPRequest to a NetworkQueue"));
  }
  if (request->queue().get() == this) {
    // Counted twice but run once, it would keep the queue from ever finishing.
    throw platform::NamedException(
        QStringLiteral("AttemptToAddRequestTwice"),
        QStringLiteral("Attempted to add a request to a NetworkQueue that already holds it"));
  }
  ++requestsCount_;
  Balance added;
  if (showAccurateProgress_) {
    request->buildPostBody();
    if (request->requestMethod() == QLatin1String("GET") && isSuspended()) {
      auto head = request->HEADRequest();
      addHEADOperation(head);
      request->addDependency(head);
      if (request->shouldResetDownloadProgress()) {
        resetProgressDelegate(Indicator::Download);
        request->setShouldResetDownloadProgress(false);
      }
    }
    request->buildPostBody();
    addSigned(totalBytesToUpload_, static_cast<qint64>(request->postLength()));
    added.uploadExpected = static_cast<qint64>(request->postLength());
  } else {
    addSigned(totalBytesToDownload_, 1);
    addSigned(totalBytesToUpload_, 1);
    added.downloadExpected = 1;
    added.uploadExpected = 1;
  }
  {
    std::lock_guard lock(balancesMutex_);
    Balance& balance = balances_[request.get()];
    balance.downloadExpected += added.downloadExpected;
    balance.uploadExpected += added.uploadExpected;
  }
  if (request->shouldResetUploadProgress()) {
    resetProgressDelegate(Indicator::Upload);
    request->setShouldResetUploadProgress(false);
  }
  request->setShowAccurateProgress(showAccurateProgress_);
  request->setQueue(selfQueue());
  platform::OperationQueue::addOperation(request);
}

void NetworkQueue::addHEADOperation(const std::shared_ptr<platform::Operation>& operation) {
  auto request = std::dynamic_pointer_cast<http::HTTPRequest>(operation);
  if (!request) return;
  request->setRequestMethod(QStringLiteral("HEAD"));
  request->setQueuePriority(kHeadRequestPriority);
  request->setShowAccurateProgress(true);
  request->setQueue(selfQueue());
  platform::OperationQueue::addOperation(request);
}

std::shared_ptr<NetworkQueue> NetworkQueue::copy() const {
  auto copy = queue();
  copy->setDelegate(delegate_);
  copy->requestDidStartSelector_ = requestDidStartSelector_;
  copy->requestWillRedirectSelector_ = requestWillRedirectSelector_;
  copy->requestDidReceiveResponseHeadersSelector_ = requestDidReceiveResponseHeadersSelector_;
  copy->requestDidFinishSelector_ = requestDidFinishSelector_;
  copy->requestDidFailSelector_ = requestDidFailSelector_;
  copy->queueDidFinishSelector_ = queueDidFinishSelector_;
  copy->setUploadProgressDelegate(uploadProgressDelegate_);
  copy->setDownloadProgressDelegate(downloadProgressDelegate_);
  copy->shouldCancelAllRequestsOnFailure_ = shouldCancelAllRequestsOnFailure_;
  copy->showAccurateProgress_ = showAccurateProgress_;
  copy->userInfo_ = userInfo_;
  return copy;
}

bool NetworkQueue::respondsToSelector(platform::Selector selector) const {
  if (selector == kAuthenticationNeeded || selector == kProxyAuthenticationNeeded) {
    return platform::responds(delegate_, selector);
  }
  if (selector == kWillRedirect) {
    return !requestWillRedirectSelector_.isNull() && platform::responds(delegate_, requestWillRedirectSelector_);
  }
  // The reports the queue only passes on: answered only when its delegate takes them.
  if (selector == kRequestStarted) {
    return !requestDidStartSelector_.isNull() && platform::responds(delegate_, requestDidStartSelector_);
  }
  if (selector == kReceivedHeaders) {
    return !requestDidReceiveResponseHeadersSelector_.isNull() &&
           platform::responds(delegate_, requestDidReceiveResponseHeadersSelector_);
  }
  return platform::OperationQueue::respondsToSelector(selector);
}

// ---- Progress indicators ----------------------------------------------------------------------

http::HTTPRequest::RecipientField NetworkQueue::indicatorField(Indicator which) const {
  std::weak_ptr<const NetworkQueue> weakSelf =
      std::static_pointer_cast<const NetworkQueue>(weak_from_this().lock());
  return [weakSelf, which]() -> std::shared_ptr<platform::Object> {
    auto self = weakSelf.lock();
    if (!self) return nullptr;
    return which == Indicator::Upload ? self->uploadProgressDelegate_.lock()
                                      : self->downloadProgressDelegate_.lock();
  };
}

void NetworkQueue::resetProgressDelegate(Indicator which) {
  std::weak_ptr<platform::Object> indicator =
      which == Indicator::Upload ? uploadProgressDelegate_ : downloadProgressDelegate_;
  platform::performOnMainThread([indicator] {
    auto target = indicator.lock();
    if (!target) return;
    if (target->respondsToSelector(kSetMaxValue)) target->perform(kSetMaxValue, 1.0);
    if (target->respondsToSelector(kSetDoubleValue)) target->perform(kSetDoubleValue, 0.0);
  }, platform::isMainThread());
}

void NetworkQueue::setUploadProgressDelegate(const std::weak_ptr<platform::Object>& indicator) {
  uploadProgressDelegate_ = indicator;
  resetProgressDelegate(Indicator::Upload);
}

void NetworkQueue::setDownloadProgressDelegate(const std::weak_ptr<platform::Object>& indicator) {
  downloadProgressDelegate_ = indicator;
  resetProgressDelegate(Indicator::Download);
}

// ---- Reports ------------------------------------------------------------------------------------

void NetworkQueue::requestStarted(const std::shared_ptr<http::HTTPRequest>& request) {
  if (!requestDidStartSelector_.isNull()) platform::perform(delegate_, requestDidStartSelector_, request);
}

void NetworkQueue::requestReceivedResponseHeaders(const std::shared_ptr<http::HTTPRequest>& request,
                                                  const platform::StringMap& headers) {
  if (!requestDidReceiveResponseHeadersSelector_.isNull()) {
    platform::perform(delegate_, requestDidReceiveResponseHeadersSelector_, request, headers);
  }
}

void NetworkQueue::requestWillRedirect(const std::shared_ptr<http::HTTPRequest>& request, const QUrl& url) {
  if (!requestWillRedirectSelector_.isNull()) platform::perform(delegate_, requestWillRedirectSelector_, request, url);
}

void NetworkQueue::settleProgress(const std::shared_ptr<http::HTTPRequest>& request) {
  Balance balance;
  {
    std::lock_guard lock(balancesMutex_);
    auto it = balances_.find(request.get());
    if (it == balances_.end()) return;
    balance = it->second;
    balances_.erase(it);
  }
  const qint64 download = balance.downloadExpected - balance.downloadReceived;
  const qint64 upload = balance.uploadExpected - balance.uploadSent;
  if (download != 0) {
    addSigned(bytesDownloadedSoFar_, download);
    if (downloadProgressDelegate_.lock()) {
      http::HTTPRequest::updateProgressIndicator(indicatorField(Indicator::Download), bytesDownloadedSoFar_,
                                                 totalBytesToDownload_);
    }
  }
  if (upload != 0) {
    addSigned(bytesUploadedSoFar_, upload);
    if (uploadProgressDelegate_.lock()) {
      http::HTTPRequest::updateProgressIndicator(indicatorField(Indicator::Upload), bytesUploadedSoFar_,
                                                 totalBytesToUpload_);
    }
  }
}

void NetworkQueue::requestFinished(const std::shared_ptr<http::HTTPRequest>& request) {
  auto keepAlive = selfQueue();
  settleProgress(request);
  --requestsCount_;
  if (!requestDidFinishSelector_.isNull()) platform::perform(delegate_, requestDidFinishSelector_, request);
  if (requestsCount_ == 0 && !queueDidFinishSelector_.isNull()) {
    platform::perform(delegate_, queueDidFinishSelector_, keepAlive);
  }
}

void NetworkQueue::requestFailed(const std::shared_ptr<http::HTTPRequest>& request) {
  auto keepAlive = selfQueue();
  settleProgress(request);
  --requestsCount_;
  if (!requestDidFailSelector_.isNull()) platform::perform(delegate_, requestDidFailSelector_, request);
  if (requestsCount_ == 0 && !queueDidFinishSelector_.isNull()) {
    platform::perform(delegate_, queueDidFinishSelector_, keepAlive);
  }
  if (shouldCancelAllRequestsOnFailure_ && requestsCount_ > 0) cancelAllOperations();
}

void NetworkQueue::requestReceivedBytes(const std::shared_ptr<http::HTTPRequest>& request, qint64 bytes) {
  {
    std::lock_guard lock(balancesMutex_);
    if (auto it = balances_.find(request.get()); it != balances_.end()) it->second.downloadReceived += bytes;
  }
  addSigned(bytesDownloadedSoFar_, bytes);
  if (downloadProgressDelegate_.lock()) {
    http::HTTPRequest::updateProgressIndicator(indicatorField(Indicator::Download), bytesDownloadedSoFar_,
                                               totalBytesToDownload_);
  }
}

void NetworkQueue::requestSentBytes(const std::shared_ptr<http::HTTPRequest>& request, qint64 bytes) {
  {
    std::lock_guard lock(balancesMutex_);
    if (auto it = balances_.find(request.get()); it != balances_.end()) it->second.uploadSent += bytes;
  }
  addSigned(bytesUploadedSoFar_, bytes);
  if (uploadProgressDelegate_.lock()) {
    http::HTTPRequest::updateProgressIndicator(indicatorField(Indicator::Upload), bytesUploadedSoFar_,
                                               totalBytesToUpload_);
  }
}

void NetworkQueue::requestIncrementedDownloadSize(const std::shared_ptr<http::HTTPRequest>& request,
                                                  qint64 bytes) {
  {
    std::lock_guard lock(balancesMutex_);
    if (auto it = balances_.find(request.get()); it != balances_.end()) it->second.downloadExpected += bytes;
  }
  addSigned(totalBytesToDownload_, bytes);
}

void NetworkQueue::requestIncrementedUploadSize(const std::shared_ptr<http::HTTPRequest>& request,
                                                qint64 bytes) {
  {
    std::lock_guard lock(balancesMutex_);
    if (auto it = balances_.find(request.get()); it != balances_.end()) it->second.uploadExpected += bytes;
  }
  addSigned(totalBytesToUpload_, bytes);
}

void NetworkQueue::authenticationNeededForRequest(const std::shared_ptr<http::HTTPRequest>& request) {
  platform::perform(delegate_, "authenticationNeededForRequest:", request);
}

void NetworkQueue::proxyAuthenticationNeededForRequest(const std::shared_ptr<http::HTTPRequest>& request) {
  platform::perform(delegate_, "proxyAuthenticationNeededForRequest:", request);
}

}  // namespace queue
