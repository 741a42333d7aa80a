// One client connection of the transport: a TCP or TLS socket to a server (directly or through
// a proxy), what it is connected to, and the checks made before it is used again.
#pragma once

#include "http/transport/proxy_settings.h"
#include "http/transport/tls_options.h"

#include <QAbstractSocket>
#include <QList>
#include <QSslError>
#include <QString>

#include <memory>

class QSslSocket;
class QTcpSocket;

namespace http::transport {

// What a connection leads to. A connection is reused only for an equal endpoint.
struct Endpoint {
  QString scheme;  // "http" or "https", lower case
  QString host;
  quint16 port = 0;
  QString address;  // where the socket connects for host (HostOverrides); empty: host itself
  ProxySettings proxy;
  TlsOptions tls;  // compared for https only

  bool isTls() const { return scheme == QLatin1String("https"); }
  // True for plain http through an HTTP proxy: the connection goes to the proxy itself and
  // requests name the whole URL.
  bool usesAbsoluteForm() const {
    return !isTls() && proxy.isSet() && proxy.type == ProxySettings::Type::Http;
  }
  // True for https through an HTTP proxy: the connection goes to the proxy, which opens a
  // tunnel to the server on a CONNECT request (RFC 9110 section 9.3.6); TLS starts inside it.
  bool usesTunnel() const {
    return isTls() && proxy.isSet() && proxy.type == ProxySettings::Type::Http;
  }
  bool operator==(const Endpoint& other) const;
};

// Who hears a connection's socket: the exchange using it, or the pool while it is idle. The
// socket's signals are connected once, when the connection is made; they reach the listener
// of the moment, and nobody when there is none.
class ConnectionListener {
 public:
  virtual ~ConnectionListener() = default;
  // The TCP connection is up (to the server, or to the proxy of a tunnel).
  virtual void socketConnected() {}
  // The TLS handshake ended in success.
  virtual void socketEncrypted() {}
  virtual void socketTlsErrors(const QList<QSslError>& errors) { (void)errors; }
  virtual void socketReadyRead() {}
  virtual void socketBytesWritten(qint64 bytes) { (void)bytes; }
  virtual void socketError(QAbstractSocket::SocketError error) { (void)error; }
  virtual void socketDisconnected() {}
};

// A socket and its endpoint. Created unconnected; connect() starts the connection (through the
// proxy and the TLS handshake as needed). The socket belongs to the connection and is deleted
// with it. Thread: the I/O thread only.
class Connection {
 public:
  explicit Connection(Endpoint endpoint);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const Endpoint& endpoint() const { return endpoint_; }
  QTcpSocket* socket() const { return socket_; }
  // The same socket as a TLS socket; null for plain http.
  QSslSocket* tlsSocket() const;

  // Starts connecting. The socket signals connected() (plain) or encrypted() (TLS) when ready,
  // errorOccurred() on failure, sslErrors() with certificate problems to judge.
  void connect();

  // True when every certificate problem in `errors` is one the endpoint's TLS options accept.
  bool acceptsTlsErrors(const QList<QSslError>& errors) const;

  // True when an idle connection can carry another exchange: still connected, nothing arrived
  // unasked, and the peer has not closed or reset it (checked on the socket itself, so a close
  // not yet noticed by the event loop is seen too).
  bool isAlive() const;

  // Keeps a second descriptor of the connected socket, so that how the peer ended it can still
  // be read after the socket layer has let go of its own. Once per connection; later calls do
  // nothing.
  void watchForReset();
  // True when the peer reset the connection (RST) rather than closing it in order (FIN): the
  // socket reports both as "remote host closed", the kernel's TCP state tells them apart.
  // False when watchForReset() was not called.
  bool wasReset() const;
  // Small receive buffers (Qt's and the kernel's) while `limited`, so that a throttled reader
  // leaves bytes on the wire; the usual ones otherwise. A connection that was ever limited keeps
  // a fixed kernel buffer and is not worth keeping for later transfers.
  void setReceiveLimited(bool limited);
  bool wasReceiveLimited() const { return everLimited_; }

  // Tunnelled connections: whether the proxy opened the tunnel (and TLS may start in it). A
  // connection whose CONNECT was refused (407) stays with the proxy and may try again.
  bool tunnelOpen() const { return tunnelOpen_; }
  // The proxy answered CONNECT with success: starts the TLS handshake with the server inside
  // the tunnel (encrypted() or errorOccurred() follow).
  void startTlsInTunnel();

  // The listener of the socket's signals from now on (null: nobody).
  void setListener(ConnectionListener* listener) { listener_ = listener; }

  // How many exchanges this connection has carried to their end.
  int completedExchanges() const { return completedExchanges_; }
  void countCompletedExchange() { ++completedExchanges_; }

 private:
  Endpoint endpoint_;
  QTcpSocket* socket_;          // owned; deleted later on the I/O thread
  ConnectionListener* listener_ = nullptr;  // see setListener()
  int completedExchanges_ = 0;  // exchanges carried to their end
  int watchedDescriptor_ = -1;  // a duplicate of the socket's descriptor; see watchForReset()
  bool everLimited_ = false;    // setReceiveLimited(true) was called
  bool tunnelOpen_ = false;     // usesTunnel(): the proxy accepted CONNECT
};

}  // namespace http::transport
