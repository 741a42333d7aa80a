// One client connection: socket set-up for plain, TLS and proxied endpoints, the judgement of
// certificate problems under the stream's TLS options, and the liveness check of idle sockets.
#include "http/transport/connection.h"

#include "http/transport/host_overrides.h"

#include <QNetworkProxy>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace http::transport {

namespace {

// Kernel bytes Qt may hold for us per socket before it stops reading (flow control for readers
// that fall behind). Large enough to keep a fast loopback link busy.
constexpr qint64 kSocketReadBufferBytes = 1024 * 1024;
// The same while throttled, and the kernel's receive buffer then: a few reads' worth, so that
// TCP flow control holds the peer back while the reader waits.
constexpr qint64 kLimitedReadBufferBytes = 32 * 1024;
constexpr int kLimitedKernelBufferBytes = 32 * 1024;
// Asked for when the limit ends (the kernel caps it at its maximum).
constexpr int kUnlimitedKernelBufferBytes = 4 * 1024 * 1024;

bool isDateProblem(QSslError::SslError e) {
  return e == QSslError::CertificateExpired || e == QSslError::CertificateNotYetValid;
}

bool isRootProblem(QSslError::SslError e) {
  switch (e) {
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
      return true;
    default:
      return false;
  }
}

QNetworkProxy socketProxy(const Endpoint& endpoint) {
  // Tunnels through HTTP proxies are opened by the exchange itself, so that a 407 answer to
  // CONNECT reaches the engine like any other response.
  if (!endpoint.proxy.isSet() || endpoint.usesAbsoluteForm() || endpoint.usesTunnel()) {
    return QNetworkProxy(QNetworkProxy::NoProxy);
  }
  // SOCKS5 for any scheme; an HTTP proxy for https opens a CONNECT tunnel (RFC 9110 9.3.6).
  const auto type = endpoint.proxy.type == ProxySettings::Type::Socks5 ? QNetworkProxy::Socks5Proxy
                                                                        : QNetworkProxy::HttpProxy;
  QNetworkProxy proxy(type, HostOverrides::connectHost(endpoint.proxy.host, endpoint.proxy.port),
                      endpoint.proxy.port);
  if (type == QNetworkProxy::Socks5Proxy && !endpoint.proxy.user.isEmpty()) {
    proxy.setUser(endpoint.proxy.user);
    proxy.setPassword(endpoint.proxy.password);
  }
  return proxy;
}

}  // namespace

bool Endpoint::operator==(const Endpoint& other) const {
  return scheme == other.scheme && host.compare(other.host, Qt::CaseInsensitive) == 0 &&
         port == other.port && address == other.address && proxy == other.proxy &&
         (!isTls() || tls == other.tls);
}

Connection::Connection(Endpoint endpoint)
    : endpoint_(std::move(endpoint)),
      socket_(endpoint_.isTls() ? new QSslSocket : new QTcpSocket) {
  socket_->setProxy(socketProxy(endpoint_));
  socket_->setReadBufferSize(kSocketReadBufferBytes);
  QObject::connect(socket_, &QTcpSocket::connected, socket_, [this] {
    if (listener_) listener_->socketConnected();
  });
  if (QSslSocket* tls = tlsSocket()) {
    QObject::connect(tls, &QSslSocket::encrypted, tls, [this] {
      if (listener_) listener_->socketEncrypted();
    });
    QObject::connect(tls, &QSslSocket::sslErrors, tls, [this](const QList<QSslError>& errors) {
      if (listener_) listener_->socketTlsErrors(errors);
    });
  }
  QObject::connect(socket_, &QTcpSocket::readyRead, socket_, [this] {
    if (listener_) listener_->socketReadyRead();
  });
  QObject::connect(socket_, &QTcpSocket::bytesWritten, socket_, [this](qint64 bytes) {
    if (listener_) listener_->socketBytesWritten(bytes);
  });
  QObject::connect(socket_, &QTcpSocket::errorOccurred, socket_, [this](QAbstractSocket::SocketError error) {
    if (listener_) listener_->socketError(error);
  });
  QObject::connect(socket_, &QTcpSocket::disconnected, socket_, [this] {
    if (listener_) listener_->socketDisconnected();
  });
}

Connection::~Connection() {
  socket_->disconnect();
  socket_->abort();
  socket_->deleteLater();
  if (watchedDescriptor_ >= 0) ::close(watchedDescriptor_);
}

