// The engine's read stream: options and delivery on the caller's side, the exchange itself on
// the transport's I/O thread, and the process-wide idle-connection operations.
#include "http/transport/http_stream.h"

#include "http/transport/connection_pool.h"
#include "http/transport/exchange.h"
#include "http/transport/io_thread.h"
#include "http/transport/transport_error.h"

namespace http::transport {

namespace {

// Deletes an exchange on the I/O thread, where its sockets live; a finished one holds no
// socket any more and is deleted at once.
void deleteOnIoThread(Exchange* exchange) {
  if (IoThread::isCurrent() || exchange->isFinished()) {
    delete exchange;
    return;
  }
  // Once the thread has stopped the exchange is left alone: its sockets cannot be touched from
  // here, and the process is ending.
  IoThread::post([exchange] { delete exchange; });
}

}  // namespace

std::shared_ptr<HttpStream> HttpStream::create(RequestHead head, std::shared_ptr<BodyStream> body,
                                               QString* whyNot) {
  const QString problem = head.validate();
  if (!problem.isEmpty()) {
    if (whyNot != nullptr) *whyNot = problem;
    return nullptr;
  }
  return std::shared_ptr<HttpStream>(new HttpStream(std::move(head), std::move(body)));
}

HttpStream::HttpStream(RequestHead head, std::shared_ptr<BodyStream> body)
    : head_(std::move(head)),
      body_(std::move(body)),
      channel_(std::make_shared<StreamChannel>()) {}

HttpStream::~HttpStream() { close(); }

void HttpStream::setTlsOptions(TlsOptions options) {
  std::lock_guard lock(mutex_);
  if (!opened_) tls_ = std::move(options);
}

void HttpStream::setProxy(ProxySettings proxy) {
  std::lock_guard lock(mutex_);
  if (!opened_) proxy_ = std::move(proxy);
}

void HttpStream::setShouldAttemptPersistentConnection(bool keepAlive) {
  std::lock_guard lock(mutex_);
  if (!opened_) keepAlive_ = keepAlive;
}

void HttpStream::setConnectionId(int connectionId) {
  std::lock_guard lock(mutex_);
  if (!opened_) connectionId_ = connectionId;
}

int HttpStream::connectionId() const {
  std::lock_guard lock(mutex_);
  return connectionId_;
}

void HttpStream::setClient(Client client) { channel_->setClient(std::move(client)); }

void HttpStream::schedule(std::shared_ptr<platform::RunLoop> loop) {
  channel_->schedule(std::move(loop));
}

void HttpStream::unschedule() { channel_->unschedule(); }

bool HttpStream::isScheduled() const { return channel_->isScheduled(); }

void HttpStream::setThrottled(bool throttled) {
  if (!channel_->setThrottled(throttled)) return;
  std::lock_guard lock(mutex_);
  if (exchange_ && !exchange_->isFinished()) {
    IoThread::post([exchange = exchange_] { exchange->applyReceiveLimits(); });
  }
}

bool HttpStream::open() {
  std::lock_guard lock(mutex_);
  if (opened_ || closed_) return false;
  opened_ = true;
  if (body_ && !body_->open()) {
    openError_ = makeTransportError(
        TransportErrorCode::RequestBodyError,
        QStringLiteral("The request body cannot be opened: %1").arg(body_->errorString()));
    return false;
  }
  ExchangeConfig config{head_, body_, tls_, proxy_, keepAlive_, connectionId_};
  exchange_ = std::shared_ptr<Exchange>(new Exchange(std::move(config), channel_),
                                        deleteOnIoThread);
  if (!IoThread::post([exchange = exchange_] { exchange->start(); })) {
    openError_ = makeTransportError(TransportErrorCode::ConnectFailed,
                                    QStringLiteral("The HTTP transport has stopped"));
    exchange_.reset();
    return false;
  }
  return true;
}

bool HttpStream::hasBytesAvailable() const { return channel_->hasBytesAvailable(); }

qint64 HttpStream::read(char* buffer, qint64 maxLength) {
  if (maxLength <= 0) return 0;
  return channel_->read(buffer, maxLength);
}

std::optional<ResponseHead> HttpStream::responseHead() const { return channel_->responseHead(); }

quint64 HttpStream::requestBytesWritten() const { return channel_->requestBytesWritten(); }

platform::ErrorPtr HttpStream::error() const {
  {
    std::lock_guard lock(mutex_);
    if (openError_) return openError_;
  }
  return channel_->error();
}

bool HttpStream::isReusedConnection() const { return channel_->reusedConnection(); }

void HttpStream::close() {
  std::shared_ptr<Exchange> exchange;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    exchange = std::move(exchange_);
  }
  channel_->close();
  if (exchange && !exchange->isFinished()) {
    IoThread::post([exchange = std::move(exchange)] { exchange->abandon(); });
  }
}

void HttpStream::closeIdleConnections(int connectionId) {
  IoThread::post([connectionId] { ConnectionPool::instance().closeIdle(connectionId); });
}

void HttpStream::closeAllIdleConnections() {
  IoThread::post([] { ConnectionPool::instance().closeAll(); });
}

int HttpStream::idleConnectionCount() {
  int count = 0;
  IoThread::runAndWait([&count] { count = ConnectionPool::instance().idleCount(); });
  return count;
}

}  // namespace http::transport
