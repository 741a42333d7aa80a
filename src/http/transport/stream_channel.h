// The hand-over between a stream's I/O-thread side and its consumer: received body bytes, the
// response head, the outcome, and the events posted to the run loop the stream is scheduled on.
#pragma once

#include "http/transport/response_head.h"
#include "http/transport/response_parser.h"
#include "platform/error.h"

#include <QByteArray>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {
class RunLoop;
}

namespace http::transport {

// Stream events, numbered like the platform's stream events.
enum class StreamEvent : int {
  BytesAvailable = 2,  // body bytes can be read (or the response head just became complete)
  ErrorOccurred = 8,   // the stream failed; see error()
  EndEncountered = 16, // the response was read to its end and every byte was handed out
};

// Shared between one stream's consumer (any thread; events on the scheduled loop) and its
// exchange on the I/O thread. Everything is guarded by one mutex, taken once per hand-over of a
// batch of bytes (never per byte). Emptied receive buffers go back to ReadBufferPool. Events are edge-triggered: "bytes available" is posted when
// new bytes arrive or after the consumer read and bytes remain; "error" and "end" are posted
// once, after every received byte was read. Nothing is delivered while unscheduled or without a
// client, and nothing is lost: scheduling again resumes delivery.
class StreamChannel : public std::enable_shared_from_this<StreamChannel> {
 public:
  using Client = std::function<void(StreamEvent)>;
  // Received bytes the channel holds before the I/O side stops reading the socket. Reading
  // resumes once the buffer fell under half of the mark in force.
  static constexpr qint64 kHighWaterBytes = 2 * 1024 * 1024;
  // The mark while the transfer is held to a bandwidth limit: little is read ahead of the
  // consumer, so that the limit holds on the wire too.
  static constexpr qint64 kThrottledHighWaterBytes = 256 * 1024;
  // The mark while the consumer has paused delivery (unscheduled): the socket is left alone
  // after a small read-ahead, so the peer is slowed by TCP flow control.
  static constexpr qint64 kPausedHighWaterBytes = 64 * 1024;

  // ---- consumer side (any thread) ----
  void setClient(Client client);
  void schedule(std::shared_ptr<platform::RunLoop> loop);
  void unschedule();
  bool isScheduled() const;
  bool hasBytesAvailable() const;
  // Copies up to `maxLength` received body bytes: the count, 0 when none are waiting, -1 once
  // the stream failed (after every byte received before the failure was read) or was closed.
  qint64 read(char* buffer, qint64 maxLength);
  std::optional<ResponseHead> responseHead() const;
  platform::ErrorPtr error() const;
  // Stops delivery for good and drops buffered bytes.
  void close();
  // Marks the transfer as held to a bandwidth limit (see kThrottledHighWaterBytes). True when
  // this changed the mark.
  bool setThrottled(bool throttled);
  bool isThrottled() const { return throttled_.load(std::memory_order_relaxed); }
  // Request-body bytes the peer's socket accepted so far.
  quint64 requestBytesWritten() const { return bytesWritten_.load(std::memory_order_relaxed); }
  bool reusedConnection() const { return reused_.load(std::memory_order_relaxed); }

  // ---- I/O side (the I/O thread) ----
  // Called when reading should resume after the buffer drained, and when uploading may resume
  // after the stream was scheduled again. Both run on the I/O thread (posted by the channel).
  void setWakeHandlers(std::function<void()> resumeReading, std::function<void()> resumeUpload);
  // Hands over what one batch of socket reads produced: the head when it just became complete,
  // decoded body pieces, and whether the response ended.
  void pushFromWire(const ResponseHead* newHead, std::vector<BodyPiece>& pieces, bool ended);
  void failFromWire(platform::ErrorPtr error);
  // False when the buffer is over the high-water mark: the I/O side stops reading and is woken
  // by the resume-reading handler once the consumer drained it.
  bool acceptsMoreFromWire();
  // True while the body may be sent: the stream is scheduled and not closed.
  bool mayUpload();
  void addBytesWritten(quint64 n) { bytesWritten_.fetch_add(n, std::memory_order_relaxed); }
  void setReusedConnection(bool reused) { reused_.store(reused, std::memory_order_relaxed); }

 private:
  bool deliverableLocked() const;
  qint64 highWaterLocked() const;
  // The resume-reading handler when the I/O side waits and the buffer is low enough, else
  // empty (to be posted to the I/O thread outside the lock).
  std::function<void()> takeReadWakeLocked();
  void postDeliveryLocked();
  void deliver(quint64 generation);

  mutable std::mutex mutex_;
  Client client_;                              // the consumer's callback; empty = none
  std::shared_ptr<platform::RunLoop> loop_;    // where events go; null while unscheduled
  quint64 generation_ = 0;                     // bumped by every schedule/unschedule/close
  bool postPending_ = false;                   // a delivery for the current generation is queued
  bool delivering_ = false;                    // deliver() runs; it continues instead of posting
  bool armed_ = false;                         // bytes arrived or were read since the last event 2
  bool headAnnounced_ = false;                 // event 2 was delivered for the complete head
  bool closed_ = false;                        // close() was called
  std::deque<BodyPiece> chunks_;               // received body bytes, oldest first
  qint64 frontOffset_ = 0;                     // bytes of chunks_.front() already read
  qint64 buffered_ = 0;                        // unread bytes in chunks_
  std::optional<ResponseHead> head_;           // the final head once complete
  bool ended_ = false;                         // the response ended on the wire
  platform::ErrorPtr error_;                   // the failure, if any
  bool endDelivered_ = false;                  // event 16 or 8 was delivered
  bool wireStalled_ = false;                   // the I/O side waits for the buffer to drain
  bool uploadWaiting_ = false;                 // the I/O side waits for scheduling to upload
  std::function<void()> resumeReading_;        // posted to the I/O thread; see setWakeHandlers
  std::function<void()> resumeUpload_;         // posted to the I/O thread; see setWakeHandlers
  std::atomic<quint64> bytesWritten_{0};       // request-body bytes accepted by the socket
  std::atomic<bool> reused_{false};            // the exchange runs on a reused connection
  std::atomic<bool> throttled_{false};         // held to a bandwidth limit
};

}  // namespace http::transport
