// Ports on 127.0.0.1 for the servers the tests start.
#include "support/loopback_ports.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace testsupport {

quint16 freeLoopbackPort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

bool acceptsLoopbackConnections(quint16 port) {
  QTcpSocket socket;
  socket.connectToHost(QHostAddress::LocalHost, port);
  return socket.waitForConnected(200);
}

}  // namespace testsupport
