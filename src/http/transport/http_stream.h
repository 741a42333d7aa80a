// The read stream the request engine runs a request on: it sends a prepared request head and
// optional streamed body, and hands out the response head and decoded body with three events.
#pragma once

#include "http/transport/body_stream.h"
#include "http/transport/proxy_settings.h"
#include "http/transport/request_head.h"
#include "http/transport/response_head.h"
#include "http/transport/stream_channel.h"
#include "http/transport/tls_options.h"
#include "platform/error.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace platform {
class RunLoop;
}

namespace http::transport {

class Exchange;

// An HTTP read stream for one request.
//
// Life: create() with the prepared head (and a body stream when there is a body, its length in
// the head's Content-Length; without one an HTTP/1.1 body is sent chunked) → set options →
// setClient() and schedule() → open() → events → read() and responseHead() → close(). The
// socket work happens on the transport's own I/O thread; the stream only hands over results,
// so waiting on a stream (even on the main thread, even in a private run-loop mode) never
// blocks the I/O it waits for.
//
// Events (StreamEvent, numbered 2, 8, 16) are posted to the run loop the stream is scheduled on
// and run there, one at a time, never inside a call of this class:
//  - BytesAvailable: body bytes can be read, or the response head just became complete (then
//    read() may return 0). It comes again after a read() that left bytes, or when more arrive.
//  - ErrorOccurred: the stream failed (error() says why), after every byte received before the
//    failure was read. Sent once; nothing follows.
//  - EndEncountered: the response ended and every byte was read. Sent once; nothing follows.
// unschedule() pauses: no events and no request-body sending until scheduled again, and nothing
// received meanwhile is lost. Reading from the socket stops while 2 MiB are waiting, 256 KiB when
// the stream is throttled (setThrottled) and 64 KiB while it is unscheduled, so that a paused
// stream really stops taking bytes off the wire.
//
// Body framing: Content-Length, chunked (trailers read and dropped), or to the end of the
// connection; no body for HEAD, 204 and 304; interim 1xx responses are skipped. A broken
// response fails the stream with TransportErrorCode::ProtocolError (see ResponseParser).
//
// Connections: with keep-alive on and a connection id set, the stream first takes the idle
// connection of that id (if it leads to the same host, port, scheme, proxy and TLS settings and
// is still alive), and after a response read to its framed end whose head allows persistence it
// leaves the connection idle for the next stream of that id. For HTTP/1.0 it then asks for
// "Connection: keep-alive" unless the head has a Connection field. Otherwise the connection is
// closed when the exchange ends.
//
// Thread: any; calls are serialised inside. The client runs on the scheduled loop's thread; the
// owner should make its calls from that thread too, so that they do not race with its events.
class HttpStream : public std::enable_shared_from_this<HttpStream> {
 public:
  using Client = StreamChannel::Client;

  // A stream for `head`, reading the request body from `body` when given. Returns null (with
  // the reason in `whyNot` when given) when the head cannot be sent: not an http or https URL
  // with a host, an invalid method, or a header name or value that is unsafe on the wire.
  static std::shared_ptr<HttpStream> create(RequestHead head,
                                            std::shared_ptr<BodyStream> body = nullptr,
                                            QString* whyNot = nullptr);
  ~HttpStream();
  HttpStream(const HttpStream&) = delete;
  HttpStream& operator=(const HttpStream&) = delete;

  // ---- options, before open() (later calls are ignored) ----
  void setTlsOptions(TlsOptions options);
  void setProxy(ProxySettings proxy);
  // Keep the connection for the next stream of the same connection id (default off).
  void setShouldAttemptPersistentConnection(bool keepAlive);
  // The id of the connection this stream shares with others (0, the default, shares none).
  void setConnectionId(int connectionId);
  int connectionId() const;

  // ---- delivery ----
  // Sets the event callback; an empty one stops delivery (nothing is lost).
  void setClient(Client client);
  // Delivers events on `loop` (replacing any earlier loop) and lets the body be sent.
  void schedule(std::shared_ptr<platform::RunLoop> loop);
  // Pauses delivery and sending (see the class comment).
  void unschedule();
  bool isScheduled() const;
  // Marks the stream as held to a bandwidth limit: little read-ahead and small socket receive
  // buffers, so that the limit holds on the wire. Any time; takes effect on the I/O thread.
  void setThrottled(bool throttled);

  // ---- I/O ----
  // Opens the body stream (on the calling thread) and starts the exchange. False when the
  // stream was already opened or closed, the body cannot be opened, or the transport has
  // stopped; error() then says why and no event will come.
  bool open();
  bool hasBytesAvailable() const;
  // Copies up to `maxLength` body bytes into `buffer`: the count, 0 when none are waiting, -1
  // once the stream failed (and every earlier byte was read) or after close().
  qint64 read(char* buffer, qint64 maxLength);
  // The final response head once it was read completely; empty before.
  std::optional<ResponseHead> responseHead() const;
  // Request-body bytes the connection has accepted so far (the head and chunk framing are not
  // counted). Grows while sending; equals the body length once it was all sent.
  quint64 requestBytesWritten() const;
  // Why the stream failed or could not open; null otherwise. A transport error: see
  // transport_error.h for the codes and classifyError().
  platform::ErrorPtr error() const;
  // True when the exchange runs on a connection an earlier stream left open.
  bool isReusedConnection() const;
  // Stops everything: no more events, buffered bytes are dropped, and the connection is closed
  // unless the response was already read to its end and the connection kept for its id.
  // Safe to call more than once and from the client.
  void close();

  // ---- connections of the process ----
  // Closes the idle connection kept for `connectionId`, if any. Thread: any; takes effect on
  // the I/O thread before any stream opened after this call looks for it.
  static void closeIdleConnections(int connectionId);
  // Closes every idle connection.
  static void closeAllIdleConnections();
  // How many idle connections are kept now (waits for the I/O thread).
  static int idleConnectionCount();

 private:
  HttpStream(RequestHead head, std::shared_ptr<BodyStream> body);

  mutable std::mutex mutex_;
  RequestHead head_;
  std::shared_ptr<BodyStream> body_;
  TlsOptions tls_;
  ProxySettings proxy_;
  bool keepAlive_ = false;
  int connectionId_ = 0;
  bool opened_ = false;                       // open() was called
  bool closed_ = false;                       // close() was called
  platform::ErrorPtr openError_;              // why open() failed
  std::shared_ptr<StreamChannel> channel_;    // hand-over with the exchange
  std::shared_ptr<Exchange> exchange_;        // the I/O side; deleted on the I/O thread
};

}  // namespace http::transport
