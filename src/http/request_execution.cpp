// Running a request: the three ways to start it, preparing the message, opening the stream over a
// reused or new connection from the class-wide pool, and handling the stream's events.
#include "http/http_request.h"

#include "compression/data_decompressor.h"
#include "http/cache_delegate.h"
#include "http/request_class_state.h"
#include "http/status_ticks.h"
#include "http/throttle/bandwidth_meter.h"
#include "http/transport/body_stream.h"
#include "http/transport/http_stream.h"
#include "platform/log.h"
#include "platform/operation_queue.h"
#include "platform/threads.h"

#include <QFile>
#include <QFileInfo>

namespace http {
namespace {

// Read sizes chosen by the announced length.
constexpr qint64 kSmallReadSize = 16384;
constexpr qint64 kMediumReadSize = 65536;
constexpr qint64 kLargeReadSize = 262144;

// The buffer a read from a response stream goes into: one per thread, taken for the read and the
// handling of what it read (a read nested in that handling, from a callback, makes its own).
// Allocating one per request cost each small download a 16 KiB allocation.
class ReadBuffer {
 public:
  explicit ReadBuffer(qint64 size) : data_(std::move(spare())) {
    if (data_.size() < size) data_.resize(size);
  }
  ~ReadBuffer() {
    if (spare().size() < data_.size()) spare() = std::move(data_);
  }
  ReadBuffer(const ReadBuffer&) = delete;
  ReadBuffer& operator=(const ReadBuffer&) = delete;

  char* data() { return data_.data(); }

 private:
  static QByteArray& spare() {
    thread_local QByteArray buffer;
    return buffer;
  }

