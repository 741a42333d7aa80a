// Idle kept-alive connections keyed by connection id, with liveness watching while idle and a
// final liveness check when one is taken.
#include "http/transport/connection_pool.h"

#include <QTcpSocket>

namespace http::transport {

ConnectionPool& ConnectionPool::instance() {
  static ConnectionPool* pool = new ConnectionPool;  // I/O thread only; closed at its stop
  return *pool;
}

std::unique_ptr<Connection> ConnectionPool::take(int connectionId, const Endpoint& endpoint) {
  auto it = idle_.find(connectionId);
  if (it == idle_.end()) return nullptr;
  std::unique_ptr<Connection> connection = std::move(it->second.connection);
  idle_.erase(it);
  connection->socket()->disconnect();
  if (!(connection->endpoint() == endpoint) || !connection->isAlive()) return nullptr;
  return connection;
}

void ConnectionPool::put(int connectionId, std::unique_ptr<Connection> connection) {
  QTcpSocket* socket = connection->socket();
  const quint64 serial = nextSerial_++;
  socket->disconnect();
  idle_[connectionId] = Idle{serial, std::move(connection)};
  // While idle, anything from the peer (data, a close, a reset) ends the connection. Queued, so
  // the socket is never deleted inside its own signal.
  auto dropIt = [this, connectionId, serial] { drop(connectionId, serial); };
  QObject::connect(socket, &QTcpSocket::readyRead, socket, dropIt, Qt::QueuedConnection);
  QObject::connect(socket, &QTcpSocket::disconnected, socket, dropIt, Qt::QueuedConnection);
  QObject::connect(socket, &QTcpSocket::errorOccurred, socket, dropIt, Qt::QueuedConnection);
}

void ConnectionPool::drop(int connectionId, quint64 serial) {
  auto it = idle_.find(connectionId);
  if (it != idle_.end() && it->second.serial == serial) idle_.erase(it);
}

void ConnectionPool::closeIdle(int connectionId) { idle_.erase(connectionId); }

void ConnectionPool::closeAll() { idle_.clear(); }

}  // namespace http::transport
