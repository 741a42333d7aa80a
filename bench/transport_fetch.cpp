// Command-line driver for the transport benchmark: fetches URLs through HttpStream, a few at a
// time on kept-alive connections, discarding the bodies, and prints bytes and wall time.
//
//   transport_fetch [--parallel N] [--list FILE] [URL...]
//
// Each of the N lanes has its own connection id, so a lane's requests share one connection.
// Streams run on the network thread, where the request engine runs its own, and are read as the
// engine reads: 16 KiB at a time, 64 KiB above 64 KiB announced, 256 KiB above 256 KiB. Exit
// status 1 when any fetch failed or answered other than 200.
#include "http/transport/http_stream.h"
#include "platform/run_loop.h"
#include "platform/threads.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

namespace {

using http::transport::HttpStream;
using http::transport::RequestHead;
using http::transport::StreamEvent;

class Fetcher {
 public:
  Fetcher(std::vector<QUrl> urls, int lanes) : urls_(std::move(urls)), lanes_(lanes) {}

  void start() {
    for (int lane = 1; lane <= lanes_; ++lane) next(lane);
  }

  qint64 bytes() const { return bytes_; }
  int failures() const { return failures_; }

 private:
  struct Lane {
    std::shared_ptr<HttpStream> stream;
    QByteArray buffer;
    qint64 readSize = 16384;
  };

  void next(int lane) {
    if (nextUrl_ >= urls_.size()) {
      // Queued: the main thread may not have entered its loop yet.
      if (++lanesDone_ == lanes_) {
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
      }
      return;
    }
    RequestHead head;
    head.url = urls_[nextUrl_++];
    auto stream = HttpStream::create(head);
    if (!stream) {
      ++failures_;
      next(lane);
      return;
    }
    Lane& state = lanesState_[lane];
    state.stream = stream;
    state.readSize = 0;
    stream->setShouldAttemptPersistentConnection(true);
    stream->setConnectionId(lane);
    stream->setClient([this, lane](StreamEvent e) { onEvent(lane, e); });
    stream->schedule(platform::RunLoop::current());
    if (!stream->open()) {
      ++failures_;
      next(lane);
    }
  }

  void onEvent(int lane, StreamEvent event) {
    Lane& state = lanesState_[lane];
    HttpStream& stream = *state.stream;
    if (state.readSize == 0) {
      if (auto head = stream.responseHead()) {
        const qint64 length = head->headers.value("Content-Length").toLongLong();
        state.readSize = length > 262144 ? 262144 : length > 65536 ? 65536 : 16384;
        if (head->statusCode != 200) ++failures_;
        if (state.buffer.size() < state.readSize) state.buffer.resize(state.readSize);
      }
    }
    if (event == StreamEvent::BytesAvailable) {
      const qint64 n = stream.read(state.buffer.data(), std::max<qint64>(state.readSize, 1));
      if (n > 0) bytes_ += n;
      return;
    }
    if (event == StreamEvent::ErrorOccurred) {
      ++failures_;
      std::fprintf(stderr, "error: %s\n", qPrintable(stream.error()->toString()));
    }
    stream.close();
    next(lane);
  }

  std::vector<QUrl> urls_;
  int lanes_;
  size_t nextUrl_ = 0;
  int lanesDone_ = 0;
  std::map<int, Lane> lanesState_;
  qint64 bytes_ = 0;
  int failures_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int parallel = 4;
  std::vector<QUrl> urls;
  const QStringList args = app.arguments();
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--parallel") && i + 1 < args.size()) {
      parallel = std::max(1, args[++i].toInt());
    } else if (args[i] == QLatin1String("--list") && i + 1 < args.size()) {
      QFile list(args[++i]);
      if (!list.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(list.fileName()));
        return 2;
      }
      for (const QByteArray& line : list.readAll().split('\n')) {
        if (!line.trimmed().isEmpty()) urls.emplace_back(QString::fromUtf8(line.trimmed()));
      }
    } else {
      urls.emplace_back(args[i]);
    }
  }
  if (urls.empty()) {
    std::fprintf(stderr, "usage: transport_fetch [--parallel N] [--list FILE] [URL...]\n");
    return 2;
  }
  Fetcher fetcher(urls, std::min<int>(parallel, static_cast<int>(urls.size())));
  QElapsedTimer clock;
  clock.start();
  platform::performOnNetworkThread([&] { fetcher.start(); });
  app.exec();
  const double seconds = clock.nsecsElapsed() / 1e9;
  std::printf("fetched %zu urls, %lld bytes in %.3f s, %d failures\n", urls.size(),
              static_cast<long long>(fetcher.bytes()), seconds, fetcher.failures());
  return fetcher.failures() == 0 ? 0 : 1;
}
