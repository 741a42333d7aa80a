// Ports on 127.0.0.1 for the servers the tests start: a free one to give a server, whether a
// server already accepts connections on one, and stopping a server's process.
#pragma once

#include <QtGlobal>

#include <memory>

class QProcess;

namespace testsupport {

// A port nothing listens on at the moment of asking (the caller retries if it is taken meanwhile).
quint16 freeLoopbackPort();

// True when a connection to 127.0.0.1:`port` is accepted within 200 ms.
bool acceptsLoopbackConnections(quint16 port);

// Ends `process` (asked to terminate, killed after 5 s) and drops it; nothing when null.
void stopProcess(std::unique_ptr<QProcess>& process);

}  // namespace testsupport
