// The bandwidth bookkeeping every request of the process shares: one optional limit in bytes per
// second, one-second measurement windows, the recent windows' average and the wake-up time.
#pragma once

#include <QtGlobal>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace http::throttle {

// Counts every byte received or sent into the current one-second window. When a window's count
// goes over the limit, reading is to wait until the excess has been worked off at the limit
// rate (throttleWakeUpTime). The windows also give averageBandwidthUsedPerSecond, kept whether
// or not a limit is set.
//
// Thread: any. Every member takes one plain (non-recursive) lock; callbacks registered with
// whenLimitChanges() run outside it.
class BandwidthMeter {
 public:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;
  using Now = std::function<TimePoint()>;

  // Windows remembered for the average (the list is trimmed to this many before appending).
  static constexpr std::size_t kTrackedWindows = 5;

  // A meter reading time from `now` (tests inject a clock).
  explicit BandwidthMeter(Now now = [] { return Clock::now(); });
  // The meter of the process.
  static BandwidthMeter& shared();

  // The limit in bytes per second; 0 means none (the start value). Changing it runs, once, every
  // callback registered with whenLimitChanges(), so that paused transfers look again at once.
  void setMaxBandwidthPerSecond(quint64 bytes);
  quint64 maxBandwidthPerSecond() const;
  bool isBandwidthThrottled() const;

  // Adds `bytes` to the current window.
  void incrementBandwidthUsedInLastSecond(quint64 bytes);
  // Closes the current window when it has ended (or none was opened yet) and, when the window's
  // count is over the limit, sets the wake-up time to the window's end plus the time the excess
  // takes at the limit rate.
  void measureBandwidthUsage();
  quint64 averageBandwidthUsedPerSecond() const;
  // Until when reading is suspended; empty when never set. A past time lets reading go on.
  std::optional<TimePoint> throttleWakeUpTime() const;

  // How many bytes a download may read now, given the read size `bufferSize` it would use
  // without a limit: a quarter of what is left of the window's budget, 1 when the budget is
  // spent, never less than 1. Without a limit, `bufferSize`.
  qint64 downloadReadLength(qint64 bufferSize) const;
  // How many upload bytes may be read now: a quarter of the limit, no more than what is left of
  // the window's budget (possibly 0). When that is 0 or the window has ended, the wake-up time
  // becomes the end of the window.
  quint64 maxUploadReadLength();
  // How long an upload should wait before reading again. Without a limit, zero. With the
  // window's budget spent, until the window ends or the wake-up time, whichever is later.
  // Within the budget, reading is paced: a quarter of the limit at once, then no faster than
  // the limit (zero when the count is within that). Closes an ended window first.
  std::chrono::milliseconds uploadReadDelay();

  // Runs `callback` once, the next time the limit is changed (outside the meter's lock).
  void whenLimitChanges(std::function<void()> callback);

  // Views for tests and reports.
  quint64 bandwidthUsedInLastSecond() const;
  std::optional<TimePoint> bandwidthMeasurementDate() const;
  std::vector<quint64> bandwidthUsageTracker() const;
  // Back to the start state (no limit, no windows, no callbacks).
  void reset();

 private:
  void recordBandwidthUsageLocked();
  void measureBandwidthUsageLocked();

  const Now now_;
  mutable std::mutex lock_;                       // bandwidthThrottlingLock
  quint64 maxBandwidthPerSecond_ = 0;             // 0: no limit
  quint64 bandwidthUsedInLastSecond_ = 0;         // bytes counted in the current window
  std::optional<TimePoint> measurementDate_;      // end of the current window
  std::vector<quint64> usageTracker_;             // counts of recent windows, oldest first
  quint64 averageBandwidthUsedPerSecond_ = 0;     // integer mean of usageTracker_
  std::optional<TimePoint> throttleWakeUpTime_;   // reading waits until then
  std::vector<std::function<void()>> limitWaiters_;  // run once on the next limit change
};

}  // namespace http::throttle
