// Reusable receive buffers shared by every stream of the process: a read lands in a buffer
// whose pages are already mapped, and the consumer gives the buffer back once it copied it out.
#pragma once

#include <QByteArray>

namespace http::transport {

// A bounded free list of byte arrays of kBufferBytes capacity. Thread: any (one short lock per
// take or give).
class ReadBufferPool {
 public:
  // Capacity of each buffer: a multiple of the page size, about what one socket read brings,
  // small enough to stay in cache until the consumer copies it out.
  static constexpr qint64 kBufferBytes = 64 * 1024;
  // Buffers kept at most (4 MiB): enough for a few streams at full speed.
  static constexpr size_t kMaxPooled = 64;

  // A buffer of kBufferBytes capacity and size 0: a pooled one when there is one, else new.
  static QByteArray take();
  // Returns `buffer` to the pool when nothing else shares it, it has full capacity and the pool
  // has room; otherwise it is simply released.
  static void give(QByteArray&& buffer);
};

}  // namespace http::transport
