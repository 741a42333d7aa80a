// A tunnelling proxy on 127.0.0.1 for tests: answers HTTP CONNECT and SOCKS5 (no
// authentication) requests, relays bytes both ways, and records the targets asked for.
#pragma once

#include <QByteArray>

#include <memory>
#include <vector>

class QThread;

namespace testsupport {

// The proxy. Every client's first byte tells the protocol: 0x05 is SOCKS5, anything else an
// HTTP CONNECT request. Targets are reached on 127.0.0.1 whatever host they name (tests talk
// to nothing else), so a test may use names such as "localhost" or "origin.test".
// Thread: members may be called from any thread; the proxy runs on its own thread.
class TestProxyServer {
 public:
  TestProxyServer();
  ~TestProxyServer();
  TestProxyServer(const TestProxyServer&) = delete;
  TestProxyServer& operator=(const TestProxyServer&) = delete;

  quint16 port() const;
  // The targets asked for, in order, as "host:port", each prefixed with "CONNECT " or
  // "SOCKS5 ".
  std::vector<QByteArray> targets() const;
  // The head of each CONNECT request as received (for checking its fields).
  std::vector<QByteArray> connectHeads() const;

 private:
  class Worker;
  std::unique_ptr<QThread> thread_;
  Worker* worker_;  // lives on thread_
};

}  // namespace testsupport
