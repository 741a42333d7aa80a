// One request/response exchange on the I/O thread: connection choice, head and body writing
// with flow control and exact body-byte counting, response parsing, and the connection's fate.
#include "http/transport/exchange.h"

#include "http/transport/connection_pool.h"
#include "http/transport/host_overrides.h"
#include "http/transport/read_buffer_pool.h"

#include <QNetworkProxy>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <sys/socket.h>

namespace http::transport {

namespace {

// Bytes queued in the socket beyond which no more body is read (keeps the body count honest
// and memory bounded).
constexpr qint64 kWriteHighWaterBytes = 256 * 1024;
// Size of one read from the body stream.
constexpr qint64 kBodyPieceBytes = 64 * 1024;
// Largest piece taken from the socket at once.
constexpr qint64 kReadPieceBytes = ReadBufferPool::kBufferBytes;

bool isDropError(QAbstractSocket::SocketError e) {
  return e == QAbstractSocket::RemoteHostClosedError || e == QAbstractSocket::NetworkError;
}

bool isTlsError(QAbstractSocket::SocketError e) {
  return e == QAbstractSocket::SslHandshakeFailedError ||
         e == QAbstractSocket::SslInternalError || e == QAbstractSocket::SslInvalidUserDataError;
}

}  // namespace

Exchange::Exchange(ExchangeConfig config, std::shared_ptr<StreamChannel> channel)
    : config_(std::move(config)),
      channel_(std::move(channel)),
      parser_(config_.head.method == "HEAD") {}

Exchange::~Exchange() { releaseResources(); }

QString Exchange::where() const {
  return QStringLiteral("%1:%2").arg(endpoint_.host).arg(endpoint_.port);
}

bool Exchange::prepareHead() {
  RequestHead head = config_.head;
  const QUrl& url = head.url;
  endpoint_.scheme = url.scheme().toLower();
  endpoint_.host = url.host();
  endpoint_.port = static_cast<quint16>(url.port(endpoint_.isTls() ? 443 : 80));
  endpoint_.address = HostOverrides::connectHost(endpoint_.host, endpoint_.port);
  endpoint_.proxy = config_.proxy;
  endpoint_.tls = config_.tls;

  const QByteArray lengthText = head.headers.value("Content-Length").trimmed();
  bool lengthOk = false;
  const qint64 length = lengthText.toLongLong(&lengthOk);
  const bool hasLength = head.headers.contains("Content-Length");
  if (hasLength && (!lengthOk || length < 0)) {
    fail(TransportErrorCode::InvalidRequest,
         QStringLiteral("The request's Content-Length \"%1\" is not a byte count")
             .arg(QString::fromLatin1(lengthText)));
    return false;
  }
  if (config_.body) {
    bodyDone_ = false;
    if (hasLength) {
      bodyRemaining_ = length;
    } else if (head.version == HttpVersion::Http11) {
      // A streamed body of unknown length goes out in chunks (RFC 9112 section 7.1).
      chunkedBody_ = true;
      head.headers.set("Transfer-Encoding", "chunked");
    } else {
      fail(TransportErrorCode::InvalidRequest,
           QStringLiteral("An HTTP/1.0 request body needs a Content-Length"));
      return false;
    }
  } else if (hasLength && length > 0) {
    fail(TransportErrorCode::InvalidRequest,
         QStringLiteral("The request announces %1 body bytes but has no body").arg(length));
    return false;
  }

  const QByteArray connection = head.headers.combinedValue("Connection");
  requestSaysClose_ = listContainsToken(connection, "close");
  if (head.version == HttpVersion::Http10 && config_.keepAlive && config_.connectionId != 0 &&
      !head.headers.contains("Connection")) {
    // HTTP/1.0 connections close after each response unless asked to stay (RFC 9112 9.3).
    head.headers.append("Connection", "keep-alive");
  }
  if (endpoint_.usesTunnel()) {
    // The CONNECT request carries the proxy's credentials and the Host of the server.
    const QByteArray target = (endpoint_.host.contains(QLatin1Char(':')) ? '[' + endpoint_.host.toUtf8() + ']'
                                                                         : endpoint_.host.toUtf8()) +
                              ':' + QByteArray::number(endpoint_.port);
    connectHead_ = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
    if (head.headers.contains("Proxy-Authorization")) {
      connectHead_ += "Proxy-Authorization: " + head.headers.value("Proxy-Authorization") + "\r\n";
    }
    connectHead_ += "\r\n";
  }
  if (endpoint_.isTls() && endpoint_.proxy.isSet()) {
    // Credentials for a proxy must not travel inside the tunnel to the origin server.
    head.headers.remove("Proxy-Authorization");
  }
  wireHead_ = head.toWire(endpoint_.usesAbsoluteForm());
  return true;
}

void Exchange::start() {
  if (state_ != State::Idle) return;
  if (!prepareHead()) return;
  std::weak_ptr<Exchange> weak = weak_from_this();
  channel_->setWakeHandlers(
      [weak] {
        if (auto self = weak.lock()) self->onReadyRead();
      },
      [weak] {
        if (auto self = weak.lock()) self->writeBody();
      });
  if (config_.keepAlive && config_.connectionId != 0) {
    connection_ = ConnectionPool::instance().take(config_.connectionId, endpoint_);
  }
  if (connection_) {
    reusedConnection_ = true;
    channel_->setReusedConnection(true);
    attach();
    // A connection the proxy refused a tunnel on asks again, with this exchange's credentials.
    if (endpoint_.usesTunnel() && !connection_->tunnelOpen()) openTunnel();
    else onConnected();
    return;
  }
  connection_ = std::make_unique<Connection>(endpoint_);
  attach();
  state_ = State::Connecting;
  connection_->connect();
}

void Exchange::attach() { connection_->setListener(this); }

void Exchange::socketConnected() {
  // Through an HTTP proxy to an https server, the proxy is asked for the tunnel first; any
  // other TLS connection is ready once encrypted.
  if (endpoint_.usesTunnel()) openTunnel();
  else if (connection_->tlsSocket() == nullptr) onConnected();
}

void Exchange::onConnected() {
  if (state_ != State::Idle && state_ != State::Connecting) return;
  state_ = State::Exchanging;
  connection_->watchForReset();
  // Set once per connection: a reused one keeps it.
  if (connection_->completedExchanges() == 0) {
    connection_->socket()->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  }
  applyReceiveLimits();
  write(wireHead_, false);
  writeBody();
  // A reused connection may already hold the peer's close or bytes; read what is there.
  if (connection_ && connection_->socket()->bytesAvailable() > 0) onReadyRead();
}

void Exchange::openTunnel() {
  if (state_ != State::Idle && state_ != State::Connecting) return;
  state_ = State::Tunneling;
  // The proxy's answer is read as a response to CONNECT: a body only when it has framing.
  parser_ = ResponseParser(false);
  write(connectHead_, false);
}

bool Exchange::onTunnelAnswer(bool leftover) {
  const int status = parser_.head().statusCode;
  if (status >= 200 && status < 300) {
    if (leftover || connection_->socket()->bytesAvailable() > 0) {
      fail(TransportErrorCode::ProtocolError,
           QStringLiteral("The proxy %1:%2 sent bytes after opening the tunnel")
               .arg(endpoint_.proxy.host)
               .arg(endpoint_.proxy.port));
      return false;
    }
    parser_ = ResponseParser(config_.head.method == "HEAD");
    segments_.clear();
    state_ = State::Connecting;
    connection_->startTlsInTunnel();
    return false;
  }
  // Refused (407 and others): the proxy's answer is the response of this exchange.
  state_ = State::Exchanging;
  bodyDone_ = true;  // the request itself was never sent
  return true;
}

void Exchange::onTlsErrors(const QList<QSslError>& errors) {
  if (connection_->acceptsTlsErrors(errors)) {
    connection_->tlsSocket()->ignoreSslErrors();
    return;
  }
  for (const QSslError& e : errors) tlsProblems_ << e.errorString();
}

void Exchange::write(const QByteArray& bytes, bool isBody) {
  if (bytes.isEmpty()) return;
  const qint64 sent = sendDirectly(bytes);
  if (sent > 0 && isBody) channel_->addBytesWritten(static_cast<quint64>(sent));
  if (sent == bytes.size()) return;
  segments_.push_back(Segment{bytes.size() - sent, isBody});
  connection_->socket()->write(sent == 0 ? bytes : bytes.sliced(sent));
}

qint64 Exchange::sendDirectly(const QByteArray& bytes) {
  // A plain socket with nothing waiting in its write buffer takes the bytes straight into the
  // kernel, as far as it accepts them: the socket's own buffering would arm a write notifier
  // and disarm it again for every request. TLS and proxies handled by the socket write
  // through it.
  QTcpSocket* socket = connection_->socket();
  if (connection_->tlsSocket() != nullptr || socket->proxy().type() != QNetworkProxy::NoProxy ||
      socket->state() != QAbstractSocket::ConnectedState || socket->bytesToWrite() > 0) {
    return 0;
  }
  const auto fd = static_cast<int>(socket->socketDescriptor());
  if (fd < 0) return 0;
  ssize_t n = -1;
  do {
    n = ::send(fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  // Anything else (a full buffer, a reset) is left to the socket, which reports it its own way.
  return n > 0 ? n : 0;
}

void Exchange::writeBody() {
  while (state_ == State::Exchanging && !bodyDone_ &&
         connection_->socket()->bytesToWrite() < kWriteHighWaterBytes) {
    // An unscheduled stream sends nothing; scheduling it again calls writeBody() once more.
    if (!channel_->mayUpload()) return;
    // A throttled body whose budget is spent says how long to wait; a timer brings us back.
    if (const auto delay = config_.body->readDelay(); delay.count() > 0) {
      writeBodyLater(delay);
      return;
    }
    qint64 want = kBodyPieceBytes;
    // With the announced length sent, one more read must find the end: a longer body is an
    // error rather than bytes silently left out.
    if (!chunkedBody_) want = bodyRemaining_ > 0 ? std::min(want, bodyRemaining_) : 1;
    if (bodyBuffer_.size() < want) bodyBuffer_.resize(kBodyPieceBytes);
    const qint64 n = config_.body->read(bodyBuffer_.data(), want);
    if (n < 0) {
      fail(TransportErrorCode::RequestBodyError,
           QStringLiteral("The request body could not be read: %1")
               .arg(config_.body->errorString()));
      return;
    }
    if (n == 0) {
      if (!chunkedBody_ && bodyRemaining_ > 0) {
        fail(TransportErrorCode::RequestBodyError,
             QStringLiteral("The request body ended %1 bytes before its Content-Length")
                 .arg(bodyRemaining_));
        return;
      }
      if (chunkedBody_) write(QByteArrayLiteral("0\r\n\r\n"), false);
      bodyDone_ = true;
      config_.body->close();
      return;
    }
    if (!chunkedBody_ && bodyRemaining_ == 0) {
      fail(TransportErrorCode::RequestBodyError,
           QStringLiteral("The request body is longer than its Content-Length"));
      return;
    }
    const QByteArray piece(bodyBuffer_.constData(), n);
    if (chunkedBody_) {
      write(QByteArray::number(n, 16) + "\r\n", false);
      write(piece, true);
      write(QByteArrayLiteral("\r\n"), false);
    } else {
      write(piece, true);
      bodyRemaining_ -= n;
    }
  }
}

void Exchange::writeBodyLater(std::chrono::milliseconds delay) {
  if (bodyReadPending_) return;
  bodyReadPending_ = true;
  std::weak_ptr<Exchange> weak = weak_from_this();
  QTimer::singleShot(delay, connection_->socket(), [weak] {
    if (auto self = weak.lock()) {
      self->bodyReadPending_ = false;
      self->writeBody();
    }
  });
}

void Exchange::applyReceiveLimits() {
  if (state_ != State::Exchanging || !connection_) return;
  connection_->setReceiveLimited(channel_->isThrottled());
}

void Exchange::onBytesWritten(qint64 bytes) {
  while (bytes > 0 && !segments_.empty()) {
    Segment& segment = segments_.front();
    const qint64 n = std::min(bytes, segment.bytes);
    if (segment.isBody) channel_->addBytesWritten(static_cast<quint64>(n));
    segment.bytes -= n;
    bytes -= n;
    if (segment.bytes == 0) segments_.pop_front();
  }
  writeBody();
}

void Exchange::onReadyRead() {
  if (state_ != State::Exchanging && state_ != State::Tunneling) return;
  QTcpSocket* socket = connection_->socket();
  std::vector<BodyPiece> pieces;
  while (socket->bytesAvailable() > 0) {
    // The consumer is behind: leave the bytes in the socket (TCP then slows the peer) until
    // the channel drained and calls back.
    if (!channel_->acceptsMoreFromWire()) return;
    const qint64 want = std::min(socket->bytesAvailable(), kReadPieceBytes);
    QByteArray data = ReadBufferPool::take();
    data.resize(want);
    const qint64 got = socket->read(data.data(), want);
    if (got <= 0) break;
    data.resize(got);
    const bool hadHead = parser_.headComplete();
    const qint64 consumed = parser_.feed(data, pieces);
    if (parser_.hasFailed()) {
      fail(TransportErrorCode::ProtocolError, parser_.errorText());
      return;
    }
    const bool newHead = parser_.headComplete() && !hadHead;
    const bool leftover = consumed < data.size();
    if (state_ == State::Tunneling) {
      if (!parser_.headComplete()) {
        ReadBufferPool::give(std::move(data));
        continue;
      }
      if (!onTunnelAnswer(leftover || !pieces.empty())) {
        ReadBufferPool::give(std::move(data));
        return;
      }
    }
    // Drop this reference before the hand-over, so that the consumer holds the only one and
    // can give the buffer back for reuse (or give it back now when no body lies in it).
    ReadBufferPool::give(std::move(data));
    data = QByteArray();
    if (parser_.isDone()) {
      sawLeftover_ = leftover;
      channel_->pushFromWire(newHead ? &parser_.head() : nullptr, pieces, false);
      finish();
      return;
    }
    channel_->pushFromWire(newHead ? &parser_.head() : nullptr, pieces, false);
  }
  if (peerClosed_) handleEndOfStream();
}

void Exchange::onSocketError(QAbstractSocket::SocketError socketError) {
  if (state_ == State::Done || state_ == State::Failed) return;
  QTcpSocket* socket = connection_->socket();
  if (state_ == State::Exchanging && socketError == QAbstractSocket::RemoteHostClosedError &&
      !connection_->wasReset()) {
    // The peer ended the connection; bytes it sent before may still wait in the socket.
    peerClosed_ = true;
    onReadyRead();
    return;
  }
  auto underlying =
      platform::Error::make(kSocketErrorDomain, static_cast<qint64>(socketError),
                            socket->errorString());
  if (state_ == State::Tunneling) {
    fail(TransportErrorCode::ConnectFailed,
         QStringLiteral("The proxy %1:%2 did not open a tunnel to %3: %4")
             .arg(endpoint_.proxy.host)
             .arg(endpoint_.proxy.port)
             .arg(where(), socket->errorString()),
         underlying);
    return;
  }
  if (state_ == State::Connecting) {
    const bool tlsStage = connection_->tlsSocket() != nullptr &&
                          (isTlsError(socketError) || !tlsProblems_.isEmpty() ||
                           socketError == QAbstractSocket::RemoteHostClosedError);
    if (tlsStage) {
      QVariantMap info;
      if (!tlsProblems_.isEmpty()) info.insert(kTlsErrorsKey, tlsProblems_);
      const QString detail = tlsProblems_.isEmpty() ? socket->errorString()
                                                    : tlsProblems_.join(QStringLiteral("; "));
      fail(TransportErrorCode::TlsFailure,
           QStringLiteral("The TLS handshake with %1 failed: %2").arg(where(), detail),
           underlying, info);
    } else {
      fail(TransportErrorCode::ConnectFailed,
           QStringLiteral("Cannot connect to %1: %2").arg(where(), socket->errorString()),
           underlying);
    }
    return;
  }
  if (reusedConnection_ && !parser_.receivedAnyByte() && isDropError(socketError)) {
    fail(TransportErrorCode::ConnectionDropped,
         QStringLiteral("The connection to %1 was dropped before any response: %2")
             .arg(where(), socket->errorString()),
         underlying);
    return;
  }
  fail(TransportErrorCode::ConnectionLost,
       QStringLiteral("The connection to %1 failed: %2").arg(where(), socket->errorString()),
       underlying);
}

void Exchange::handleEndOfStream() {
  if (state_ != State::Exchanging) return;
  if (!parser_.receivedAnyByte()) {
    // Only an idle connection the server may already have given up counts as dropped; a fresh
    // one closed without an answer is the server's answer (sending again could repeat a POST).
    fail(reusedConnection_ ? TransportErrorCode::ConnectionDropped : TransportErrorCode::ConnectionLost,
         QStringLiteral("The server at %1 closed the connection without responding").arg(where()));
    return;
  }
  parser_.finishAtEndOfStream();
  if (parser_.hasFailed()) {
    fail(TransportErrorCode::ConnectionLost,
         QStringLiteral("%1 (server %2)").arg(parser_.errorText(), where()));
    return;
  }
  finish();
}

void Exchange::finish() {
  state_ = State::Done;
  QTcpSocket* socket = connection_->socket();
  const bool reusable = config_.keepAlive && config_.connectionId != 0 && bodyDone_ &&
                        !requestSaysClose_ && !sawLeftover_ && !peerClosed_ &&
                        parser_.allowsReuse() && socket->bytesAvailable() == 0 &&
                        !connection_->wasReceiveLimited() &&
                        socket->bytesToWrite() == 0 &&
                        socket->state() == QAbstractSocket::ConnectedState;
  if (reusable) {
    connection_->countCompletedExchange();
    ConnectionPool::instance().put(config_.connectionId, std::move(connection_));
  }
  releaseResources();
  finished_.store(true, std::memory_order_release);
  std::vector<BodyPiece> none;
  channel_->pushFromWire(nullptr, none, true);
}

void Exchange::fail(TransportErrorCode code, const QString& description,
                    platform::ErrorPtr underlying, QVariantMap userInfo) {
  if (state_ == State::Done || state_ == State::Failed) return;
  state_ = State::Failed;
  releaseResources();
  finished_.store(true, std::memory_order_release);
  channel_->failFromWire(
      makeTransportError(code, description, std::move(underlying), std::move(userInfo)));
}

void Exchange::abandon() {
  if (state_ != State::Done) state_ = State::Failed;
  releaseResources();
}

void Exchange::releaseResources() {
  connection_.reset();
  if (config_.body) config_.body->close();
  segments_.clear();
}

}  // namespace http::transport
