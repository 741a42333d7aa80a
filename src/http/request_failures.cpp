// How a request ends other than by finishing, and how it recovers: stream errors, the one silent
// retry on a new connection, the status timer and time-outs, cancellation and the failure path.
#include "http/http_request.h"

#include "http/auth/http_authentication.h"
#include "http/cache_delegate.h"
#include "http/output_file.h"
#include "http/request_class_state.h"
#include "http/status_ticks.h"
#include "http/transport/body_stream.h"
#include "http/transport/http_stream.h"
#include "http/transport/transport_error.h"
#include "platform/threads.h"

#include <QFile>

namespace http {

void HTTPRequest::handleStreamError() {
  platform::ErrorPtr underlying = readStream_ ? readStream_->error() : nullptr;
  if (error_) {
    cancelLoad();
    checkRequestStatus();
    return;
  }
  const transport::ErrorClass kind = transport::classifyError(underlying);
  // Only a reused idle connection that the peer dropped before answering is retried silently.
  const bool droppedIdleConnection = kind == transport::ErrorClass::ConnectionDropped && readStream_ &&
                                     readStream_->isReusedConnection();
  if (droppedIdleConnection && retryUsingNewConnection()) return;

  QString description = QStringLiteral("A connection failure occurred");
  if (kind == transport::ErrorClass::TlsFailure) {
    description = QStringLiteral(
                      "%1: SSL problem (Possible causes may include a bad/expired/self-signed "
                      "certificate, clock set to wrong date)")
                      .arg(description);
  }
  cancelLoad();
  failWithError(makeRequestError(ConnectionFailureErrorType, description, underlying));
  checkRequestStatus();
}

bool HTTPRequest::retryUsingNewConnection() {
  if (retryCount_ != 0) return false;
  willRetryRequest_ = true;
  cancelLoad();
  willRetryRequest_ = false;
  {
    RequestClassState& state = classState();
    std::lock_guard lock(state.connectionsLock);
    if (connectionInfo_) {
      connectionInfo_->request.reset();
      std::erase(state.persistentConnectionsPool, connectionInfo_);
      connectionInfo_.reset();
    }
  }
  ++retryCount_;
  startRequest();
  return true;
}

void HTTPRequest::prepareRetryAfterTimeOut() {
  // The stalled connection is given up for good: its socket closed, its record out of the pool.
  connectionCanBeReused_ = false;
  const bool inflatingToFile = inflatedFileDownloadOutputStream_ != nullptr;
  const bool flushed = closeDownloadOutputs();
  willRetryRequest_ = true;
  cancelLoad();
  willRetryRequest_ = false;
  dropConnectionRecord();
  // A file inflated on the fly cannot continue where the raw bytes stopped, and a file that
  // could not be flushed holds an unknown part: both start again from nothing.
  dataDecompressor_.reset();
  if (!flushed || inflatingToFile) removeTemporaryDownloadFile();
  if (error_) return;

  // Resume from what is really on disk; a fresh attempt asks for the whole body.
  partialDownloadSize_ = 0;
  updatePartialDownloadSize();
  if (error_) return;
  if (partialDownloadSize_ != 0) {
    const QString range = QStringLiteral("bytes=%1-").arg(partialDownloadSize_);
    addRequestHeader(QStringLiteral("Range"), range);
    if (requestMessage_) requestMessage_->headers.set("Range", range.toLatin1());
  } else if (allowResumeForFileDownloads_) {
    requestHeaders_.remove(QStringLiteral("Range"));
    if (requestMessage_) requestMessage_->headers.remove("Range");
  }
}

void HTTPRequest::dropConnectionRecord() {
  RequestClassState& state = classState();
  std::lock_guard lock(state.connectionsLock);
  if (!connectionInfo_) return;
  connectionInfo_->request.reset();
  if (connectionInfo_->stream) connectionInfo_->stream->close();
  connectionInfo_->stream.reset();
  std::erase(state.persistentConnectionsPool, connectionInfo_);
  transport::HttpStream::closeIdleConnections(connectionInfo_->id);
  connectionInfo_.reset();
}

// ---- Status timer and time-outs ---------------------------------------------------------------

void HTTPRequest::startStatusChecks() {
  // Each start has a generation of its own: the checks of an earlier start end with it.
  static std::atomic<std::uint64_t> lastGeneration{0};
  const std::uint64_t generation = ++lastGeneration;
  statusCheckGeneration_ = generation;
  StatusTicks::add(self(), generation, kStatusCheckInterval, runLoopMode_);
}

void HTTPRequest::stopStatusChecks() {
  if (statusCheckGeneration_.exchange(0) != 0) StatusTicks::remove(this, runLoopMode_);
}

bool HTTPRequest::checksStatusFor(std::uint64_t generation) const {
  return generation != 0 && statusCheckGeneration_.load() == generation;
}

void HTTPRequest::updateStatus() {
  auto keepAlive = self();
  checkRequestStatus();
  std::lock_guard lock(cancelledLock_);
  if (!inProgress_) stopStatusChecks();
}

bool HTTPRequest::shouldTimeOut() const {
  if (!readStream_ || !readStreamIsScheduled_ || !lastActivityTime_ || timeOutSeconds_ <= 0) {
    return false;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - *lastActivityTime_).count();
  if (elapsed <= timeOutSeconds_) return false;
  if (postLength_ == 0) return true;
  if (uploadBufferSize_ != 0 && totalBytesSent_ > uploadBufferSize_) return true;
  // The upload has not got past its first buffer yet: allow it half as long again.
  return elapsed > 1.5 * timeOutSeconds_;
}

void HTTPRequest::checkRequestStatus() {
  auto keepAlive = self();
  std::unique_lock lock(cancelledLock_);
  if (cancelled_ || complete_) return;
  performThrottling();

  if (!shouldTimeOut()) {
    if (readStream_ && postLength_ != 0) {
      lastBytesSent_ = totalBytesSent_;
      totalBytesSent_ = readStream_->requestBytesWritten();
      if (totalBytesSent_ > lastBytesSent_) lastActivityTime_ = Clock::now();
    }
    if (readStream_) updateProgressIndicators();
    return;
  }

  if (retryCount_ < numberOfTimesToRetryOnTimeout_) {
    ++retryCount_;
    prepareRetryAfterTimeOut();
    if (error_) return;  // the attempt's files could not be put in order
    lock.unlock();
    startRequest();
    return;
  }

  failWithError(RequestTimedOutError());
  cancelLoad();
  complete_ = true;
}

// ---- Cancellation ------------------------------------------------------------------------------

void HTTPRequest::cancel() {
  auto request = self();
  platform::performOnNetworkThread([request] { request->cancelOnRequestThread(); });
}

void HTTPRequest::cancelOnRequestThread() {
  auto keepAlive = self();
  std::lock_guard lock(cancelledLock_);
  if (cancelled_ || complete_) return;
  failWithError(RequestCancelledError());
  complete_ = true;
  cancelLoad();
  setCancelledFlag();
}

void HTTPRequest::setCancelledFlag() {
  willChangeValueForKey("isCancelled");
  cancelled_ = true;
  didChangeValueForKey("isCancelled");
}

void HTTPRequest::clearDelegatesAndCancel() {
  {
    std::lock_guard lock(cancelledLock_);
    delegate_.reset();
    queue_.reset();
    downloadProgressDelegate_.reset();
    uploadProgressDelegate_.reset();
    releaseBlocksOnMainThread();
  }
  cancel();
}

void HTTPRequest::cancelLoad() {
  cancelPACFetch();
  destroyReadStream();
  if (postBodyReadStream_) {
    postBodyReadStream_->close();
    postBodyReadStream_.reset();
  }
  if (rawResponseData_) {
    if (!complete_) rawResponseData_.reset();
  } else if (!temporaryFileDownloadPath_.isEmpty()) {
    fileDownloadOutputStream_.reset();
    inflatedFileDownloadOutputStream_.reset();
    if (!complete_) {
      if (!allowResumeForFileDownloads_) removeTemporaryDownloadFile();
      removeTemporaryUncompressedDownloadFile();
    }
  }
  if (authenticationNeeded_ == 0 && !willRetryRequest_ && didCreateTemporaryPostDataFile_) {
    removeTemporaryUploadFile();
    removeTemporaryCompressedUploadFile();
    didCreateTemporaryPostDataFile_ = false;
  }
}

// ---- The failure path --------------------------------------------------------------------------

void HTTPRequest::failWithError(const platform::ErrorPtr& theError) {
  auto keepAlive = self();
  if (!keepAlive) return;  // being destroyed: nobody is left to hear of it
  std::lock_guard lock(cancelledLock_);
  complete_ = true;

  if (theError && theError->code() != AuthenticationErrorType &&
      theError->code() != TooMuchRedirectionErrorType) {
    RequestClassState& state = classState();
    {
      std::lock_guard connections(state.connectionsLock);
      if (connectionInfo_) {
        connectionInfo_->request.reset();
        std::erase(state.persistentConnectionsPool, connectionInfo_);
      }
    }
    // The connection of a failed exchange is not trusted again.
    connectionCanBeReused_ = false;
  }
  // Whatever the failure, the stream stops: a kept connection stays open for its record.
  destroyReadStream();
  if (connectionCanBeReused_ && connectionInfo_) {
    std::lock_guard connections(classState().connectionsLock);
    connectionInfo_->expires = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(persistentConnectionTimeoutSeconds_));
  }
  if (cancelled_ || error_) return;

