// The hand-over between a stream's I/O side and its consumer: a locked queue of received byte
// arrays, the head and outcome, and edge-triggered event posting to the scheduled run loop.
#include "http/transport/stream_channel.h"

#include "http/transport/io_thread.h"
#include "http/transport/read_buffer_pool.h"
#include "platform/run_loop.h"

#include <algorithm>
#include <cstring>

namespace http::transport {


void StreamChannel::setClient(Client client) {
  std::lock_guard lock(mutex_);
  client_ = std::move(client);
  postDeliveryLocked();
}

void StreamChannel::schedule(std::shared_ptr<platform::RunLoop> loop) {
  std::function<void()> wake;
  std::function<void()> readWake;
  {
    std::lock_guard lock(mutex_);
    if (closed_ || !loop) return;
    loop_ = std::move(loop);
    ++generation_;
    postPending_ = false;
    // A delivery running now (this call may come from the client) belongs to the old
    // generation and stops after its event: the new one needs its own post.
    delivering_ = false;
    armed_ = armed_ || buffered_ > 0;
    postDeliveryLocked();
    if (uploadWaiting_) {
      uploadWaiting_ = false;
      wake = resumeUpload_;
    }
    readWake = takeReadWakeLocked();
  }
  if (wake) IoThread::post(std::move(wake));
  if (readWake) IoThread::post(std::move(readWake));
}

void StreamChannel::unschedule() {
  std::lock_guard lock(mutex_);
  loop_.reset();
  ++generation_;
  postPending_ = false;
}

bool StreamChannel::isScheduled() const {
  std::lock_guard lock(mutex_);
  return loop_ != nullptr;
}

bool StreamChannel::hasBytesAvailable() const {
  std::lock_guard lock(mutex_);
  return buffered_ > 0;
}

qint64 StreamChannel::read(char* buffer, qint64 maxLength) {
  std::function<void()> wake;
  qint64 copied = 0;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return -1;
    while (copied < maxLength && !chunks_.empty()) {
      BodyPiece& front = chunks_.front();
      const qint64 n = std::min(maxLength - copied, front.length - frontOffset_);
      std::memcpy(buffer + copied, front.data() + frontOffset_, static_cast<size_t>(n));
      copied += n;
      frontOffset_ += n;
      if (frontOffset_ == front.length) {
        // The last piece of a receive buffer returns the buffer to the pool.
        ReadBufferPool::give(std::move(front.buffer));
        chunks_.pop_front();
        frontOffset_ = 0;
      }
    }
    buffered_ -= copied;
    if (copied == 0 && error_) return -1;
    if (copied > 0) armed_ = true;
    wake = takeReadWakeLocked();
    postDeliveryLocked();
  }
  if (wake) IoThread::post(std::move(wake));
  return copied;
}

std::optional<ResponseHead> StreamChannel::responseHead() const {
  std::lock_guard lock(mutex_);
  return head_;
}

platform::ErrorPtr StreamChannel::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void StreamChannel::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  client_ = nullptr;
  loop_.reset();
  ++generation_;
  chunks_.clear();
  buffered_ = 0;
  resumeReading_ = nullptr;
  resumeUpload_ = nullptr;
}

void StreamChannel::setWakeHandlers(std::function<void()> resumeReading,
                                    std::function<void()> resumeUpload) {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  resumeReading_ = std::move(resumeReading);
  resumeUpload_ = std::move(resumeUpload);
}

void StreamChannel::pushFromWire(const ResponseHead* newHead, std::vector<BodyPiece>& pieces,
                                 bool ended) {
  std::lock_guard lock(mutex_);
  if (closed_) {
    pieces.clear();
    return;
  }
  if (newHead != nullptr) head_ = *newHead;
  for (BodyPiece& piece : pieces) {
    buffered_ += piece.length;
    chunks_.push_back(std::move(piece));
    armed_ = true;
  }
  pieces.clear();
  if (ended) ended_ = true;
  postDeliveryLocked();
}

void StreamChannel::failFromWire(platform::ErrorPtr error) {
  std::lock_guard lock(mutex_);
  if (closed_ || ended_ || error_) return;
  error_ = std::move(error);
  postDeliveryLocked();
}

bool StreamChannel::setThrottled(bool throttled) {
  std::function<void()> wake;
  {
    std::lock_guard lock(mutex_);
    if (throttled_.load(std::memory_order_relaxed) == throttled) return false;
    throttled_.store(throttled, std::memory_order_relaxed);
    wake = takeReadWakeLocked();
  }
  if (wake) IoThread::post(std::move(wake));
  return true;
}

qint64 StreamChannel::highWaterLocked() const {
  if (loop_ == nullptr) return kPausedHighWaterBytes;
  return throttled_.load(std::memory_order_relaxed) ? kThrottledHighWaterBytes : kHighWaterBytes;
}

std::function<void()> StreamChannel::takeReadWakeLocked() {
  if (!wireStalled_ || closed_ || buffered_ >= highWaterLocked() / 2) return nullptr;
  wireStalled_ = false;
  return resumeReading_;
}

bool StreamChannel::acceptsMoreFromWire() {
  std::lock_guard lock(mutex_);
  if (buffered_ < highWaterLocked() || closed_) return true;
  wireStalled_ = true;
  return false;
}

bool StreamChannel::mayUpload() {
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  if (loop_ == nullptr) {
    uploadWaiting_ = true;
    return false;
  }
  return true;
}

bool StreamChannel::deliverableLocked() const {
  if (closed_ || !client_ || !loop_) return false;
  if (buffered_ > 0) return armed_;
  if (head_ && !headAnnounced_) return true;
  return (ended_ || error_) && !endDelivered_;
}

void StreamChannel::postDeliveryLocked() {
  if (postPending_ || delivering_ || !deliverableLocked()) return;
  postPending_ = true;
  std::weak_ptr<StreamChannel> weak = weak_from_this();
  const quint64 generation = generation_;
  loop_->post([weak, generation] {
    if (auto self = weak.lock()) self->deliver(generation);
  });
}

void StreamChannel::deliver(quint64 generation) {
  // Events that are due one after the other (bytes, then the end) are delivered in one go, up
  // to a few, so that a short response costs one wake-up of the loop's thread rather than
  // three; then the loop gets its turn again.
  constexpr int kEventsPerTurn = 4;
  std::unique_lock lock(mutex_);
  if (generation != generation_) return;  // superseded by a later (un)schedule or close
  postPending_ = false;
  for (int turn = 0; turn < kEventsPerTurn && generation == generation_ && deliverableLocked();
       ++turn) {
    StreamEvent event;
    if (buffered_ > 0 || (head_ && !headAnnounced_)) {
      event = StreamEvent::BytesAvailable;
      armed_ = false;
      headAnnounced_ = headAnnounced_ || head_.has_value();
    } else {
      event = error_ ? StreamEvent::ErrorOccurred : StreamEvent::EndEncountered;
      endDelivered_ = true;
    }
    Client client = client_;
    delivering_ = true;
    lock.unlock();
    // The client may read, unschedule, close or drop the stream; `client` and this channel
    // stay alive for the call (the caller of deliver() holds a strong reference).
    client(event);
    lock.lock();
    if (generation == generation_) delivering_ = false;
  }
  if (generation == generation_) postDeliveryLocked();
}

}  // namespace http::transport
