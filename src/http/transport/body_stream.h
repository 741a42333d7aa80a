// Request bodies read as a stream: the interface the transport pulls from, and the two sources
// it offers itself (bytes in memory, a file). The engine may wrap one in its own (throttling).
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdio>
#include <memory>

namespace http::transport {

// A source of request-body bytes. The transport opens it, reads it to its end (the body's
// length is the request's Content-Length), and closes it, all on its I/O thread, one call at a
// time. Implementations must not block for long: a read waits at most for a disk.
class BodyStream {
 public:
  virtual ~BodyStream();

  // Prepares reading from the start. False on failure (errorString() says why).
  virtual bool open() = 0;
  // Reads up to `maxLength` (> 0) bytes into `buffer`: the count read, 0 at the end, negative on
  // error (errorString() says why). Never returns 0 before the end.
  virtual qint64 read(char* buffer, qint64 maxLength) = 0;
  // Releases what open() took. Safe to call more than once or without open().
  virtual void close() = 0;
  virtual QString errorString() const = 0;
  // How long the transport should wait before the next read (a throttled body whose budget is
  // spent); zero, the default, lets it read at once. The transport waits on a timer, not in a
  // loop, and asks again when the time is up.
  virtual std::chrono::milliseconds readDelay() { return std::chrono::milliseconds(0); }
};

// A body held in memory. Thread: the transport's I/O thread once handed over.
class MemoryBodyStream : public BodyStream {
 public:
  explicit MemoryBodyStream(QByteArray data) : data_(std::move(data)) {}
  bool open() override;
  qint64 read(char* buffer, qint64 maxLength) override;
  void close() override {}
  QString errorString() const override { return {}; }

 private:
  QByteArray data_;
  qint64 position_ = 0;
};

// A body read from a file. Thread: the transport's I/O thread once handed over.
class FileBodyStream : public BodyStream {
 public:
  explicit FileBodyStream(QString path) : path_(std::move(path)) {}
  ~FileBodyStream() override;
  bool open() override;
  qint64 read(char* buffer, qint64 maxLength) override;
  void close() override;
  QString errorString() const override { return error_; }

 private:
  QString path_;
  std::FILE* file_ = nullptr;
  QString error_;
};

}  // namespace http::transport