  if (auto cache = downloadCache_.lock();
      cache && (cachePolicy_ & FallbackToCacheIfLoadFailsCachePolicy) &&
      cache->canUseCachedDataForRequest(*this)) {
    useDataFromCache();
    return;
  }

  error_ = theError;
  std::shared_ptr<HTTPRequest> reporter = keepAlive;
  if (auto measured = mainRequest_.lock()) {
    measured->setError(theError);
    reporter = measured;
  }
  if (isPACFileRequest_) {
    reportPACFileEnd([reporter] { reporter->reportFailure(); });
  } else {
    platform::performOnMainThread([reporter] { reporter->reportFailure(); }, platform::isMainThread());
  }
  if (inProgress_) markAsFinished();
}

void HTTPRequest::markAsFinished() {
  auto keepAlive = self();
  std::lock_guard lock(cancelledLock_);
  requestMessage_.reset();
  requestAuthentication_.reset();
  proxyAuthentication_.reset();
  releaseAuthenticationWaiters();
  discardTemporaryUploadFiles();
  const bool wasFinished = finished_;
  const bool wasExecuting = inProgress_;
  if (!wasFinished) willChangeValueForKey("isFinished");
  if (wasExecuting) willChangeValueForKey("isExecuting");
  inProgress_ = false;
  finished_ = true;
  if (wasExecuting) didChangeValueForKey("isExecuting");
  if (!wasFinished) didChangeValueForKey("isFinished");
}

}  // namespace http
