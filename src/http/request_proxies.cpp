// Choosing a request's proxy: the application's own values, a proxy script (read from a file or
// downloaded by a request of its own), or the system settings; then the script's evaluation.
#include "http/http_request.h"

#include "http/request_class_state.h"
#include "http/proxy/pac_evaluator.h"
#include "http/proxy/proxy_list.h"
#include "http/proxy/system_proxy_settings.h"
#include "platform/operation_queue.h"

#include <QFile>
#include <QStringDecoder>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace http {

namespace {

// Bytes read from a script file at once.
constexpr qint64 kPACReadBytes = 16384;
// Largest script accepted: a file that never ends (a device, a growing file) is not read into
// memory without bound.
constexpr qint64 kMaxPACBytes = 4 * 1024 * 1024;
// Wait before reading again a file that has no bytes yet (a pipe).
constexpr double kPACRetrySeconds = 0.05;
// Longest a script may run, whatever the request's time-out.
constexpr double kMaxPACSeconds = 5.0;

void changeSharedQueueWidth(int delta) {
  std::lock_guard lock(classState().connectionsLock);
  auto queue = HTTPRequest::sharedQueue();
  queue->setMaxConcurrentOperationCount(queue->maxConcurrentOperationCount() + delta);
}

// The script text: UTF-8 when the bytes are valid UTF-8, else ISO Latin-1 (which reads any).
QString decodeScript(const QByteArray& data) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = utf8(data);
  if (!utf8.hasError()) return text;
  return QString::fromLatin1(data);
}

}  // namespace

bool HTTPRequest::configureProxies() {
  // The application's own values (or none needed): use what is there.
  if (isPACFileRequest_ || !proxyHost_.isEmpty() || proxyPort_ != 0) return true;
  if (!PACurl_.isEmpty()) {
    fetchPACFile();
    return false;
  }
  const std::optional<QList<proxy::ProxyEntry>> proxies =
      proxy::SystemProxySettings::current().proxiesForURL(url_);
  if (proxies && !proxies->isEmpty() &&
      proxies->first().type == proxy::kProxyTypeAutoConfigurationURL) {
    PACurl_ = proxies->first().scriptURL;
    fetchPACFile();
    return false;
  }
  if (!proxies) {
    destroyReadStream();
    failWithError(makeRequestError(InternalErrorWhileBuildingRequestType,
                                   QStringLiteral("Unable to obtain information on proxy servers "
                                                  "needed for request")));
    return false;
  }
  if (proxies->isEmpty()) return true;
  takeProxyFrom(proxies->first());
  return true;
}

void HTTPRequest::takeProxyFrom(const proxy::ProxyEntry& entry) {
  proxyHost_ = entry.host;
  proxyPort_ = entry.port;
  proxyType_ = entry.type;
  // Credentials written into the settings' proxy URL serve the proxy's authentication.
  if (!entry.user.isEmpty() && proxyUsername_.isEmpty()) {
    proxyUsername_ = entry.user;
    proxyPassword_ = entry.password;
  }
}

// ---- Fetching the script -----------------------------------------------------------------------

void HTTPRequest::fetchPACFile() {
  const QString scheme = PACurl_.scheme().toLower();
  if (PACurl_.isLocalFile()) {
    const QByteArray path = QFile::encodeName(PACurl_.toLocalFile());
    // Non-blocking, so that a file that has no bytes to give (a pipe) cannot stall the thread.
    PACFileReadStream_ = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (PACFileReadStream_ < 0) {
      startRequest();
      return;
    }
    PACFileData_ = QByteArray();
    std::weak_ptr<HTTPRequest> weakSelf = self();
    // A request without a time-out (0 or less) waits for the file as it waits for a server.
    if (timeOutSeconds_ > 0) {
      PACReadTimeOut_ = platform::Timer::scheduleOnCurrent(
          timeOutSeconds_, false,
          [weakSelf](platform::Timer&) {
            if (auto request = weakSelf.lock()) request->timeOutPACRead();
          },
          runLoopMode_);
    }
    PACFileReadTimer_ = platform::Timer::scheduleOnCurrent(
        0, false,
        [weakSelf](platform::Timer&) {
          if (auto request = weakSelf.lock()) request->readPACFile();
        },
        runLoopMode_);
    return;
  }
  if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
    startRequest();
    return;
  }

  auto script = HTTPRequest::requestWithURL(PACurl_);
  script->setIsPACFileRequest(true);
  script->setTimeOutSeconds(timeOutSeconds_);
  if (isSynchronous_) {
    script->startSynchronous();
    if (!script->error()) runPACScript(script->responseString());
    startRequest();
    return;
  }
  PACFileRequest_ = script;
  script->setQueuePriority(platform::Operation::High);
  script->setDelegate(self());
  script->setDidFinishSelector(platform::Selector("finishedDownloadingPACFile:"));
  script->setDidFailSelector(platform::Selector("finishedDownloadingPACFile:"));
  script->startAsynchronous();
  // The script request must not wait for a slot held by the request that waits for it.
  changeSharedQueueWidth(+1);
}

