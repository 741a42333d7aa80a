// Incremental parser for one HTTP/1.x response: status line, fields, interim 1xx heads, and the
// body framed by Content-Length, chunked coding (with trailers) or the end of the connection.
#pragma once

#include "http/transport/response_head.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace http::transport {

// A run of decoded body bytes inside a received buffer (shared, never copied).
struct BodyPiece {
  QByteArray buffer;   // the received bytes the run lies in
  qsizetype offset;    // where the run starts in `buffer`
  qsizetype length;    // bytes in the run (> 0)

  const char* data() const { return buffer.constData() + offset; }
};

// Parses one response from the bytes of a connection, handed over in pieces of any size (a byte
// at a time gives the same result as the whole message at once). The decoded body comes out as
// a list of byte arrays; a piece that is a whole input array is handed on without copying.
//
// Framing (RFC 9112 section 6.3): no body for a response to HEAD and for 204 and 304; 1xx heads
// other than 101 are skipped; Transfer-Encoding "chunked" is decoded (trailers are read and kept
// apart); otherwise Content-Length gives the length; otherwise the body runs to the end of the
// connection. Rejected as protocol errors: a head (or the trailers) over kMaxHeadBytes, a
// malformed status line or field line, a 101 switch nobody asked for, conflicting or non-numeric
// Content-Length, Transfer-Encoding together with Content-Length, a transfer coding other than
// chunked, a malformed or overflowing chunk size, and a connection that ends before the framed
// end of the body. Thread: any, one at a time.
class ResponseParser {
 public:
  enum class State {
    StatusLine,    // before or inside the status line
    FieldLines,    // inside the head's field lines
    Body,          // a Content-Length or read-to-close body
    ChunkSize,     // before or inside a chunk-size line
    ChunkData,     // inside chunk data
    ChunkDataEnd,  // expecting the CRLF that closes chunk data
    Trailers,      // inside the trailer section after the last chunk
    Done,          // the response ended; later bytes do not belong to it
    Failed,        // a protocol error; see errorText()
  };
  enum class Framing { None, Length, Chunked, UntilClose };

  // Longest accepted head (status line and fields, interim heads counted separately) and
  // longest trailer section. A peer that sends more is broken or hostile.
  static constexpr qint64 kMaxHeadBytes = 64 * 1024;
  // Longest accepted chunk-size line (size, extensions and line end).
  static constexpr qint64 kMaxChunkLineBytes = 4096;

  // `requestWasHead`: the request was HEAD, so the response has no body whatever it announces.
  explicit ResponseParser(bool requestWasHead = false);

  // Consumes bytes of `data` until the response is done or failed. Decoded body runs are
  // appended to `body` (sharing `data`). Returns how many bytes of `data` were consumed: fewer
  // than its size only when the response ended (Done) or failed inside it.
  qint64 feed(const QByteArray& data, std::vector<BodyPiece>& body);

  // The peer closed the connection: completes a read-to-close body; any other unfinished state
  // becomes Failed ("The connection closed before the end of the response").
  void finishAtEndOfStream();

  State state() const { return state_; }
  bool isDone() const { return state_ == State::Done; }
  bool hasFailed() const { return state_ == State::Failed; }
  const QString& errorText() const { return error_; }

  // True once the final (non-1xx) head was read completely.
  bool headComplete() const { return headComplete_; }
  const ResponseHead& head() const { return head_; }
  const HeaderList& trailers() const { return trailers_; }
  Framing framing() const { return framing_; }
  // True once any byte of the response arrived.
  bool receivedAnyByte() const { return receivedAnyByte_; }

  // True when the connection may carry another exchange: the response is done, its end was
  // framed (not the connection's end), and its head allows persistence (HTTP/1.1 without
  // "Connection: close", HTTP/1.0 only with "Connection: keep-alive").
  bool allowsReuse() const;

 private:
  // Appends the bytes of `data` from `pos` up to and including the next LF to line_. Returns the
  // position after the LF, or -1 when the line is not complete yet (all bytes taken).
  qint64 takeLine(const QByteArray& data, qint64 pos, qint64 limit, QByteArrayView* line);
  void handleStatusLine(QByteArrayView line);
  void handleFieldLine(QByteArrayView line, HeaderList& into);
  void endOfHead();
  void decideFraming();
  void handleChunkSizeLine(QByteArrayView line);
  void fail(const QString& why);

  bool requestWasHead_;
  State state_ = State::StatusLine;
  Framing framing_ = Framing::None;
  ResponseHead head_;               // the head being read, then the final head
  HeaderList trailers_;             // trailer fields of a chunked body
  QByteArray line_;                 // the unfinished line carried between feeds
  qint64 sectionBytes_ = 0;         // bytes of the current head or trailer section so far
  quint64 remaining_ = 0;           // body or chunk bytes still to come
  bool headComplete_ = false;       // the final head was read
  bool receivedAnyByte_ = false;    // any byte arrived
  QString error_;                   // why the response was rejected
};

}  // namespace http::transport