  QByteArray data_;
};

}  // namespace

// ---- Starting ------------------------------------------------------------------------------

void HTTPRequest::startAsynchronous() { sharedQueue()->addOperation(self()); }

void HTTPRequest::start() {
  {
    std::lock_guard lock(cancelledLock_);
    if (!inProgress_) {
      willChangeValueForKey("isExecuting");
      inProgress_ = true;
      didChangeValueForKey("isExecuting");
    }
  }
  auto request = self();
  platform::performOnNetworkThread([request] { request->main(); });
}

void HTTPRequest::startSynchronous() {
  auto keepAlive = self();
  setSynchronous(true);
  setRunLoopMode(HTTPRequestRunLoopMode);
  {
    std::lock_guard lock(cancelledLock_);
    willChangeValueForKey("isExecuting");
    inProgress_ = true;
    didChangeValueForKey("isExecuting");
    synchronousRunLoop_ = platform::RunLoop::current(runLoopMode_);
  }
  if (platform::isNetworkThread()) {
    // The network thread serves every connection: waiting on it for a response would wait for
    // ever. Nothing of the engine does this; a caller that tries is told at once.
    failWithError(makeRequestError(InternalErrorWhileBuildingRequestType,
                                   QStringLiteral("A synchronous request cannot run on the network thread")));
  } else if (!isCancelled() && !complete_) {
    main();
    // The stream and the status timer are served in the private mode only: nothing else queued
    // for this thread runs until the request has finished or failed. A request that is complete
    // but waits (for a redirect the delegate must confirm, say) waits at most its time-out.
    Clock::time_point waitingSince = Clock::now();
    bool waiting = false;
    while (!isFinished()) {
      platform::RunLoop::runOnce(runLoopMode_, kStatusCheckInterval);
      std::lock_guard lock(cancelledLock_);
      if (finished_ || !complete_) {
        waiting = false;
        continue;
      }
      if (!waiting) waitingSince = Clock::now();
      waiting = true;
      const double waited = std::chrono::duration<double>(Clock::now() - waitingSince).count();
      if (timeOutSeconds_ > 0 && waited > timeOutSeconds_) {
        if (error_) markAsFinished();
        else failWithError(RequestTimedOutError());
      }
    }
  }
  std::lock_guard lock(cancelledLock_);
  inProgress_ = false;
  synchronousRunLoop_.reset();
}

void HTTPRequest::main() {
  auto keepAlive = self();
  std::lock_guard lock(cancelledLock_);
  try {
    if (error_) {
      complete_ = true;
      markAsFinished();
      return;
    }
    complete_ = false;
    didUseCachedResponse_ = false;

    if (url_.isEmpty()) {
      failWithError(UnableToCreateRequestError());
      return;
    }
    if (!mainRequest_.lock()) {
      buildPostBody();
      // A body that could not be built has already failed the request: go no further.
      if (error_) return;
    }
    if (requestMethod_ != QLatin1String("GET")) downloadCache_.reset();

    transport::RequestHead head;
    head.method = requestMethod_.toLatin1();
    head.url = url_;
    head.version = useHTTPVersionOne_ ? transport::HttpVersion::Http10 : transport::HttpVersion::Http11;
    if (!head.validate().isEmpty()) {
      failWithError(UnableToCreateRequestError());
      return;
    }
    requestMessage_ = std::move(head);

    if (auto measured = mainRequest_.lock()) measured->buildRequestHeaders();
    buildRequestHeaders();

    if (auto cache = downloadCache_.lock()) {
      if (cachePolicy_ == UseDefaultCachePolicy) cachePolicy_ = cache->defaultCachePolicy();
      if (cache->canUseCachedDataForRequest(*this)) {
        useDataFromCache();
        return;
      }
      if (cachePolicy_ & (AskServerIfModifiedWhenStaleCachePolicy | AskServerIfModifiedCachePolicy)) {
        platform::StringMap cached = cache->cachedResponseHeadersForURL(url_);
        if (cached.contains(QStringLiteral("Etag"))) {
          addRequestHeader(QStringLiteral("If-None-Match"), cached.value(QStringLiteral("Etag")));
        }
        if (cached.contains(QStringLiteral("Last-Modified"))) {
          addRequestHeader(QStringLiteral("If-Modified-Since"),
                           cached.value(QStringLiteral("Last-Modified")));
        }
      }
    }

    applyAuthorizationHeader();

    for (auto it = requestHeaders_.cbegin(); it != requestHeaders_.cend(); ++it) {
      requestMessage_->headers.set(it.key().toLatin1(), it.value().toUtf8());
    }
    if (!requestMessage_->validate().isEmpty()) {
      failWithError(UnableToCreateRequestError());
      return;
    }

    if (configureProxies()) startRequest();
  } catch (const platform::NamedException& exception) {
    auto underlying = platform::Error::make(NetworkRequestErrorDomain, UnhandledExceptionError, {},
                                            {}, nullptr, exception.userInfo());
    failWithError(platform::Error::make(NetworkRequestErrorDomain, UnhandledExceptionError,
                                        exception.name(), exception.reason(), underlying));
  } catch (const std::exception& exception) {
    const QString reason = QString::fromUtf8(exception.what());
    auto underlying = platform::Error::make(NetworkRequestErrorDomain, UnhandledExceptionError, reason);
    failWithError(platform::Error::make(NetworkRequestErrorDomain, UnhandledExceptionError,
                                        QStringLiteral("std::exception"), reason, underlying));
  }
}

void HTTPRequest::buildRequestHeaders() {
  if (haveBuiltRequestHeaders_) return;
  haveBuiltRequestHeaders_ = true;

  if (auto measured = mainRequest_.lock()) {
    const platform::StringMap headers = measured->requestHeaders();
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) addRequestHeader(it.key(), it.value());
    return;
  }

  applyCookieHeader();
  if (!requestHeaders_.contains(QStringLiteral("User-Agent"))) {
    QString agent = userAgentString_;
    if (agent.isEmpty()) agent = defaultUserAgentString();
    if (!agent.isEmpty()) addRequestHeader(QStringLiteral("User-Agent"), agent);
  }
  if (allowCompressedResponse_) addRequestHeader(QStringLiteral("Accept-Encoding"), QStringLiteral("gzip"));
  // Only a body that is sent has an encoding (a redirect to GET drops the body).
  if (shouldCompressRequestBody_ && postLength_ > 0) {
    addRequestHeader(QStringLiteral("Content-Encoding"), QStringLiteral("gzip"));
  }
  updatePartialDownloadSize();
  if (partialDownloadSize_ != 0) {
    addRequestHeader(QStringLiteral("Range"), QStringLiteral("bytes=%1-").arg(partialDownloadSize_));
  }
}