void HTTPRequest::finishedDownloadingPACFile(const std::shared_ptr<HTTPRequest>& scriptRequest) {
  auto keepAlive = self();
  std::lock_guard lock(cancelledLock_);
  // A script request dropped by cancelLoad has already given its slot back.
  if (!scriptRequest || scriptRequest != PACFileRequest_) return;
  if (!scriptRequest->error()) runPACScript(scriptRequest->responseString());
  changeSharedQueueWidth(-1);
  PACFileRequest_.reset();
  startRequest();
}

void HTTPRequest::readPACFile() {
  auto keepAlive = self();
  std::lock_guard lock(cancelledLock_);
  if (PACFileReadStream_ < 0 || !PACFileData_) return;
  char buffer[kPACReadBytes];
  const ssize_t n = ::read(PACFileReadStream_, buffer, sizeof buffer);
  double next = 0;
  if (n > 0) {
    PACFileData_->append(buffer, n);
    if (PACFileData_->size() > kMaxPACBytes) {
      finishReadingPACFile(false);
      return;
    }
  } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
    next = kPACRetrySeconds;
  } else {
    finishReadingPACFile(n == 0);
    return;
  }
  std::weak_ptr<HTTPRequest> weakSelf = keepAlive;
  PACFileReadTimer_ = platform::Timer::scheduleOnCurrent(
      next, false,
      [weakSelf](platform::Timer&) {
        if (auto request = weakSelf.lock()) request->readPACFile();
      },
      runLoopMode_);
}

void HTTPRequest::timeOutPACRead() {
  auto keepAlive = self();
  std::lock_guard lock(cancelledLock_);
  if (PACFileReadStream_ < 0) return;
  // As if the file had reported an error: no script, the request starts without a proxy.
  finishReadingPACFile(false);
}

void HTTPRequest::finishReadingPACFile(bool atEnd) {
  const QByteArray data = PACFileData_.value_or(QByteArray());
  cancelPACFetch();
  if (atEnd) runPACScript(decodeScript(data));
  startRequest();
}

void HTTPRequest::cancelPACFetch() {
  if (PACReadTimeOut_) PACReadTimeOut_->invalidate();
  PACReadTimeOut_.reset();
  if (PACFileReadTimer_) PACFileReadTimer_->invalidate();
  PACFileReadTimer_.reset();
  if (PACFileReadStream_ >= 0) {
    ::close(PACFileReadStream_);
    PACFileReadStream_ = -1;
    PACFileData_.reset();
  } else if (PACFileRequest_) {
    auto script = std::move(PACFileRequest_);
    script->setDelegate({});
    script->cancel();
    // The width raised for the script request is given back here too, or every cancelled
    // script download would leave the shared queue one wider for good.
    changeSharedQueueWidth(-1);
  }
}

// ---- Running the script ------------------------------------------------------------------------

void HTTPRequest::runPACScript(const QString& script) {
  if (script.isEmpty()) return;
  proxy::PacEvaluator::Options options;
  double seconds = kMaxPACSeconds;
  if (timeOutSeconds_ > 0) seconds = std::min(seconds, timeOutSeconds_);
  options.timeLimit = std::chrono::milliseconds(static_cast<qint64>(seconds * 1000));
  const std::optional<QString> answer = proxy::PacEvaluator::findProxyForURL(script, url_, options);
  if (!answer) return;
  const QList<proxy::ProxyEntry> proxies = proxy::parsePACResult(*answer);
  if (proxies.isEmpty()) return;
  takeProxyFrom(proxy::firstUsableEntry(proxies));
}

}  // namespace http
