// The shared bandwidth bookkeeping: window closing, the average, the wake-up time and the read
// lengths that hold downloads and uploads to the limit.
#include "http/throttle/bandwidth_meter.h"

#include <algorithm>
#include <numeric>

namespace http::throttle {

namespace {

BandwidthMeter::Clock::duration seconds(double s) {
  return std::chrono::duration_cast<BandwidthMeter::Clock::duration>(
      std::chrono::duration<double>(s));
}

}  // namespace

BandwidthMeter::BandwidthMeter(Now now) : now_(std::move(now)) {
  usageTracker_.reserve(kTrackedWindows);
}

BandwidthMeter& BandwidthMeter::shared() {
  // Never destroyed: transfers on other threads may still count while the process exits.
  static auto* meter = new BandwidthMeter;
  return *meter;
}

void BandwidthMeter::setMaxBandwidthPerSecond(quint64 bytes) {
  std::vector<std::function<void()>> waiters;
  {
    std::lock_guard lock(lock_);
    maxBandwidthPerSecond_ = bytes;
    waiters.swap(limitWaiters_);
  }
  for (auto& waiter : waiters) waiter();
}

quint64 BandwidthMeter::maxBandwidthPerSecond() const {
  std::lock_guard lock(lock_);
  return maxBandwidthPerSecond_;
}

bool BandwidthMeter::isBandwidthThrottled() const {
  std::lock_guard lock(lock_);
  return maxBandwidthPerSecond_ != 0;
}

void BandwidthMeter::incrementBandwidthUsedInLastSecond(quint64 bytes) {
  std::lock_guard lock(lock_);
  bandwidthUsedInLastSecond_ += bytes;
}

void BandwidthMeter::measureBandwidthUsage() {
  std::lock_guard lock(lock_);
  measureBandwidthUsageLocked();
}

void BandwidthMeter::measureBandwidthUsageLocked() {
  if (!measurementDate_ || *measurementDate_ <= now_()) recordBandwidthUsageLocked();
  const qint64 excess = static_cast<qint64>(bandwidthUsedInLastSecond_) -
                        static_cast<qint64>(maxBandwidthPerSecond_);
  if (maxBandwidthPerSecond_ != 0 && excess > 0) {
    // The excess is worked off at the limit rate after the window's end.
    throttleWakeUpTime_ = *measurementDate_ + seconds(static_cast<double>(excess) /
                                                      static_cast<double>(maxBandwidthPerSecond_));
  }
}

void BandwidthMeter::recordBandwidthUsageLocked() {
  const TimePoint now = now_();
  if (bandwidthUsedInLastSecond_ == 0) {
    usageTracker_.clear();
  } else {
    // Seconds from now to the window's end: below 0 once it has passed. Every whole second
    // past it stands for a window without traffic, so that many old windows go. The very first
    // close (no window yet) drops nothing but what exceeds the list's size.
    double t = measurementDate_
                   ? std::chrono::duration<double>(*measurementDate_ - now).count()
                   : 0.0;
    while (!usageTracker_.empty() && (t < 0 || usageTracker_.size() > kTrackedWindows)) {
      usageTracker_.erase(usageTracker_.begin());
      t += 1;
    }
  }
  usageTracker_.push_back(bandwidthUsedInLastSecond_);
  measurementDate_ = now + std::chrono::seconds(1);
  bandwidthUsedInLastSecond_ = 0;
  if (!usageTracker_.empty()) {
    const quint64 sum = std::accumulate(usageTracker_.begin(), usageTracker_.end(), quint64{0});
    averageBandwidthUsedPerSecond_ = sum / usageTracker_.size();
  }
}

quint64 BandwidthMeter::averageBandwidthUsedPerSecond() const {
  std::lock_guard lock(lock_);
  return averageBandwidthUsedPerSecond_;
}

std::optional<BandwidthMeter::TimePoint> BandwidthMeter::throttleWakeUpTime() const {
  std::lock_guard lock(lock_);
  return throttleWakeUpTime_;
}

qint64 BandwidthMeter::downloadReadLength(qint64 bufferSize) const {
  std::lock_guard lock(lock_);
  if (maxBandwidthPerSecond_ == 0) return bufferSize;
  qint64 size = bufferSize;
  const qint64 remaining = static_cast<qint64>(maxBandwidthPerSecond_) -
                           static_cast<qint64>(bandwidthUsedInLastSecond_);
  if (remaining < 0) size = 1;
  else if (remaining / 4 < size) size = remaining / 4;
  return std::max<qint64>(size, 1);
}

quint64 BandwidthMeter::maxUploadReadLength() {
  std::lock_guard lock(lock_);
  quint64 allowance = maxBandwidthPerSecond_ / 4;
  if (maxBandwidthPerSecond_ != 0 && bandwidthUsedInLastSecond_ + allowance > maxBandwidthPerSecond_) {
    allowance = maxBandwidthPerSecond_ > bandwidthUsedInLastSecond_
                    ? maxBandwidthPerSecond_ - bandwidthUsedInLastSecond_
                    : 0;
  }
  if (allowance != 0 && measurementDate_ && *measurementDate_ > now_()) return allowance;
  throttleWakeUpTime_ = measurementDate_;
  return allowance;
}

std::chrono::milliseconds BandwidthMeter::uploadReadDelay() {
  std::lock_guard lock(lock_);
  if (maxBandwidthPerSecond_ == 0) return std::chrono::milliseconds(0);
  measureBandwidthUsageLocked();
  const TimePoint now = now_();
  if (bandwidthUsedInLastSecond_ < maxBandwidthPerSecond_) {
    // Within the budget the upload is paced through the window: a quarter of the limit at
    // once, then no faster than the limit, so a transfer of n windows' worth takes about n
    // seconds instead of arriving in one burst per window.
    const double limit = static_cast<double>(maxBandwidthPerSecond_);
    const double elapsed =
        std::chrono::duration<double>(now - (*measurementDate_ - std::chrono::seconds(1))).count();
    const double due = (static_cast<double>(bandwidthUsedInLastSecond_) - limit / 4) / limit;
    if (due < elapsed) return std::chrono::milliseconds(0);
    return std::max(std::chrono::ceil<std::chrono::milliseconds>(seconds(due - elapsed)),
                    std::chrono::milliseconds(1));
  }
  TimePoint until = *measurementDate_;
  if (throttleWakeUpTime_ && *throttleWakeUpTime_ > until) until = *throttleWakeUpTime_;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
  return std::max(wait, std::chrono::milliseconds(1));
}

void BandwidthMeter::whenLimitChanges(std::function<void()> callback) {
  std::lock_guard lock(lock_);
  limitWaiters_.push_back(std::move(callback));
}

quint64 BandwidthMeter::bandwidthUsedInLastSecond() const {
  std::lock_guard lock(lock_);
  return bandwidthUsedInLastSecond_;
}

std::optional<BandwidthMeter::TimePoint> BandwidthMeter::bandwidthMeasurementDate() const {
  std::lock_guard lock(lock_);
  return measurementDate_;
}

std::vector<quint64> BandwidthMeter::bandwidthUsageTracker() const {
  std::lock_guard lock(lock_);
  return usageTracker_;
}

void BandwidthMeter::reset() {
  std::lock_guard lock(lock_);
  maxBandwidthPerSecond_ = 0;
  bandwidthUsedInLastSecond_ = 0;
  measurementDate_.reset();
  usageTracker_.clear();
  averageBandwidthUsedPerSecond_ = 0;
  throttleWakeUpTime_.reset();
  limitWaiters_.clear();
}

}  // namespace http::throttle
