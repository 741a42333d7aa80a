// Drives one HttpStream in a test the way the request engine does: one read per "bytes
// available" event on the thread's run loop, collecting body, head, events and error.
#pragma once

#include "http/transport/http_stream.h"
#include "platform/run_loop.h"
#include "support/wait.h"

#include <QByteArray>

#include <memory>
#include <vector>

namespace http::transport::testing {

class StreamRunner {
 public:
  // `readSize`: bytes asked for by each read (as the engine sizes its buffer).
  explicit StreamRunner(std::shared_ptr<HttpStream> stream, qint64 readSize = 16384)
      : stream_(std::move(stream)), buffer_(readSize, '\0') {}

  // Sets the client, schedules on `loop` (the calling thread's default loop when null) and
  // opens. Returns what open() returned.
  bool start(std::shared_ptr<platform::RunLoop> loop = nullptr) {
    stream_->setClient([this](StreamEvent e) { onEvent(e); });
    stream_->schedule(loop ? loop : platform::RunLoop::current());
    return stream_->open();
  }

  // Serves the default loop until the stream ended or failed (bounded).
  bool wait() { return testsupport::waitUntil([this] { return finished(); }); }
  bool finished() const { return ended || error != nullptr; }

  HttpStream& stream() { return *stream_; }

  QByteArray body;
  std::optional<ResponseHead> head;
  platform::ErrorPtr error;
  bool ended = false;
  std::vector<StreamEvent> events;
  // Called after each event (a test may pause, close or inspect the stream there).
  std::function<void(StreamRunner&, StreamEvent)> afterEvent;

 private:
  void onEvent(StreamEvent e) {
    events.push_back(e);
    if (!head) head = stream_->responseHead();
    if (e == StreamEvent::BytesAvailable) {
      const qint64 n = stream_->read(buffer_.data(), buffer_.size());
      if (n > 0) body.append(buffer_.constData(), n);
    } else if (e == StreamEvent::EndEncountered) {
      ended = true;
    } else {
      error = stream_->error();
    }
    if (afterEvent) afterEvent(*this, e);
  }

  std::shared_ptr<HttpStream> stream_;
  QByteArray buffer_;
};

// A GET stream for `url` with keep-alive on `connectionId` (0: none).
inline std::shared_ptr<HttpStream> getStream(const QUrl& url, int connectionId = 0,
                                             QByteArray method = "GET",
                                             HttpVersion version = HttpVersion::Http11) {
  RequestHead head;
  head.method = std::move(method);
  head.url = url;
  head.version = version;
  auto stream = HttpStream::create(head);
  if (stream && connectionId != 0) {
    stream->setShouldAttemptPersistentConnection(true);
    stream->setConnectionId(connectionId);
  }
  return stream;
}

// Transport error code of `error` (-1 when null).
inline int codeOf(const platform::ErrorPtr& error) {
  return error ? static_cast<int>(error->code()) : -1;
}

}  // namespace http::transport::testing
