// One request/response exchange on the I/O thread: find or open a connection, send the head
// and the body, parse the response into the stream's channel, then keep or close the connection.
#pragma once

#include "http/transport/body_stream.h"
#include "http/transport/connection.h"
#include "http/transport/request_head.h"
#include "http/transport/response_parser.h"
#include "http/transport/stream_channel.h"
#include "http/transport/transport_error.h"

#include <QAbstractSocket>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>

namespace http::transport {

// What a stream asks of its exchange.
struct ExchangeConfig {
  RequestHead head;
  std::shared_ptr<BodyStream> body;  // opened by the stream; read and closed here
  TlsOptions tls;
  ProxySettings proxy;
  bool keepAlive = false;  // leave the connection open for the next stream of connectionId
  int connectionId = 0;    // 0: the connection is used by this exchange only
};

// The I/O-thread side of one stream. Made on any thread; every other member runs on the I/O
// thread, and it must be destroyed there. Owns its connection until the exchange ends, then
// hands it to the pool (reusable) or closes it. Reports everything through the channel.
class Exchange : public std::enable_shared_from_this<Exchange>, private ConnectionListener {
 public:
  Exchange(ExchangeConfig config, std::shared_ptr<StreamChannel> channel);
  ~Exchange();
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Starts the exchange: reuses the idle connection of the id when it is alive, else connects.
  void start();
  // The stream was closed: stop at once, closing the connection unless it was already handed
  // back to the pool.
  void abandon();
  // Sizes the socket's receive buffers for the stream's throttling state (small while held to a
  // bandwidth limit, so that little is taken off the wire ahead of the consumer).
  void applyReceiveLimits();
  // True once the exchange ended (done or failed): it holds no connection or socket any more,
  // so it may be dropped and deleted on any thread. Thread: any.
  bool isFinished() const { return finished_.load(std::memory_order_acquire); }

 private:
  enum class State {
    Idle,        // not started
    Connecting,  // TCP connect, proxy negotiation, TLS handshake
    Tunneling,   // CONNECT sent to an HTTP proxy, its answer being read
    Exchanging,  // sending the request and reading the response (both may overlap)
    Done,        // the response ended; the connection is pooled or closed
    Failed,      // failed or abandoned; the connection is closed
  };
  // A run of bytes handed to the socket, for counting body bytes as the socket accepts them.
  struct Segment {
    qint64 bytes;  // bytes of the run not yet accepted by the socket
    bool isBody;   // request-body bytes (not head or chunk framing)
  };

  bool prepareHead();
  // Makes this exchange the listener of its connection.
  void attach();
  // The connection's socket (ConnectionListener).
  void socketConnected() override;
  void socketEncrypted() override { onConnected(); }
  void socketTlsErrors(const QList<QSslError>& errors) override { onTlsErrors(errors); }
  void socketReadyRead() override { onReadyRead(); }
  void socketBytesWritten(qint64 bytes) override { onBytesWritten(bytes); }
  void socketError(QAbstractSocket::SocketError error) override { onSocketError(error); }
  void onConnected();
  // The connection to the proxy is up: asks it for the tunnel.
  void openTunnel();
  // The head of the proxy's answer to CONNECT arrived: TLS starts in the tunnel (2xx), or the
  // answer becomes this exchange's response (a 407 the engine answers). False when the
  // exchange stops here.
  bool onTunnelAnswer(bool leftover);
  void onTlsErrors(const QList<QSslError>& errors);
  void writeBody();
  // Reads the body again after `delay` (a throttled body asked to wait).
  void writeBodyLater(std::chrono::milliseconds delay);
  void write(const QByteArray& bytes, bool isBody);
  // Bytes of `bytes` handed straight to the kernel (see write()); 0 when the socket must take them.
  qint64 sendDirectly(const QByteArray& bytes);
  void onBytesWritten(qint64 bytes);
  void onReadyRead();
  void onSocketError(QAbstractSocket::SocketError socketError);
  void handleEndOfStream();
  void finish();
  void fail(TransportErrorCode code, const QString& description,
            platform::ErrorPtr underlying = nullptr, QVariantMap userInfo = {});
  void releaseResources();
  QString where() const;

  ExchangeConfig config_;
  std::shared_ptr<StreamChannel> channel_;
  State state_ = State::Idle;
  Endpoint endpoint_;                       // where the request goes
  std::unique_ptr<Connection> connection_;  // owned while the exchange runs
  ResponseParser parser_;
  QByteArray wireHead_;                     // the request head as sent
  QByteArray connectHead_;                  // the CONNECT request of a tunnel (with proxy credentials)
  bool chunkedBody_ = false;                // body sent with chunked coding (no Content-Length)
  qint64 bodyRemaining_ = 0;                // Content-Length bytes still to send
  bool bodyDone_ = true;                    // the whole body was handed to the socket
  bool requestSaysClose_ = false;           // the request asked for "Connection: close"
  bool peerClosed_ = false;                 // the peer ended the connection (bytes may remain)
  bool sawLeftover_ = false;                // bytes followed the end of the response
  bool reusedConnection_ = false;           // the exchange runs on an idle connection taken again
  QStringList tlsProblems_;                 // certificate problems that were refused
  std::deque<Segment> segments_;            // written runs not yet accepted by the socket
  QByteArray bodyBuffer_;                   // reused buffer for body reads
  bool bodyReadPending_ = false;            // a timer will read the body again
  std::atomic<bool> finished_{false};       // set once the connection and body are released
};

}  // namespace http::transport
