// Running requests for the body tests, and test data.
#include "body_fixtures.h"

#include "compression/data_decompressor.h"
#include "queue/network_queue.h"
#include "support/wait.h"

#include <QFile>

#include <cstring>
#include <random>

namespace testsupport {

const char* runModeName(RunMode mode) {
  switch (mode) {
    case RunMode::Synchronous: return "synchronous";
    case RunMode::Asynchronous: return "asynchronous";
    case RunMode::Queued: return "queued";
  }
  return "?";
}

bool runRequest(const std::shared_ptr<http::HTTPRequest>& request, RunMode mode,
                std::chrono::milliseconds limit) {
  switch (mode) {
    case RunMode::Synchronous:
      request->startSynchronous();
      return request->complete();
    case RunMode::Asynchronous:
      request->startAsynchronous();
      return waitUntil([&] { return request->isFinished(); }, limit);
    case RunMode::Queued: {
      auto queue = queue::NetworkQueue::queue();
      queue->setShouldCancelAllRequestsOnFailure(false);
      // Byte-accurate progress: the queue then builds each body as the request is added.
      queue->setShowAccurateProgress(true);
      queue->addOperation(request);
      queue->go();
      const bool ended = waitUntil([&] { return request->isFinished(); }, limit);
      // The queue hears of the ending (finished or failed) through its own callback.
      const bool counted = waitUntil([&] { return queue->requestsCount() == 0; }, std::chrono::seconds(10));
      return ended && counted;
    }
  }
  return false;
}

QByteArray patternBytes(qint64 size, unsigned seed) {
  QByteArray bytes(size, Qt::Uninitialized);
  std::minstd_rand generator(seed);
  for (qint64 i = 0; i < size; ++i) bytes[i] = static_cast<char>(generator() >> 7);
  return bytes;
}

bool writePatternFile(const QString& path, qint64 size, unsigned seed) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  // One random mebibyte, varied per piece so that no two pieces are alike.
  const qint64 piece = 1 << 20;
  QByteArray block = patternBytes(piece, seed);
  for (qint64 written = 0, index = 0; written < size; ++index) {
    std::memcpy(block.data(), &index, sizeof index);
    const qint64 n = std::min(piece, size - written);
    if (file.write(block.constData(), n) != n) return false;
    written += n;
  }
  return file.flush();
}

bool sameFileContents(const QString& a, const QString& b) {
  QFile left(a);
  QFile right(b);
  if (!left.open(QIODevice::ReadOnly) || !right.open(QIODevice::ReadOnly)) return false;
  if (left.size() != right.size()) return false;
  while (!left.atEnd()) {
    if (left.read(1 << 20) != right.read(1 << 20)) return false;
  }
  return true;
}

QByteArray gunzip(const QByteArray& data) {
  platform::ErrorPtr error;
  QByteArray inflated = compression::DataDecompressor::uncompressData(data, &error);
  return error ? QByteArray() : inflated;
}

}  // namespace testsupport
