// Idle kept-alive connections keyed by connection id, with liveness watching while idle and a
// final liveness check when one is taken.
#include "http/transport/connection_pool.h"

#include "http/transport/io_thread.h"

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
  connection->setListener(nullptr);
  if (!(connection->endpoint() == endpoint) || !connection->isAlive()) return nullptr;
  return connection;
}

void ConnectionPool::put(int connectionId, std::unique_ptr<Connection> connection) {
  const quint64 serial = nextSerial_++;
  auto watch = std::make_unique<Watch>(this, connectionId, serial);
  connection->setListener(watch.get());
  idle_.erase(connectionId);
  idle_.emplace(connectionId, Idle{serial, std::move(watch), std::move(connection)});
}

void ConnectionPool::Watch::dropLater() {
  IoThread::post([pool = pool, connectionId = connectionId, serial = serial] { pool->drop(connectionId, serial); });
}

void ConnectionPool::drop(int connectionId, quint64 serial) {
  auto it = idle_.find(connectionId);
  if (it != idle_.end() && it->second.serial == serial) idle_.erase(it);
}

void ConnectionPool::closeIdle(int connectionId) { idle_.erase(connectionId); }

void ConnectionPool::closeAll() { idle_.clear(); }

}  // namespace http::transport
