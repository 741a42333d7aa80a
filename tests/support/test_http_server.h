// A programmable HTTP/1.1 server on 127.0.0.1 for tests: scripted answers per path or per
// request, chunking, delays, dropped and reset connections, and a record of what clients sent.
#pragma once

#include <QByteArray>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QThread;

namespace testsupport {

using HttpFields = std::vector<std::pair<QByteArray, QByteArray>>;

// One scripted answer. The defaults give "HTTP/1.1 200 OK" with a Content-Length and an empty
// body on a kept-alive connection. Build it with the chained setters:
//   HttpResponse::ok("hello").chunked(2).withHeader("X-A", "1").slowly(5, 1)
struct HttpResponse {
  enum class Framing {
    ContentLength,  // a Content-Length field is added
    Chunked,        // "Transfer-Encoding: chunked", the body in chunks of chunkSize bytes
    UntilClose,     // no length: the body ends when the server closes the connection
    NoLength,       // neither field is added (for 204, 304, or heads given in full by hand)
  };

  int status = 200;
  QByteArray reason = "OK";
  QByteArray version = "HTTP/1.1";
  HttpFields headers;              // sent in order, after the framing field
  QByteArray body;                 // not sent for HEAD requests
  Framing framing = Framing::ContentLength;
  int chunkSize = 0;               // chunked: bytes per chunk; 0 = the whole body in one
  HttpFields trailers;             // chunked: trailer fields after the last chunk
  std::vector<QByteArray> interim; // whole interim heads sent first (e.g. a 100 Continue)
  std::optional<QByteArray> raw;   // sent verbatim instead of the message built from the above
  bool keepAlive = true;           // false: adds "Connection: close" and closes after sending
  std::chrono::milliseconds delay{0};       // wait before the first byte
  int pieceSize = 0;                        // send in pieces of this many bytes (0 = at once)
  std::chrono::milliseconds pieceDelay{0};  // wait between pieces
  qint64 closeAfterBytes = -1;     // close once this many bytes of the message went out (-1: all)
  bool reset = false;              // close with a reset (RST) instead of an orderly close
  qint64 stallAfterBytes = -1;     // go silent once this many bytes went out, connection kept open

  static HttpResponse ok(QByteArray body = {});
  static HttpResponse withStatus(int status, QByteArray reason, QByteArray body = {});
  // Bytes sent exactly as given (for malformed answers).
  static HttpResponse rawBytes(QByteArray bytes, bool keepAlive = true);
  // Reads the request and closes the connection without answering (with a reset if asked).
  static HttpResponse dropConnection(bool reset = false);

  HttpResponse& withHeader(QByteArray name, QByteArray value);
  HttpResponse& chunked(int size = 0);
  HttpResponse& untilClose();
  HttpResponse& noLength();
  HttpResponse& closing();  // keepAlive = false
  HttpResponse& after(std::chrono::milliseconds wait);
  HttpResponse& slowly(int bytesPerPiece, std::chrono::milliseconds gap);
  HttpResponse& cutAfter(qint64 bytes, bool withReset = false);
  // Sends the first `bytes` bytes of the message, then nothing more: the connection stays open
  // and silent (a stalled server) until the client gives up on it.
  HttpResponse& stallAfter(qint64 bytes);

  // The full message the server sends for a request (HEAD: without the body).
  QByteArray wire(bool headRequest) const;
};

// A request as the server received it.
struct RecordedRequest {
  int connection = 0;          // which accepted connection carried it (1 = the first)
  int indexOnConnection = 0;   // 1 for the first request on its connection
  QByteArray method;
  QByteArray target;           // as sent: origin form ("/a?b") or absolute form for proxies
  QByteArray version;          // "HTTP/1.1"
  HttpFields headers;
  QByteArray body;             // decoded (chunked bodies are de-chunked)
  bool bodyWasChunked = false;

  // Value of the first field named `name` (case-insensitive); empty when absent.
  QByteArray header(const QByteArray& name) const;
  bool hasHeader(const QByteArray& name) const;
  // The target's path without the query.
  QByteArray path() const;
};

// The server. It listens on 127.0.0.1 on a free port from construction to destruction and runs
// on its own thread, so a test may block its own thread (a synchronous request) meanwhile.
// Answer choice for each request, first match wins: the queue of next answers (enqueue), the
// handler, the answer routed for the request's path, else 404 "Not Found".
// Thread: every member may be called from any thread.
class TestHttpServer {
 public:
  TestHttpServer();
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  quint16 port() const;
  // "http://127.0.0.1:<port><path>".
  QUrl url(const QString& path = QStringLiteral("/")) const;

  // Every request for `path` (the target without query) gets `response`.
  void route(const QByteArray& path, HttpResponse response);
  // The next request, whatever its path, gets `response`; queued answers are used in order.
  void enqueue(HttpResponse response);
  // Lets code choose the answer (runs on the server thread; return nullopt to fall through).
  void setHandler(std::function<std::optional<HttpResponse>(const RecordedRequest&)> handler);

  // Requests received completely so far, in arrival order.
  std::vector<RecordedRequest> requests() const;
  int requestCount() const;
  // Connections accepted so far, and those still open.
  int connectionCount() const;
  int openConnectionCount() const;
  // Request-body bytes received so far, counting requests still arriving.
  qint64 bodyBytesReceived() const;

  // Waits (the calling thread's Qt events are served meanwhile) until `n` requests arrived or
  // `limit` passed; returns whether they arrived.
  bool waitForRequests(int n, std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
  // Waits until no connection is open any more.
  bool waitForNoOpenConnections(std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

  // Closes every connection that waits for its next request (as a server does when its
  // keep-alive time-out ends); with `reset`, the connections are reset instead.
  void closeIdleConnections(bool reset = false);
  // Stops or resumes reading what clients send (the client's send buffers then fill up).
  void setReadingPaused(bool paused);

 private:
  class Worker;
  std::unique_ptr<QThread> thread_;
  Worker* worker_;  // lives on thread_
};

}  // namespace testsupport
