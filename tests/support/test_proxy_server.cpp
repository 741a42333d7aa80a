// The tunnelling test proxy: a QTcpServer on its own thread, the CONNECT and SOCKS5 handshakes
// (RFC 9110 section 9.3.6, RFC 1928), and a byte relay between client and target.
#include "support/test_proxy_server.h"

#include "support/wait.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <mutex>

namespace testsupport {

class TestProxyServer::Worker : public QObject {
 public:
  void listen() {
    server_ = new QTcpServer(this);
    server_->listen(QHostAddress::LocalHost, 0);
    port_ = server_->serverPort();
    QObject::connect(server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* client = server_->nextPendingConnection()) accept(client);
    });
  }

  quint16 port_ = 0;
  mutable std::mutex mutex_;
  std::vector<QByteArray> targets_;
  std::vector<QByteArray> heads_;

 private:
  struct Tunnel {
    QPointer<QTcpSocket> client;
    QPointer<QTcpSocket> target;
    QByteArray pending;     // client bytes not yet handled
    bool socks = false;
    int socksStage = 0;     // 0: greeting, 1: request, 2: relaying
    bool relaying = false;
  };

  void accept(QTcpSocket* client) {
    auto tunnel = std::make_shared<Tunnel>();
    tunnel->client = client;
    QObject::connect(client, &QTcpSocket::readyRead, client, [this, tunnel] { onClient(tunnel); });
    QObject::connect(client, &QTcpSocket::disconnected, client, [tunnel] {
      if (tunnel->target) tunnel->target->disconnectFromHost();
      tunnel->client->deleteLater();
    });
  }

  void onClient(const std::shared_ptr<Tunnel>& t) {
    t->pending += t->client->readAll();
    if (t->relaying) {
      if (t->target) t->target->write(t->pending);
      t->pending.clear();
      return;
    }
    if (t->pending.isEmpty()) return;
    if (t->pending[0] == 0x05 || t->socks) {
      t->socks = true;
      handleSocks(t);
    } else {
      handleConnect(t);
    }
  }

  void handleConnect(const std::shared_ptr<Tunnel>& t) {
    const qsizetype end = t->pending.indexOf("\r\n\r\n");
    if (end < 0) return;
    const QByteArray head = t->pending.left(end + 4);
    t->pending.remove(0, end + 4);
    const QList<QByteArray> parts = head.left(head.indexOf("\r\n")).split(' ');
    if (parts.size() < 3 || parts[0] != "CONNECT") {
      t->client->write("HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n");
      t->client->disconnectFromHost();
      return;
    }
    record("CONNECT " + parts[1], head);
    const quint16 port = parts[1].mid(parts[1].lastIndexOf(':') + 1).toUShort();
    open(t, port, "HTTP/1.1 200 Connection established\r\n\r\n");
  }

  void handleSocks(const std::shared_ptr<Tunnel>& t) {
    QByteArray& in = t->pending;
    if (t->socksStage == 0) {
      // VER NMETHODS METHODS...; answer "no authentication".
      if (in.size() < 2 || in.size() < 2 + static_cast<unsigned char>(in[1])) return;
      in.remove(0, 2 + static_cast<unsigned char>(in[1]));
      t->client->write(QByteArray("\x05\x00", 2));
      t->socksStage = 1;
    }
    if (t->socksStage == 1) {
      // VER CMD RSV ATYP DST.ADDR DST.PORT
      if (in.size() < 5) return;
      const auto atyp = static_cast<unsigned char>(in[3]);
      qsizetype addrLen = atyp == 1 ? 4 : atyp == 4 ? 16 : 1 + static_cast<unsigned char>(in[4]);
      if (in.size() < 4 + addrLen + 2) return;
      QByteArray host = atyp == 3 ? in.mid(5, addrLen - 1)
                                  : QHostAddress(reinterpret_cast<const quint8*>(in.constData() + 4))
                                        .toString()
                                        .toLatin1();
      const quint16 port = static_cast<quint16>(
          (static_cast<unsigned char>(in[4 + addrLen]) << 8) | static_cast<unsigned char>(in[5 + addrLen]));
      in.remove(0, 4 + addrLen + 2);
      t->socksStage = 2;
      record("SOCKS5 " + host + ':' + QByteArray::number(port), {});
      open(t, port, QByteArray("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10));
    }
  }

  void record(const QByteArray& target, const QByteArray& head) {
    std::lock_guard lock(mutex_);
    targets_.push_back(target);
    if (!head.isEmpty()) heads_.push_back(head);
  }

  void open(const std::shared_ptr<Tunnel>& t, quint16 port, QByteArray success) {
    auto* target = new QTcpSocket(this);
    t->target = target;
    QObject::connect(target, &QTcpSocket::connected, target, [t, success] {
      t->client->write(success);
      t->relaying = true;
      if (!t->pending.isEmpty()) {
        t->target->write(t->pending);
        t->pending.clear();
      }
    });
    QObject::connect(target, &QTcpSocket::readyRead, target, [t] {
      if (t->client) t->client->write(t->target->readAll());
    });
    QObject::connect(target, &QTcpSocket::disconnected, target, [t] {
      if (t->client) t->client->disconnectFromHost();
      t->target->deleteLater();
    });
    QObject::connect(target, &QTcpSocket::errorOccurred, target, [t] {
      if (t->client && !t->relaying) t->client->disconnectFromHost();
    });
    target->connectToHost(QHostAddress::LocalHost, port);
  }

  QTcpServer* server_ = nullptr;
};


TestProxyServer::TestProxyServer() : thread_(std::make_unique<QThread>()) {
  thread_->setObjectName(QStringLiteral("test-proxy"));
  thread_->start();
  worker_ = new Worker;
  worker_->moveToThread(thread_.get());
  runOnThreadOf(worker_, [this] { worker_->listen(); });
}

TestProxyServer::~TestProxyServer() {
  runOnThreadOf(worker_, [this] {
    const QObjectList children = worker_->children();
    qDeleteAll(children);
  });
  thread_->quit();
  thread_->wait();
  delete worker_;
}

quint16 TestProxyServer::port() const { return worker_->port_; }

std::vector<QByteArray> TestProxyServer::targets() const {
  std::lock_guard lock(worker_->mutex_);
  return worker_->targets_;
}

std::vector<QByteArray> TestProxyServer::connectHeads() const {
  std::lock_guard lock(worker_->mutex_);
  return worker_->heads_;
}

}  // namespace testsupport
