// The bandwidth meter and the throttled body stream on an injected clock: wake-up times, window
// closing and the average, download and upload read lengths, the upload wait, and the stream
// delivering every byte of memory and file bodies whatever the limit.
#include "http/throttle/bandwidth_meter.h"
#include "http/throttle/throttled_input_stream.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>

namespace http::throttle {
namespace {

using namespace std::chrono_literals;
using Clock = BandwidthMeter::Clock;

class MeterTest : public ::testing::Test {
 protected:
  Clock::time_point now_ = Clock::time_point() + 1000s;
  BandwidthMeter meter_{[this] { return now_; }};

  // Opens the first window at now_ (ends one second later).
  void openWindow() { meter_.measureBandwidthUsage(); }
};

TEST_F(MeterTest, AnOverfullWindowWakesAfterTheExcessIsWorkedOff) {
  struct Case {
    quint64 limit, counted;
    std::optional<std::chrono::milliseconds> wakeAfterWindowEnd;  // empty: no wake-up time
  };
  const Case cases[] = {{1000, 1500, 500ms}, {1000, 1000, std::nullopt}, {1000, 3000, 2000ms},
                        {0, 5000, std::nullopt}, {500000, 500001, 0ms}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.limit << " " << c.counted);
    meter_.reset();
    meter_.setMaxBandwidthPerSecond(c.limit);
    openWindow();
    const auto end = *meter_.bandwidthMeasurementDate();
    EXPECT_EQ(end, now_ + 1s);
    meter_.incrementBandwidthUsedInLastSecond(c.counted);
    meter_.measureBandwidthUsage();
    const auto wake = meter_.throttleWakeUpTime();
    ASSERT_EQ(wake.has_value(), c.wakeAfterWindowEnd.has_value());
    if (wake) {
      EXPECT_NEAR(std::chrono::duration<double>(*wake - end).count(),
                  std::chrono::duration<double>(*c.wakeAfterWindowEnd).count(), 1e-5);
    }
  }
}

TEST_F(MeterTest, WindowsCloseOnlyWhenEndedAndDropTheOldest) {
  // The very first close drops nothing, and the average is kept without a limit too.
  meter_.incrementBandwidthUsedInLastSecond(700);
  openWindow();
  EXPECT_EQ(meter_.bandwidthUsageTracker(), (std::vector<quint64>{700}));
  EXPECT_EQ(meter_.averageBandwidthUsedPerSecond(), 700u);

  // Before its end a window is not closed.
  meter_.incrementBandwidthUsedInLastSecond(300);
  now_ += 900ms;
  meter_.measureBandwidthUsage();
  EXPECT_EQ(meter_.bandwidthUsedInLastSecond(), 300u);

  // Closed just after its end: the oldest entry goes, so in steady use the list holds the last
  // window only and the average equals it.
  now_ += 200ms;
  meter_.measureBandwidthUsage();
  EXPECT_EQ(meter_.bandwidthUsageTracker(), (std::vector<quint64>{300}));
  EXPECT_EQ(meter_.averageBandwidthUsedPerSecond(), 300u);
  EXPECT_EQ(meter_.bandwidthUsedInLastSecond(), 0u);
}

TEST_F(MeterTest, ALateCloseDropsOneEntryPerSecondPastTheEnd) {
  for (double late : {0.5, 1.5, 2.5, 3.5}) {
    SCOPED_TRACE(late);
    meter_.reset();
    // Build a list of five windows by closing each just before... the list keeps at most five.
    openWindow();
    for (quint64 count : {10, 20, 30, 40}) {
      meter_.incrementBandwidthUsedInLastSecond(count);
      now_ += 1000ms;  // exactly at the end: t is 0, nothing dropped
      meter_.measureBandwidthUsage();
    }
    ASSERT_EQ(meter_.bandwidthUsageTracker(), (std::vector<quint64>{0, 10, 20, 30, 40}));
    meter_.incrementBandwidthUsedInLastSecond(50);
    now_ += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 + late));
    meter_.measureBandwidthUsage();
    const auto list = meter_.bandwidthUsageTracker();
    const std::size_t dropped = 5 + 1 - list.size();
    EXPECT_EQ(dropped, static_cast<std::size_t>(late + 1));
    EXPECT_EQ(list.back(), 50u);
  }
  // A window without bytes empties the list.
  now_ += 2s;
  meter_.measureBandwidthUsage();
  EXPECT_EQ(meter_.bandwidthUsageTracker(), (std::vector<quint64>{0}));
  EXPECT_EQ(meter_.averageBandwidthUsedPerSecond(), 0u);
}

TEST_F(MeterTest, ReadLengthsFollowTheRemainingBudget) {
  struct Case {
    quint64 limit, counted;
    qint64 buffer, download;
    quint64 upload;
  };
  const Case cases[] = {
      {0, 0, 65536, 65536, 0},      {0, 99999, 262144, 262144, 0},
      {1000, 0, 16384, 250, 250},   {1000, 900, 16384, 25, 100},
      {1000, 997, 16384, 1, 3},     {1000, 1000, 16384, 1, 0},
      {1000, 1200, 16384, 1, 0},    {4000000, 0, 16384, 16384, 1000000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.limit << " " << c.counted);
    meter_.reset();
    meter_.setMaxBandwidthPerSecond(c.limit);
    openWindow();
    meter_.incrementBandwidthUsedInLastSecond(c.counted);
    EXPECT_EQ(meter_.downloadReadLength(c.buffer), c.download);
    EXPECT_EQ(meter_.maxUploadReadLength(), c.upload);
  }
}

