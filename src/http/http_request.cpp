// The request object: construction with its defaults, copying, destruction, the guarded
// accessors, the blocks and the class-wide settings.
#include "http/http_request.h"

#include "compression/data_decompressor.h"
#include "http/auth/http_authentication.h"
#include "http/output_file.h"
#include "http/request_class_state.h"
#include "http/transport/body_stream.h"
#include "http/transport/http_stream.h"
#include "platform/operation_queue.h"
#include "platform/threads.h"

#include <QFile>

#include <any>
#include <vector>

namespace http {

RequestClassState& classState() {
  // Never destroyed: requests may still run on other threads while the process exits.
  static auto* state = [] {
    auto* s = new RequestClassState;
    s->persistentConnectionsPool.reserve(16);
    s->sharedQueue = std::make_shared<platform::OperationQueue>();
    s->sharedQueue->setMaxConcurrentOperationCount(4);
    return s;
  }();
  return *state;
}

const platform::MethodTable& HTTPRequest::classMethods() {
  static const platform::MethodTable table(
      &platform::Operation::classMethods(),
      {platform::method(platform::Selector("finishedDownloadingPACFile:"),
                        &HTTPRequest::finishedDownloadingPACFile)});
  return table;
}

HTTPRequest::HTTPRequest(const QUrl& url) : url_(url) {
  timeOutSeconds_ = classState().defaultTimeOutSeconds.load();
  downloadCache_ = defaultCache();
}

HTTPRequest::~HTTPRequest() {
  authenticationNeeded_ = 0;
  requestAuthentication_.reset();
  proxyAuthentication_.reset();
  requestMessage_.reset();
  cancelLoad();
  discardTemporaryUploadFiles();
  redirectURL_.clear();
  statusCheckGeneration_ = 0;
  queue_.reset();
  releaseBlocksOnMainThread();
}

std::shared_ptr<HTTPRequest> HTTPRequest::requestWithURL(const QUrl& url) {
  return std::make_shared<HTTPRequest>(url);
}

std::shared_ptr<HTTPRequest> HTTPRequest::requestWithURL(const QUrl& url,
                                                         const std::shared_ptr<CacheDelegate>& cache,
                                                         int policy) {
  auto request = requestWithURL(url);
  request->setDownloadCache(cache);
  request->setCachePolicy(policy);
  return request;
}

std::shared_ptr<HTTPRequest> HTTPRequest::makeRequestOfSameClass(const QUrl& url) const {
  return std::make_shared<HTTPRequest>(url);
}

std::shared_ptr<HTTPRequest> HTTPRequest::copy() const {
  auto c = makeRequestOfSameClass(url());
  c->setDelegate(delegate());
  c->setRequestMethod(requestMethod());
  c->postBody_ = postBody_;
  c->shouldStreamPostDataFromDisk_ = shouldStreamPostDataFromDisk_;
  c->postBodyFilePath_ = postBodyFilePath_;
  c->requestHeaders_ = requestHeaders_;
  c->requestCookies_ = requestCookies_;
  c->useCookiePersistence_ = useCookiePersistence_;
  c->useKeychainPersistence_ = useKeychainPersistence_;
  c->useSessionPersistence_ = useSessionPersistence_;
  c->allowCompressedResponse_ = allowCompressedResponse_;
  c->downloadDestinationPath_ = downloadDestinationPath_;
  c->temporaryFileDownloadPath_ = temporaryFileDownloadPath_;
  c->username_ = username_;
  c->password_ = password_;
  c->domain_ = domain_;
  c->proxyUsername_ = proxyUsername_;
  c->proxyPassword_ = proxyPassword_;
  c->proxyDomain_ = proxyDomain_;
  c->proxyHost_ = proxyHost_;
  c->proxyPort_ = proxyPort_;
  c->proxyType_ = proxyType_;
  c->setUploadProgressDelegate(uploadProgressDelegate());
  c->setDownloadProgressDelegate(downloadProgressDelegate());
  c->shouldPresentAuthenticationDialog_ = shouldPresentAuthenticationDialog_;
  c->shouldPresentProxyAuthenticationDialog_ = shouldPresentProxyAuthenticationDialog_;
  c->postLength_ = postLength_;
  c->haveBuiltPostBody_ = haveBuiltPostBody_;
  c->didStartSelector_ = didStartSelector_;
  c->didFinishSelector_ = didFinishSelector_;
  c->didFailSelector_ = didFailSelector_;
  c->timeOutSeconds_ = timeOutSeconds_;
  c->shouldResetDownloadProgress_ = shouldResetDownloadProgress_;
  c->shouldResetUploadProgress_ = shouldResetUploadProgress_;
  c->showAccurateProgress_ = showAccurateProgress_;
  c->defaultResponseEncoding_ = defaultResponseEncoding_;
  c->allowResumeForFileDownloads_ = allowResumeForFileDownloads_;
  c->userInfo_ = userInfo_;
  c->tag_ = tag_;
  c->useHTTPVersionOne_ = useHTTPVersionOne_;
  c->shouldRedirect_ = shouldRedirect_;
  c->validatesSecureCertificate_ = validatesSecureCertificate_;
  c->clientIdentity_ = clientIdentity_;
  c->clientCertificates_ = clientCertificates_;
  c->PACurl_ = PACurl_;
  c->shouldPresentCredentialsBeforeChallenge_ = shouldPresentCredentialsBeforeChallenge_;
  c->numberOfTimesToRetryOnTimeout_ = numberOfTimesToRetryOnTimeout_;
  c->shouldUseRFC2616RedirectBehaviour_ = shouldUseRFC2616RedirectBehaviour_;
  c->shouldAttemptPersistentConnection_ = shouldAttemptPersistentConnection_;
  c->persistentConnectionTimeoutSeconds_ = persistentConnectionTimeoutSeconds_;
  c->authenticationScheme_ = authenticationScheme_;
  return c;
}

// ---- Operation states ------------------------------------------------------------------------

bool HTTPRequest::isFinished() const {
  std::lock_guard lock(cancelledLock_);
  return finished_;
}

bool HTTPRequest::isExecuting() const {
  std::lock_guard lock(cancelledLock_);
  return inProgress_;
}

bool HTTPRequest::isCancelled() const {
  std::lock_guard lock(cancelledLock_);
  return cancelled_;
}

// ---- Guarded accessors ---------------------------------------------------------------------

QUrl HTTPRequest::url() const {
  std::lock_guard lock(cancelledLock_);
  return url_;
}

void HTTPRequest::setURL(const QUrl& newURL) {
  std::lock_guard lock(cancelledLock_);
  if (newURL == url_) return;
  const QUrl previous = url_;
  url_ = newURL;
  // The message and any authentication objects belong to the old URL: rebuild them.
  requestMessage_.reset();
  requestAuthentication_.reset();
  proxyAuthentication_.reset();
  credentialsSuppliedForURL_ = false;
  // Credentials applied for one origin are never re-applied to another.
  if (!sameOriginForCredentials(previous, url_)) requestCredentials_.clear();
  redirectURL_.clear();
}

QString HTTPRequest::requestMethod() const {
  std::lock_guard lock(cancelledLock_);
  return requestMethod_;
}

std::weak_ptr<platform::Object> HTTPRequest::delegate() const {
  std::lock_guard lock(cancelledLock_);
  return delegate_;
}

void HTTPRequest::setDelegate(const std::weak_ptr<platform::Object>& delegate) {
  std::lock_guard lock(cancelledLock_);
  delegate_ = delegate;
}

std::shared_ptr<platform::Object> HTTPRequest::queue() const {
  std::lock_guard lock(cancelledLock_);
  return queue_;
}

void HTTPRequest::setQueue(const std::shared_ptr<platform::Object>& queue) {
  std::lock_guard lock(cancelledLock_);
  queue_ = queue;
}

platform::ErrorPtr HTTPRequest::error() const {
  std::lock_guard lock(cancelledLock_);
  return error_;
}

void HTTPRequest::setError(const platform::ErrorPtr& error) {
  std::lock_guard lock(cancelledLock_);
  error_ = error;
}

std::weak_ptr<platform::Object> HTTPRequest::uploadProgressDelegate() const {
  std::lock_guard lock(cancelledLock_);
  return uploadProgressDelegate_;
}

std::weak_ptr<platform::Object> HTTPRequest::downloadProgressDelegate() const {
  std::lock_guard lock(cancelledLock_);
  return downloadProgressDelegate_;
}

void HTTPRequest::setClientCertificateIdentity(const QSslCertificate& certificate, const QSslKey& key) {
  if (certificate.isNull()) {
    clientIdentity_.reset();
    return;
  }
  auto identity = std::make_shared<transport::ClientIdentity>();
  identity->certificate = certificate;
  identity->key = key;
  clientIdentity_ = identity;
}

// ---- Blocks ----------------------------------------------------------------------------------

void HTTPRequest::setStartedBlock(BasicBlock block) {
  std::lock_guard lock(cancelledLock_);
  startedBlock_ = std::move(block);
}
void HTTPRequest::setHeadersReceivedBlock(HeadersBlock block) {
  std::lock_guard lock(cancelledLock_);
  headersReceivedBlock_ = std::move(block);
}
void HTTPRequest::setCompletionBlock(BasicBlock block) {
  std::lock_guard lock(cancelledLock_);
  completionBlock_ = std::move(block);
}
void HTTPRequest::setFailedBlock(BasicBlock block) {
  std::lock_guard lock(cancelledLock_);
  failureBlock_ = std::move(block);
}
void HTTPRequest::setBytesReceivedBlock(ProgressBlock block) {
  std::lock_guard lock(cancelledLock_);
  bytesReceivedBlock_ = std::move(block);
}
void HTTPRequest::setBytesSentBlock(ProgressBlock block) {
  std::lock_guard lock(cancelledLock_);
  bytesSentBlock_ = std::move(block);
}
void HTTPRequest::setDownloadSizeIncrementedBlock(SizeBlock block) {
  std::lock_guard lock(cancelledLock_);
  downloadSizeIncrementedBlock_ = std::move(block);
}
void HTTPRequest::setUploadSizeIncrementedBlock(SizeBlock block) {
  std::lock_guard lock(cancelledLock_);
  uploadSizeIncrementedBlock_ = std::move(block);
}
void HTTPRequest::setDataReceivedBlock(DataBlock block) {
  std::lock_guard lock(cancelledLock_);
  dataReceivedBlock_ = std::move(block);
}
void HTTPRequest::setAuthenticationNeededBlock(BasicBlock block) {
  std::lock_guard lock(cancelledLock_);
  authenticationNeededBlock_ = std::move(block);
}
void HTTPRequest::setProxyAuthenticationNeededBlock(BasicBlock block) {
  std::lock_guard lock(cancelledLock_);
  proxyAuthenticationNeededBlock_ = std::move(block);
}
void HTTPRequest::setRequestRedirectedBlock(BasicBlock block) {
  std::lock_guard lock(cancelledLock_);
  requestRedirectedBlock_ = std::move(block);
}

void HTTPRequest::releaseBlocksOnMainThread() {
  // Blocks may hold objects that belong to the main thread: they are always destroyed there.
  auto blocks = std::make_shared<std::vector<std::any>>();
  auto take = [&blocks](auto& block) {
    if (block) blocks->emplace_back(std::exchange(block, nullptr));
  };
  take(completionBlock_);
  take(failureBlock_);
  take(startedBlock_);
  take(headersReceivedBlock_);
  take(bytesReceivedBlock_);
  take(bytesSentBlock_);
  take(downloadSizeIncrementedBlock_);
  take(uploadSizeIncrementedBlock_);
  take(dataReceivedBlock_);
  take(proxyAuthenticationNeededBlock_);
  take(authenticationNeededBlock_);
  take(requestRedirectedBlock_);
  if (blocks->empty()) return;
  platform::performOnMainThread([blocks]() mutable { blocks.reset(); }, platform::isMainThread());
}

// ---- Class-wide settings ---------------------------------------------------------------------

double HTTPRequest::defaultTimeOutSeconds() { return classState().defaultTimeOutSeconds.load(); }

void HTTPRequest::setDefaultTimeOutSeconds(double seconds) {
  classState().defaultTimeOutSeconds.store(seconds);
}

std::shared_ptr<platform::OperationQueue> HTTPRequest::sharedQueue() { return classState().sharedQueue; }

std::shared_ptr<CacheDelegate> HTTPRequest::defaultCache() {
  std::lock_guard lock(classState().classLock);
  return classState().defaultCache;
}

void HTTPRequest::setDefaultCache(const std::shared_ptr<CacheDelegate>& cache) {
  std::lock_guard lock(classState().classLock);
  classState().defaultCache = cache;
}

bool HTTPRequest::isNetworkInUse() {
  std::lock_guard lock(classState().connectionsLock);
  return classState().runningRequestCount > 0;
}

void HTTPRequest::setShouldUpdateNetworkActivityIndicator(bool update) {
  std::lock_guard lock(classState().connectionsLock);
  classState().shouldUpdateNetworkActivityIndicator = update;
}

// ---- Hooks this engine leaves empty ------------------------------------------------------------


}  // namespace http
