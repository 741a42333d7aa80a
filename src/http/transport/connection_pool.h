// Idle kept-alive connections, one per connection id, waiting for the next stream of that id.
// A connection the peer closes or writes to while idle is dropped at once.
#pragma once

#include "http/transport/connection.h"

#include <map>
#include <memory>

namespace http::transport {

// The idle connections of the process, keyed by connection id. Thread: the I/O thread only
// (other threads go through HttpStream's class functions).
class ConnectionPool {
 public:
  static ConnectionPool& instance();

  // Takes the idle connection of `connectionId` when it leads to `endpoint` and is still alive;
  // otherwise closes it (if any) and returns null.
  std::unique_ptr<Connection> take(int connectionId, const Endpoint& endpoint);
  // Keeps `connection` idle for the next stream of `connectionId`, replacing (closing) an older
  // idle one of the same id, and watches it: if the peer closes it or sends anything, it is
  // closed and forgotten.
  void put(int connectionId, std::unique_ptr<Connection> connection);
  // Closes the idle connection of `connectionId`, if any.
  void closeIdle(int connectionId);
  // Closes every idle connection.
  void closeAll();
  int idleCount() const { return static_cast<int>(idle_.size()); }

 private:
  // Listens to an idle connection: anything from the peer (data, a close, a reset) ends it.
  // The drop is queued, so the socket is never deleted inside its own signal.
  struct Watch final : ConnectionListener {
    Watch(ConnectionPool* pool, int connectionId, quint64 serial)
        : pool(pool), connectionId(connectionId), serial(serial) {}
    void socketReadyRead() override { dropLater(); }
    void socketDisconnected() override { dropLater(); }
    void socketError(QAbstractSocket::SocketError) override { dropLater(); }
    void dropLater();
    ConnectionPool* pool;
    int connectionId;
    quint64 serial;
  };
  struct Idle {
    quint64 serial;                          // tells this stay in the pool from a later one
    std::unique_ptr<Watch> watch;            // the connection's listener while idle
    std::unique_ptr<Connection> connection;  // the idle connection (destroyed before its watch)
  };
  void drop(int connectionId, quint64 serial);

  std::map<int, Idle> idle_;  // connection id -> idle connection
  quint64 nextSerial_ = 1;    // serial of the next connection put idle
};

}  // namespace http::transport
