// The throttled body stream: the allowance arithmetic under one class-wide lock, the read
// outside it, and the count afterwards.
#include "http/throttle/throttled_input_stream.h"

#include <mutex>

namespace http::throttle {

namespace {

// Serialises the read decisions of every throttled stream (readLock).
std::mutex& readLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

}  // namespace

ThrottledInputStream::ThrottledInputStream(std::shared_ptr<transport::BodyStream> stream,
                                           ThrottlingHook request, BandwidthMeter& meter)
    : stream_(std::move(stream)), request_(std::move(request)), meter_(meter) {}

ThrottledInputStream::~ThrottledInputStream() = default;

std::shared_ptr<ThrottledInputStream> ThrottledInputStream::inputStreamWithFileAtPath(
    const QString& path, ThrottlingHook request, BandwidthMeter& meter) {
  return std::make_shared<ThrottledInputStream>(std::make_shared<transport::FileBodyStream>(path),
                                                std::move(request), meter);
}

std::shared_ptr<ThrottledInputStream> ThrottledInputStream::inputStreamWithData(
    const QByteArray& data, ThrottlingHook request, BandwidthMeter& meter) {
  return std::make_shared<ThrottledInputStream>(
      std::make_shared<transport::MemoryBodyStream>(data), std::move(request), meter);
}

qint64 ThrottledInputStream::read(char* buffer, qint64 maxLength) {
  {
    std::lock_guard lock(readLock());
    if (meter_.isBandwidthThrottled()) {
      const quint64 allowance = meter_.maxUploadReadLength();
      if (static_cast<quint64>(maxLength) >= allowance) {
        maxLength = allowance == 0 ? 1 : static_cast<qint64>(allowance);
      }
      meter_.measureBandwidthUsage();
      if (request_) request_();
    }
  }
  const qint64 count = stream_->read(buffer, maxLength);
  if (count > 0) meter_.incrementBandwidthUsedInLastSecond(static_cast<quint64>(count));
  return count;
}

std::chrono::milliseconds ThrottledInputStream::readDelay() {
  std::lock_guard lock(readLock());
  return meter_.uploadReadDelay();
}

}  // namespace http::throttle
