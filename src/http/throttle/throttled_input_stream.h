// A request body stream that holds uploads to the shared bandwidth limit: each read hands out
// at most a share of what is left of the current window's budget, and counts what it read.
#pragma once

#include "http/throttle/bandwidth_meter.h"
#include "http/transport/body_stream.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace http::throttle {

// Wraps another body stream (owned). Opening, closing and errors pass straight through. While
// a limit is set, read() reads no more than the meter's upload allowance (one byte when the
// allowance is spent, never zero, which would mean the end), and readDelay() tells the
// transport how long to wait before the next read, so that a spent budget pauses the upload
// without a busy loop.
//
// Thread: the transport's I/O thread once handed over. The decision of all throttled streams
// is serialised on one class-wide lock; the wrapped stream is read outside it.
class ThrottledInputStream : public transport::BodyStream {
 public:
  // Called under the class-wide lock after each throttled decision: the request's own
  // throttling (it must not block; the engine posts the work to the request's thread).
  using ThrottlingHook = std::function<void()>;

  ThrottledInputStream(std::shared_ptr<transport::BodyStream> stream, ThrottlingHook request = {},
                       BandwidthMeter& meter = BandwidthMeter::shared());
  ~ThrottledInputStream() override;

  // A throttled stream over the file at `path` / over `data`.
  static std::shared_ptr<ThrottledInputStream> inputStreamWithFileAtPath(
      const QString& path, ThrottlingHook request = {},
      BandwidthMeter& meter = BandwidthMeter::shared());
  static std::shared_ptr<ThrottledInputStream> inputStreamWithData(
      const QByteArray& data, ThrottlingHook request = {},
      BandwidthMeter& meter = BandwidthMeter::shared());

  bool open() override { return stream_->open(); }
  qint64 read(char* buffer, qint64 maxLength) override;
  void close() override { stream_->close(); }
  QString errorString() const override { return stream_->errorString(); }
  std::chrono::milliseconds readDelay() override;

  const std::shared_ptr<transport::BodyStream>& stream() const { return stream_; }

 private:
  std::shared_ptr<transport::BodyStream> stream_;  // the wrapped stream
  ThrottlingHook request_;                         // the request's throttling, may be empty
  BandwidthMeter& meter_;                          // where reads are counted
};

}  // namespace http::throttle
