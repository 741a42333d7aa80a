// The programmable loopback HTTP server: a QTcpServer on its own thread, a small request parser
// (Content-Length and chunked bodies), and scripted answers sent with delays, pieces and cuts.
#include "support/test_http_server.h"

#include "support/wait.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <deque>
#include <map>
#include <mutex>

#include <sys/socket.h>

namespace testsupport {

namespace {

bool sameName(const QByteArray& a, const QByteArray& b) {
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

QByteArray fieldValue(const HttpFields& fields, const QByteArray& name) {
  for (const auto& [n, v] : fields) {
    if (sameName(n, name)) return v;
  }
  return {};
}

// Closes `socket` with a reset: a zero linger time makes the kernel send RST on close.
void resetSocket(QTcpSocket* socket) {
  const int fd = static_cast<int>(socket->socketDescriptor());
  if (fd >= 0) {
    ::linger option{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  }
  socket->abort();
}

}  // namespace

// ---- HttpResponse ----

HttpResponse HttpResponse::ok(QByteArray body) {
  HttpResponse r;
  r.body = std::move(body);
  return r;
}

HttpResponse HttpResponse::withStatus(int status, QByteArray reason, QByteArray body) {
  HttpResponse r;
  r.status = status;
  r.reason = std::move(reason);
  r.body = std::move(body);
  return r;
}

HttpResponse HttpResponse::rawBytes(QByteArray bytes, bool keepAlive) {
  HttpResponse r;
  r.raw = std::move(bytes);
  r.keepAlive = keepAlive;
  return r;
}

HttpResponse HttpResponse::dropConnection(bool reset) {
  HttpResponse r;
  r.raw = QByteArray();
  r.closeAfterBytes = 0;
  r.reset = reset;
  return r;
}

HttpResponse& HttpResponse::withHeader(QByteArray name, QByteArray value) {
  headers.emplace_back(std::move(name), std::move(value));
  return *this;
}

HttpResponse& HttpResponse::chunked(int size) {
  framing = Framing::Chunked;
  chunkSize = size;
  return *this;
}

HttpResponse& HttpResponse::untilClose() {
  framing = Framing::UntilClose;
  keepAlive = false;
  return *this;
}

HttpResponse& HttpResponse::noLength() {
  framing = Framing::NoLength;
  return *this;
}

HttpResponse& HttpResponse::closing() {
  keepAlive = false;
  return *this;
}

HttpResponse& HttpResponse::after(std::chrono::milliseconds wait) {
  delay = wait;
  return *this;
}

HttpResponse& HttpResponse::slowly(int bytesPerPiece, std::chrono::milliseconds gap) {
  pieceSize = bytesPerPiece;
  pieceDelay = gap;
  return *this;
}

HttpResponse& HttpResponse::cutAfter(qint64 bytes, bool withReset) {
  closeAfterBytes = bytes;
  reset = withReset;
  return *this;
}

HttpResponse& HttpResponse::stallAfter(qint64 bytes) {
  stallAfterBytes = bytes;
  return *this;
}

QByteArray HttpResponse::wire(bool headRequest) const {
  if (raw) return *raw;
  QByteArray out;
  for (const QByteArray& head : interim) out += head;
  out += version + ' ' + QByteArray::number(status) + ' ' + reason + "\r\n";
  if (framing == Framing::ContentLength) {
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
  } else if (framing == Framing::Chunked) {
    out += "Transfer-Encoding: chunked\r\n";
  }
  if (!keepAlive) out += "Connection: close\r\n";
  for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
  out += "\r\n";
  if (headRequest) return out;
  if (framing != Framing::Chunked) return out + body;
  const qsizetype step = chunkSize > 0 ? chunkSize : std::max<qsizetype>(body.size(), 1);
  for (qsizetype pos = 0; pos < body.size(); pos += step) {
    const QByteArray piece = body.mid(pos, step);
    out += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
  }
  out += "0\r\n";
  for (const auto& [name, value] : trailers) out += name + ": " + value + "\r\n";
  out += "\r\n";
  return out;
}

// ---- RecordedRequest ----

QByteArray RecordedRequest::header(const QByteArray& name) const { return fieldValue(headers, name); }

bool RecordedRequest::hasHeader(const QByteArray& name) const {
  for (const auto& f : headers) {
    if (sameName(f.first, name)) return true;
  }
  return false;
}

QByteArray RecordedRequest::path() const {
  const qsizetype q = target.indexOf('?');
  return q < 0 ? target : target.left(q);
}

// ---- the worker on the server thread ----

class TestHttpServer::Worker : public QObject {
 public:
  struct Conn {
    int index = 0;
    QPointer<QTcpSocket> socket;
    QByteArray buffer;        // received bytes not yet parsed into a request
    int requests = 0;         // requests received on this connection
    bool responding = false;  // an answer is being sent; later requests wait
    qint64 partialBody = 0;   // body bytes of the request still arriving
  };

  // Runs on the server thread.
  void listen() {
    server_ = new QTcpServer(this);
    server_->listen(QHostAddress::LocalHost, 0);
    port_ = server_->serverPort();
    QObject::connect(server_, &QTcpServer::newConnection, this, [this] { accept(); });
  }

  quint16 port() const { return port_; }

  // Shared with other threads; guarded by mutex_.
  mutable std::mutex mutex_;
  std::map<QByteArray, HttpResponse> routes_;
  std::deque<HttpResponse> queue_;
  std::function<std::optional<HttpResponse>(const RecordedRequest&)> handler_;
  std::vector<RecordedRequest> records_;
  int accepted_ = 0;
  int open_ = 0;
  qint64 completedBody_ = 0;
  bool paused_ = false;

  // Server-thread only.
  QTcpServer* server_ = nullptr;
  quint16 port_ = 0;
  std::map<QTcpSocket*, std::shared_ptr<Conn>> conns_;

  qint64 bodyBytes() const {
    qint64 partial = 0;
    for (const auto& [socket, conn] : conns_) partial += conn->partialBody;
    std::lock_guard lock(mutex_);
    return completedBody_ + partial;
  }

  void accept() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
      auto conn = std::make_shared<Conn>();
      conn->socket = socket;
      {
        std::lock_guard lock(mutex_);
        conn->index = ++accepted_;
        ++open_;
        if (paused_) socket->setReadBufferSize(64 * 1024);
      }
      conns_[socket] = conn;
      QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, conn] { onReadable(conn); });
      QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] { forget(socket); });
      onReadable(conn);
    }
  }

  void forget(QTcpSocket* socket) {
    if (conns_.erase(socket) > 0) {
      std::lock_guard lock(mutex_);
      --open_;
    }
    socket->deleteLater();
  }

  void closeConn(const std::shared_ptr<Conn>& conn, bool reset) {
    QTcpSocket* socket = conn->socket;
    if (socket == nullptr) return;
    if (reset) {
      resetSocket(socket);
    } else {
      socket->disconnectFromHost();
    }
    if (socket->state() == QAbstractSocket::UnconnectedState) forget(socket);
  }

  void onReadable(const std::shared_ptr<Conn>& conn) {
    if (conn->socket == nullptr) return;
    {
      std::lock_guard lock(mutex_);
      if (paused_) return;
    }
    conn->buffer += conn->socket->readAll();
    while (!conn->responding && conn->socket != nullptr) {
      std::optional<RecordedRequest> request = parse(*conn);
      if (!request) break;
      answer(conn, std::move(*request));
    }
  }

  // Takes one complete request off the front of conn.buffer, or returns nullopt.
  std::optional<RecordedRequest> parse(Conn& conn) {
    conn.partialBody = 0;
    const qsizetype headEnd = conn.buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) return std::nullopt;
    const QList<QByteArray> lines = conn.buffer.left(headEnd).split('\n');
    RecordedRequest r;
    const QList<QByteArray> parts = lines[0].trimmed().split(' ');
    if (parts.size() == 3) {
      r.method = parts[0];
      r.target = parts[1];
      r.version = parts[2];
    }
    for (qsizetype i = 1; i < lines.size(); ++i) {
      const QByteArray line = lines[i].trimmed();
      const qsizetype colon = line.indexOf(':');
      if (colon > 0) r.headers.emplace_back(line.left(colon), line.mid(colon + 1).trimmed());
    }
    qsizetype pos = headEnd + 4;
    if (fieldValue(r.headers, "Transfer-Encoding").toLower().contains("chunked")) {
      r.bodyWasChunked = true;
      while (true) {
        const qsizetype lineEnd = conn.buffer.indexOf("\r\n", pos);
        if (lineEnd < 0) return std::nullopt;
        bool ok = false;
        const qint64 size = conn.buffer.mid(pos, lineEnd - pos).split(';')[0].trimmed().toLongLong(&ok, 16);
        if (!ok) return std::nullopt;
        if (size == 0) {
          const qsizetype end = conn.buffer.indexOf("\r\n\r\n", lineEnd);
          if (end < 0 && conn.buffer.mid(lineEnd, 4) != "\r\n\r\n") return std::nullopt;
          pos = (end < 0 ? lineEnd : end) + 4;
          break;
        }
        if (conn.buffer.size() < lineEnd + 2 + size + 2) {
          conn.partialBody = r.body.size() + (conn.buffer.size() - lineEnd - 2);
          return std::nullopt;
        }
        r.body += conn.buffer.mid(lineEnd + 2, size);
        pos = lineEnd + 2 + size + 2;
      }
    } else {
      const qint64 length = fieldValue(r.headers, "Content-Length").toLongLong();
      if (conn.buffer.size() - pos < length) {
        conn.partialBody = conn.buffer.size() - pos;
        return std::nullopt;
      }
      r.body = conn.buffer.mid(pos, length);
      pos += length;
    }
    conn.buffer.remove(0, pos);
    r.connection = conn.index;
    r.indexOnConnection = ++conn.requests;
    return r;
  }

  void answer(const std::shared_ptr<Conn>& conn, RecordedRequest request) {
    HttpResponse response = HttpResponse::withStatus(404, "Not Found", "not found");
    std::function<std::optional<HttpResponse>(const RecordedRequest&)> handler;
    bool chosen = false;
    {
      std::lock_guard lock(mutex_);
      records_.push_back(request);
      completedBody_ += request.body.size();
      if (!queue_.empty()) {
        response = std::move(queue_.front());
        queue_.pop_front();
        chosen = true;
      } else {
        handler = handler_;
      }
    }
    if (!chosen && handler) {
      if (auto r = handler(request)) {
        response = std::move(*r);
        chosen = true;
      }
    }
    if (!chosen) {
      std::lock_guard lock(mutex_);
      auto it = routes_.find(request.path());
      if (it != routes_.end()) response = it->second;
    }
    conn->responding = true;
    auto message = std::make_shared<QByteArray>(response.wire(request.method == "HEAD"));
    auto sent = std::make_shared<qint64>(0);
    auto step = std::make_shared<std::function<void()>>();
    // Each pending timer holds the step; the step refers to itself only weakly.
    std::weak_ptr<std::function<void()>> weakStep = step;
    *step = [this, conn, response, message, sent, weakStep] {
      QTcpSocket* socket = conn->socket;
      if (socket == nullptr) return;
      qint64 limit = response.closeAfterBytes >= 0
                         ? std::min<qint64>(response.closeAfterBytes, message->size())
                         : message->size();
      if (response.stallAfterBytes >= 0) limit = std::min(limit, response.stallAfterBytes);
      qint64 n = limit - *sent;
      if (response.pieceSize > 0) n = std::min<qint64>(n, response.pieceSize);
      if (n > 0) socket->write(message->constData() + *sent, n);
      *sent += n;
      if (*sent < limit) {
        QTimer::singleShot(response.pieceDelay, socket, [step = weakStep.lock()] { (*step)(); });
        return;
      }
      if (response.stallAfterBytes >= 0) return;  // silent from now on; the connection stays busy
      if (response.closeAfterBytes >= 0 || !response.keepAlive) {
        closeWhenFlushed(conn, response.reset);
        return;
      }
      conn->responding = false;
      onReadable(conn);
    };
    QTimer::singleShot(response.delay, conn->socket, [step] { (*step)(); });
  }

  void closeWhenFlushed(const std::shared_ptr<Conn>& conn, bool reset) {
    QTcpSocket* socket = conn->socket;
    if (socket == nullptr) return;
    if (!reset || socket->bytesToWrite() == 0) {
      closeConn(conn, reset);
      return;
    }
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [this, conn] {
      if (conn->socket != nullptr && conn->socket->bytesToWrite() == 0) closeConn(conn, true);
    });
  }

  void closeIdle(bool reset) {
    std::vector<std::shared_ptr<Conn>> idle;
    for (const auto& [socket, conn] : conns_) {
      if (!conn->responding && conn->buffer.isEmpty()) idle.push_back(conn);
    }
    for (const auto& conn : idle) closeConn(conn, reset);
  }

  void setPaused(bool paused) {
    {
      std::lock_guard lock(mutex_);
      paused_ = paused;
    }
    std::vector<std::shared_ptr<Conn>> all;
    for (const auto& [socket, conn] : conns_) all.push_back(conn);
    for (const auto& conn : all) {
      if (conn->socket == nullptr) continue;
      conn->socket->setReadBufferSize(paused ? 64 * 1024 : 0);
      if (!paused) onReadable(conn);
    }
  }

  void shutdown() {
    server_->close();
    std::vector<QTcpSocket*> sockets;
    for (const auto& [socket, conn] : conns_) sockets.push_back(socket);
    for (QTcpSocket* socket : sockets) {
      socket->disconnect();
      socket->abort();
      delete socket;
    }
    conns_.clear();
  }
};