void Connection::watchForReset() {
  if (watchedDescriptor_ >= 0) return;
  const auto fd = static_cast<int>(socket_->socketDescriptor());
  if (fd >= 0) watchedDescriptor_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

bool Connection::wasReset() const {
  if (watchedDescriptor_ < 0) return false;
  tcp_info info{};
  socklen_t size = sizeof info;
  if (::getsockopt(watchedDescriptor_, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
  // A close leaves our side in CLOSE_WAIT until we close too; a reset leaves it CLOSED.
  return info.tcpi_state == TCP_CLOSE;
}

QSslSocket* Connection::tlsSocket() const {
  return endpoint_.isTls() ? static_cast<QSslSocket*>(socket_) : nullptr;
}

void Connection::connect() {
  if (endpoint_.usesAbsoluteForm()) {
    socket_->connectToHost(HostOverrides::connectHost(endpoint_.proxy.host, endpoint_.proxy.port),
                           endpoint_.proxy.port);
    return;
  }
  // Where the socket goes: the overriding address, else the host itself.
  const QString& address = endpoint_.address.isEmpty() ? endpoint_.host : endpoint_.address;
  QSslSocket* tls = tlsSocket();
  if (tls == nullptr) {
    socket_->connectToHost(address, endpoint_.port);
    return;
  }
  const TlsOptions& options = endpoint_.tls;
  QSslConfiguration config = QSslConfiguration::defaultConfiguration();
  config.setPeerVerifyMode(QSslSocket::VerifyPeer);
  if (options.clientIdentity) {
    QList<QSslCertificate> chain{options.clientIdentity->certificate};
    chain += options.clientIdentity->chain;
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(options.clientIdentity->key);
  }
  tls->setSslConfiguration(config);
  if (endpoint_.usesTunnel()) {
    // A plain connection to the proxy first; TLS starts once the tunnel is open.
    socket_->connectToHost(HostOverrides::connectHost(endpoint_.proxy.host, endpoint_.proxy.port),
                           endpoint_.proxy.port);
    return;
  }
  // The server is named by its host (server name indication, certificate check) even when the
  // socket connects to an overriding address.
  const QString peerName = options.peerName.isEmpty() ? endpoint_.host : options.peerName;
  tls->connectToHostEncrypted(address, endpoint_.port, peerName);
}

void Connection::startTlsInTunnel() {
  tunnelOpen_ = true;
  QSslSocket* tls = tlsSocket();
  const QString& name = endpoint_.tls.peerName;
  tls->setPeerVerifyName(name.isEmpty() ? endpoint_.host : name);
  tls->startClientEncryption();
}

bool Connection::acceptsTlsErrors(const QList<QSslError>& errors) const {
  const TlsOptions& options = endpoint_.tls;
  for (const QSslError& error : errors) {
    const QSslError::SslError e = error.error();
    if (e == QSslError::NoError) continue;
    if (e == QSslError::HostNameMismatch) {
      if (options.checksPeerName) return false;
      continue;
    }
    if (!options.validatesCertificateChain) continue;
    if (isDateProblem(e) && options.allowsExpiredCertificates) continue;
    if (isRootProblem(e) && options.allowsAnyRoot) continue;
    return false;
  }
  return true;
}

void Connection::setReceiveLimited(bool limited) {
  if (!limited && !everLimited_) return;
  everLimited_ = everLimited_ || limited;
  socket_->setReadBufferSize(limited ? kLimitedReadBufferBytes : kSocketReadBufferBytes);
  const auto fd = static_cast<int>(socket_->socketDescriptor());
  if (fd < 0) return;
  const int size = limited ? kLimitedKernelBufferBytes : kUnlimitedKernelBufferBytes;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

bool Connection::isAlive() const {
  if (socket_->state() != QAbstractSocket::ConnectedState || socket_->bytesAvailable() > 0) {
    return false;
  }
  const bool waitsForTunnel = endpoint_.usesTunnel() && !tunnelOpen_;
  if (QSslSocket* tls = tlsSocket(); tls != nullptr && !waitsForTunnel && !tls->isEncrypted()) {
    return false;
  }
  const auto fd = static_cast<int>(socket_->socketDescriptor());
  if (fd < 0) return false;
  // Peek without waiting: an idle connection has nothing to read. 0 means the peer closed it,
  // data means it sent something unasked (a TLS close alert, a late response), an error other
  // than "would block" means it was reset.
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

}  // namespace http::transport