std::shared_ptr<HTTPRequest> HTTPRequest::HEADRequest() {
  auto head = makeRequestOfSameClass(url());
  head->requestHeaders_ = requestHeaders_;
  head->requestCookies_ = requestCookies_;
  head->useCookiePersistence_ = useCookiePersistence_;
  head->useKeychainPersistence_ = useKeychainPersistence_;
  head->useSessionPersistence_ = useSessionPersistence_;
  head->allowCompressedResponse_ = allowCompressedResponse_;
  head->username_ = username_;
  head->password_ = password_;
  head->domain_ = domain_;
  head->proxyUsername_ = proxyUsername_;
  head->proxyPassword_ = proxyPassword_;
  head->proxyDomain_ = proxyDomain_;
  head->proxyHost_ = proxyHost_;
  head->proxyPort_ = proxyPort_;
  head->proxyType_ = proxyType_;
  head->shouldPresentAuthenticationDialog_ = shouldPresentAuthenticationDialog_;
  head->shouldPresentProxyAuthenticationDialog_ = shouldPresentProxyAuthenticationDialog_;
  head->timeOutSeconds_ = timeOutSeconds_;
  head->useHTTPVersionOne_ = useHTTPVersionOne_;
  head->validatesSecureCertificate_ = validatesSecureCertificate_;
  head->clientIdentity_ = clientIdentity_;
  head->clientCertificates_ = clientCertificates_;
  head->PACurl_ = PACurl_;
  head->shouldPresentCredentialsBeforeChallenge_ = shouldPresentCredentialsBeforeChallenge_;
  head->numberOfTimesToRetryOnTimeout_ = numberOfTimesToRetryOnTimeout_;
  head->shouldUseRFC2616RedirectBehaviour_ = shouldUseRFC2616RedirectBehaviour_;
  head->shouldAttemptPersistentConnection_ = shouldAttemptPersistentConnection_;
  head->persistentConnectionTimeoutSeconds_ = persistentConnectionTimeoutSeconds_;
  head->mainRequest_ = self();
  head->setRequestMethod(QStringLiteral("HEAD"));
  return head;
}

std::optional<int> HTTPRequest::connectionID() const {
  std::lock_guard lock(classState().connectionsLock);
  if (!connectionInfo_) return std::nullopt;
  return connectionInfo_->id;
}

// ---- Opening the stream ----------------------------------------------------------------------

