// Reusable receive buffers shared by every stream: a locked free list of fixed-capacity arrays.
// Reusing mapped pages spares a page fault per 4 KiB received.
#include "http/transport/read_buffer_pool.h"

#include <mutex>
#include <vector>

namespace http::transport {

namespace {

struct Pool {
  std::mutex mutex;
  std::vector<QByteArray> buffers;  // free buffers, each of full capacity and unshared
};

Pool& pool() {
  static Pool* p = new Pool;  // never destroyed: buffers may come back from static destructors
  return *p;
}

}  // namespace

QByteArray ReadBufferPool::take() {
  {
    std::lock_guard lock(pool().mutex);
    if (!pool().buffers.empty()) {
      QByteArray buffer = std::move(pool().buffers.back());
      pool().buffers.pop_back();
      return buffer;
    }
  }
  QByteArray buffer;
  buffer.reserve(kBufferBytes);
  return buffer;
}

void ReadBufferPool::give(QByteArray&& buffer) {
  if (!buffer.isDetached() || buffer.capacity() < kBufferBytes) return;
  buffer.resize(0);
  std::lock_guard lock(pool().mutex);
  if (pool().buffers.size() < kMaxPooled) pool().buffers.push_back(std::move(buffer));
}

}  // namespace http::transport