// ---- TestHttpServer ----

TestHttpServer::TestHttpServer() : thread_(std::make_unique<QThread>()) {
  thread_->setObjectName(QStringLiteral("test-http-server"));
  thread_->start();
  worker_ = new Worker;
  worker_->moveToThread(thread_.get());
  runOnThreadOf(worker_, [this] { worker_->listen(); });
}

TestHttpServer::~TestHttpServer() {
  runOnThreadOf(worker_, [this] { worker_->shutdown(); });
  thread_->quit();
  thread_->wait();
  delete worker_;  // its thread has ended
}

quint16 TestHttpServer::port() const { return worker_->port(); }

QUrl TestHttpServer::url(const QString& path) const {
  return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

void TestHttpServer::route(const QByteArray& path, HttpResponse response) {
  std::lock_guard lock(worker_->mutex_);
  worker_->routes_[path] = std::move(response);
}

void TestHttpServer::enqueue(HttpResponse response) {
  std::lock_guard lock(worker_->mutex_);
  worker_->queue_.push_back(std::move(response));
}

void TestHttpServer::setHandler(
    std::function<std::optional<HttpResponse>(const RecordedRequest&)> handler) {
  std::lock_guard lock(worker_->mutex_);
  worker_->handler_ = std::move(handler);
}

std::vector<RecordedRequest> TestHttpServer::requests() const {
  std::lock_guard lock(worker_->mutex_);
  return worker_->records_;
}

int TestHttpServer::requestCount() const {
  std::lock_guard lock(worker_->mutex_);
  return static_cast<int>(worker_->records_.size());
}

int TestHttpServer::connectionCount() const {
  std::lock_guard lock(worker_->mutex_);
  return worker_->accepted_;
}

int TestHttpServer::openConnectionCount() const {
  std::lock_guard lock(worker_->mutex_);
  return worker_->open_;
}

qint64 TestHttpServer::bodyBytesReceived() const {
  qint64 bytes = 0;
  runOnThreadOf(worker_, [&] { bytes = worker_->bodyBytes(); });
  return bytes;
}

bool TestHttpServer::waitForRequests(int n, std::chrono::milliseconds limit) const {
  return waitUntil([&] { return requestCount() >= n; }, limit);
}

bool TestHttpServer::waitForNoOpenConnections(std::chrono::milliseconds limit) const {
  return waitUntil([&] { return openConnectionCount() == 0; }, limit);
}

void TestHttpServer::closeIdleConnections(bool reset) {
  runOnThreadOf(worker_, [&] { worker_->closeIdle(reset); });
}

void TestHttpServer::setReadingPaused(bool paused) {
  runOnThreadOf(worker_, [&] { worker_->setPaused(paused); });
}

}  // namespace testsupport