void HTTPRequest::startRequest() {
  auto keepAlive = self();
  std::lock_guard lock(cancelledLock_);
  if (cancelled_) return;

  if (startWillBeHeard()) {
    platform::performOnMainThread([keepAlive] { keepAlive->requestStarted(); }, platform::isMainThread());
  }

  // A new attempt (a retry, a redirect, an authentication round) counts its body afresh.
  withdrawAttemptDownloadProgress();
  downloadComplete_ = false;
  complete_ = false;
  totalBytesRead_ = 0;
  lastBytesRead_ = 0;
  if (redirectCount_ == 0) originalURL_ = url_;
  if (lastBytesSent_ != 0) removeUploadProgressSoFar();
  lastBytesSent_ = 0;
  contentLength_ = 0;
  responseHeaders_.reset();
  if (downloadDestinationPath_.isEmpty()) rawResponseData_ = QByteArray();
  // A stream of an earlier attempt still attached (an authentication retry) is let go, so the
  // count of running requests stays exact.
  if (readStream_) destroyReadStream();
  readStreamIsScheduled_ = false;

  // The body, if any, streams from its file or from memory (compressed copies preferred).
  if (!makePostBodyReadStream()) return;
  if (postBodyReadStream_) postBodyReadStream_ = throttledBodyStream(postBodyReadStream_);
  if (!requestMessage_) {
    failWithError(makeRequestError(InternalErrorWhileBuildingRequestType,
                                   QStringLiteral("Unable to create read stream")));
    return;
  }
  readStream_ = transport::HttpStream::create(*requestMessage_, postBodyReadStream_);
  if (!readStream_) {
    failWithError(makeRequestError(InternalErrorWhileBuildingRequestType,
                                   QStringLiteral("Unable to create read stream")));
    return;
  }

  if (url_.scheme().toLower() == QLatin1String("https")) {
    transport::TlsOptions tls;
    if (!validatesSecureCertificate_) {
      tls.allowsExpiredCertificates = true;
      tls.allowsAnyRoot = true;
      tls.validatesCertificateChain = false;
      tls.checksPeerName = false;
    }
    if (clientIdentity_) {
      // The certificate list replaces the settings above: the identity, then the extra ones.
      tls = transport::TlsOptions();
      auto identity = std::make_shared<transport::ClientIdentity>(*clientIdentity_);
      identity->chain = clientCertificates_;
      tls.clientIdentity = identity;
    }
    readStream_->setTlsOptions(tls);
  }

  if (!proxyHost_.isEmpty() && proxyPort_ != 0) {
    if (proxyType_.isEmpty()) proxyType_ = QStringLiteral("HTTP");
    transport::ProxySettings proxy;
    const bool socks = proxyType_.compare(QLatin1String("SOCKS"), Qt::CaseInsensitive) == 0 ||
                       proxyType_.compare(QLatin1String("SOCKS5"), Qt::CaseInsensitive) == 0;
    proxy.type = socks ? transport::ProxySettings::Type::Socks5 : transport::ProxySettings::Type::Http;
    proxy.host = proxyHost_;
    proxy.port = static_cast<quint16>(proxyPort_);
    if (socks) {
      // A SOCKS5 proxy asks for the user name and password itself (RFC 1929).
      proxy.user = proxyUsername_;
      proxy.password = proxyPassword_;
    }
    readStream_->setProxy(proxy);
  }

  expirePersistentConnections();

  std::shared_ptr<transport::HttpStream> oldStream;
  {
    RequestClassState& state = classState();
    std::lock_guard connections(state.connectionsLock);
    if (url_.host().isEmpty() || url_.scheme().isEmpty()) {
      connectionInfo_.reset();
      shouldAttemptPersistentConnection_ = false;
    }
    if (shouldAttemptPersistentConnection_) {
      if (connectionInfo_) {
        if (!connectionInfo_->matches(url_)) {
          connectionInfo_.reset();
        } else if (connectionInfo_->expires && *connectionInfo_->expires <= Clock::now()) {
          std::erase(state.persistentConnectionsPool, connectionInfo_);
          connectionInfo_.reset();
        } else if (connectionInfo_->request) {
          connectionInfo_.reset();
        }
      }
      if (!connectionInfo_) {
        // The last matching idle record in pool order wins.
        for (const auto& record : state.persistentConnectionsPool) {
          if (!record->request && record->matches(url_)) connectionInfo_ = record;
        }
      }
      if (connectionInfo_ && connectionInfo_->stream) oldStream = connectionInfo_->stream;
      if (!connectionInfo_) {
        auto record = std::make_shared<ConnectionRecord>();
        record->id = ++state.nextConnectionNumberToCreate;
        record->host = url_.host();
        record->port = std::max(url_.port(), 0);
        record->scheme = url_.scheme();
        state.persistentConnectionsPool.push_back(record);
        connectionInfo_ = record;
      }
      if (!requestID_) requestID_ = ++state.nextRequestID;
      connectionInfo_->request = requestID_;
      connectionInfo_->stream = readStream_;
      readStream_->setShouldAttemptPersistentConnection(true);
      readStream_->setConnectionId(connectionInfo_->id);
    }
  }

  // While the bandwidth limit holds every request back, a new stream waits for the wake-up time.
  readStream_->setThrottled(isBandwidthThrottled());
  throttlePaused_ = false;
  if (const auto wakeUp = throttle::BandwidthMeter::shared().throttleWakeUpTime();
      !readStreamIsScheduled_ && isBandwidthThrottled() && wakeUp && *wakeUp > Clock::now()) {
    throttlePaused_ = true;
    pauseForThrottling(*wakeUp);
  } else if (!readStreamIsScheduled_) {
    scheduleReadStream();
  }

  setReadStreamClient();
  const bool opened = readStream_->open();

  if (oldStream && oldStream != readStream_) oldStream->close();

  if (!opened) {
    connectionCanBeReused_ = false;
    destroyReadStream();
    failWithError(makeRequestError(InternalErrorWhileBuildingRequestType,
                                   QStringLiteral("Unable to start HTTP connection")));
    return;
  }

  if (!mainRequest_.lock()) {
    if (shouldResetUploadProgress_) {
      incrementUploadSizeBy(showAccurateProgress_ ? static_cast<qint64>(postLength_) : 1);
      showProgress(Recipient::UploadProgress, 0, 1);
    }
    if (shouldResetDownloadProgress_ && partialDownloadSize_ == 0) {
      showProgress(Recipient::DownloadProgress, 0, 1);
    }
  }
  lastActivityTime_ = Clock::now();
  startStatusChecks();
}