TEST_F(MeterTest, ASpentUploadBudgetWaitsForTheWindowsEnd) {
  meter_.setMaxBandwidthPerSecond(1000);
  openWindow();
  EXPECT_EQ(meter_.uploadReadDelay(), 0ms);
  meter_.incrementBandwidthUsedInLastSecond(1000);
  now_ += 300ms;
  EXPECT_EQ(meter_.maxUploadReadLength(), 0u);
  EXPECT_EQ(meter_.throttleWakeUpTime(), meter_.bandwidthMeasurementDate());
  EXPECT_EQ(meter_.uploadReadDelay(), 700ms);
  meter_.incrementBandwidthUsedInLastSecond(500);  // over by half a second's worth
  EXPECT_EQ(meter_.uploadReadDelay(), 1200ms);
  now_ += 1200ms;
  EXPECT_EQ(meter_.uploadReadDelay(), 0ms);
  meter_.setMaxBandwidthPerSecond(0);
  meter_.incrementBandwidthUsedInLastSecond(1 << 30);
  EXPECT_EQ(meter_.uploadReadDelay(), 0ms);
}

TEST_F(MeterTest, UploadsArePacedThroughTheWindow) {
  meter_.setMaxBandwidthPerSecond(1000);
  openWindow();
  struct Step {
    std::chrono::milliseconds advance;
    quint64 add;
    std::chrono::milliseconds delay;
  };
  // A quarter at once, then no faster than 1000 per second.
  const Step steps[] = {{0ms, 100, 0ms},   {0ms, 150, 1ms},   {0ms, 250, 250ms}, {100ms, 0, 150ms},
                        {151ms, 0, 0ms},   {250ms, 250, 0ms}, {0ms, 250, 499ms}};
  for (const Step& s : steps) {
    now_ += s.advance;
    meter_.incrementBandwidthUsedInLastSecond(s.add);
    EXPECT_EQ(meter_.uploadReadDelay(), s.delay) << meter_.bandwidthUsedInLastSecond();
  }
}

TEST_F(MeterTest, ALimitChangeRunsEachWaiterOnce) {
  int calls = 0;
  meter_.whenLimitChanges([&calls] { ++calls; });
  meter_.setMaxBandwidthPerSecond(10);
  meter_.setMaxBandwidthPerSecond(0);
  EXPECT_EQ(calls, 1);
}

TEST_F(MeterTest, TheThrottledStreamReadsByTheAllowanceAndCountsOnce) {
  meter_.setMaxBandwidthPerSecond(1000);
  openWindow();
  const QByteArray body(2000, 'x');
  int hookCalls = 0;
  auto stream = ThrottledInputStream::inputStreamWithData(body, [&] { ++hookCalls; }, meter_);
  ASSERT_TRUE(stream->open());
  char buffer[4096];
  std::vector<qint64> reads;
  for (int i = 0; i < 6; ++i) reads.push_back(stream->read(buffer, sizeof buffer));
  // 4 x 250 spend the window's budget; after that one byte at a time (never 0 before the end).
  EXPECT_EQ(reads, (std::vector<qint64>{250, 250, 250, 250, 1, 1}));
  EXPECT_EQ(meter_.bandwidthUsedInLastSecond(), 1002u);
  EXPECT_EQ(hookCalls, 6);
  EXPECT_GT(stream->readDelay(), 0ms);
  // A request smaller than the allowance is read as asked.
  now_ += 2s;
  EXPECT_EQ(stream->readDelay(), 0ms);
  EXPECT_EQ(stream->read(buffer, 100), 100);
}

TEST_F(MeterTest, EveryByteOfMemoryAndFileBodiesArrives) {
  testsupport::TempDir dir;
  QByteArray body;
  for (int i = 0; i < 70000; ++i) body.append(static_cast<char>(i * 7 + i / 251));
  testsupport::writeFile(dir / "body.bin", body.toStdString());
  const QString path = QString::fromStdString((dir / "body.bin").string());
  for (quint64 limit : {0ull, 1000ull, 100000ull}) {
    for (bool fromFile : {false, true}) {
      SCOPED_TRACE(testing::Message() << limit << (fromFile ? " file" : " memory"));
      meter_.reset();
      meter_.setMaxBandwidthPerSecond(limit);
      auto stream = fromFile ? ThrottledInputStream::inputStreamWithFileAtPath(path, {}, meter_)
                             : ThrottledInputStream::inputStreamWithData(body, {}, meter_);
      ASSERT_TRUE(stream->open());
      QByteArray out;
      char buffer[8191];
      for (int guard = 0; guard < 200000; ++guard) {
        now_ += 50ms;  // time passes, windows close, budgets renew
        const qint64 n = stream->read(buffer, sizeof buffer);
        ASSERT_GE(n, 0);
        if (n == 0) break;
        out.append(buffer, n);
      }
      stream->close();
      EXPECT_EQ(out, body);
    }
  }
  auto missing = ThrottledInputStream::inputStreamWithFileAtPath(path + ".none", {}, meter_);
  EXPECT_FALSE(missing->open());
  EXPECT_FALSE(missing->errorString().isEmpty());
}

}  // namespace
}  // namespace http::throttle