void HTTPRequest::expirePersistentConnections() {
  RequestClassState& state = classState();
  std::lock_guard lock(state.connectionsLock);
  const auto now = Clock::now();
  auto& pool = state.persistentConnectionsPool;
  for (std::size_t i = 0; i < pool.size();) {
    const auto& record = pool[i];
    if (!record->request && record->expires && *record->expires <= now) {
      if (record->stream) record->stream->close();
      transport::HttpStream::closeIdleConnections(record->id);
      pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
  }
}

void HTTPRequest::scheduleReadStream() {
  if (!readStream_ || readStreamIsScheduled_) return;
  {
    std::lock_guard lock(classState().connectionsLock);
    ++classState().runningRequestCount;
  }
  lastActivityTime_ = Clock::now();
  readStream_->schedule(platform::RunLoop::current(runLoopMode_));
  readStreamIsScheduled_ = true;
}

void HTTPRequest::unscheduleReadStream() {
  if (!readStream_ || !readStreamIsScheduled_) return;
  {
    std::lock_guard lock(classState().connectionsLock);
    --classState().runningRequestCount;
  }
  readStream_->setClient(nullptr);
  readStream_->unschedule();
  readStreamIsScheduled_ = false;
}

void HTTPRequest::destroyReadStream() {
  if (!readStream_) return;
  unscheduleReadStream();
  // A reusable connection's stream stays open: its socket waits for the next request.
  if (!connectionCanBeReused_) {
    readStream_->setClient(nullptr);
    readStream_->close();
  }
  readStream_.reset();
}

// ---- Stream events ----------------------------------------------------------------------------

void HTTPRequest::handleNetworkEvent(int event) {
  auto keepAlive = self();
  {
    std::lock_guard lock(cancelledLock_);
    if (complete_ || cancelled_) return;
    switch (static_cast<transport::StreamEvent>(event)) {
      case transport::StreamEvent::EndEncountered: handleStreamComplete(); break;
      case transport::StreamEvent::ErrorOccurred: handleStreamError(); break;
      case transport::StreamEvent::BytesAvailable: handleBytesAvailable(); break;
    }
    performThrottling();
  }
  if (downloadComplete_ && needsRedirect_) {
    if (!willAskDelegateToConfirmRedirect()) performRedirect();
  } else if (downloadComplete_ && authenticationNeeded_ != 0) {
    attemptToApplyCredentialsAndResume();
  }
}

void HTTPRequest::handleBytesAvailable() {
  if (!responseHeaders_) readResponseHeaders();
  if (complete_ || !readStream_ || !readStream_->hasBytesAvailable()) return;

  qint64 bufferSize = kSmallReadSize;
  if (contentLength_ > static_cast<quint64>(kLargeReadSize)) bufferSize = kLargeReadSize;
  else if (contentLength_ > static_cast<quint64>(kMediumReadSize)) bufferSize = kMediumReadSize;
  ReadBuffer buffer(bufferSize);
  // Under a bandwidth limit, a quarter of what is left of this second's budget (at least 1).
  bufferSize = throttle::BandwidthMeter::shared().downloadReadLength(bufferSize);

  const qint64 count = readStream_->read(buffer.data(), bufferSize);
  if (count < 0) {
    handleStreamError();
    return;
  }
  if (count == 0) return;
  const QByteArray raw = QByteArray::fromRawData(buffer.data(), count);
  const bool inflateNow = isResponseCompressed() && !shouldWaitToInflateCompressedResponses_;
  if (inflateNow && !dataDecompressor_) dataDecompressor_ = compression::DataDecompressor::decompressor();

  totalBytesRead_ += static_cast<quint64>(count);
  lastActivityTime_ = Clock::now();
  incrementBandwidthUsedInLastSecond(static_cast<quint64>(count));

  // The body of a redirect or of an authentication challenge is not the resource: it reaches
  // neither a data callback nor a download file (it would end up in the destination or inside
  // a resumable partial file).
  const bool notTheResource = (needsRedirect_ && shouldRedirect_) || authenticationNeeded_ != 0;
  if (notTheResource && (dataGoesToCallback() || !downloadDestinationPath_.isEmpty())) return;

  try {
    if (!dataGoesToCallback() && !downloadDestinationPath_.isEmpty()) {
      writeDownloadData(raw);  // inflates into its file piece by piece
      return;
    }
    QByteArray inflated;
    if (inflateNow) {
      platform::ErrorPtr inflateError;
      inflated = dataDecompressor_->uncompressBytes(raw.constData(), count, &inflateError);
      if (inflateError) {
        failWithError(inflateError);
        return;
      }
    }
    if (dataGoesToCallback()) {
      const QByteArray data = inflateNow ? inflated : QByteArray(raw.constData(), count);
      auto request = self();
      platform::performOnMainThread([request, data] { request->passOnReceivedData(data); },
                                    platform::isMainThread());
    } else if (inflateNow) {
      rawResponseData_->append(inflated);
    } else {
      rawResponseData_->append(raw.constData(), count);
    }
  } catch (const std::bad_alloc&) {
    // A body that does not fit in memory fails this request; the process goes on. Inflated
    // data fails like any inflation that ran out of memory (zlib's Z_MEM_ERROR, -4).
    rawResponseData_.reset();
    constexpr int kZlibOutOfMemory = -4;
    const auto tooLarge = platform::Error::make(NetworkRequestErrorDomain, ConnectionFailureErrorType,
                                                QStringLiteral("The response body does not fit in memory"));
    failWithError(inflateNow ? compression::DataDecompressor::inflateErrorWithCode(kZlibOutOfMemory)
                             : makeRequestError(ConnectionFailureErrorType,
                                                QStringLiteral("A connection failure occurred"), tooLarge));
  }
}

bool HTTPRequest::dataGoesToCallback() const {
  return platform::responds(delegate_, didReceiveDataSelector_) || dataReceivedBlock_;
}

void HTTPRequest::handleStreamComplete() {
  stopStatusChecks();
  downloadComplete_ = true;
  if (!responseHeaders_) readResponseHeaders();

  platform::ErrorPtr fileError;
  {
    std::lock_guard progress(classState().progressLock);
    lastBytesSent_ = totalBytesSent_;
    if (readStream_) totalBytesSent_ = readStream_->requestBytesWritten();
    complete_ = true;
    if (contentLength_ == 0) contentLength_ = totalBytesRead_;
    updateProgressIndicators();
    if (postBodyReadStream_) {
      postBodyReadStream_->close();
      postBodyReadStream_.reset();
    }
    dataDecompressor_.reset();
    // A redirect that keeps the body (307) sends the same file again: keep it until the end.
    if (didCreateTemporaryPostDataFile_ && authenticationNeeded_ == 0 && !needsRedirect_) {
      removeTemporaryUploadFile();
      removeTemporaryCompressedUploadFile();
    }
    fileError = finishDownloadFiles();
    if (auto cache = downloadCache_.lock(); cache && !didUseCachedResponse_) {
      cache->storeResponseForRequest(*this, secondsToCache_);
    }
  }
  {
    std::lock_guard connections(classState().connectionsLock);
    if (!connectionCanBeReused_) unscheduleReadStream();
    // The transport keeps a connection whenever HTTP allows it; the terms this request read
    // (a Keep-Alive max of 5 or less, say) may forbid it, and then it is closed.
    if (!connectionCanBeReused_ && connectionInfo_) {
      transport::HttpStream::closeIdleConnections(connectionInfo_->id);
    }
    if (connectionInfo_) {
      connectionInfo_->request.reset();
      connectionInfo_->expires =
          Clock::now() + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(persistentConnectionTimeoutSeconds_));
    }
  }
  if (authenticationNeeded_ == 0) destroyReadStream();

  if (!needsRedirect_ && authenticationNeeded_ == 0 && !didUseCachedResponse_) {
    if (fileError) failWithError(fileError);
    else requestFinished();
    markAsFinished();
  }
}

}  // namespace http
