// The progress line: counts, bytes, speed over its window, failures apart, and the wait for a
// server that sends nothing.
#include "updater/progress_line.h"

#include <gtest/gtest.h>

namespace {

using updater::ProgressLine;
using namespace std::chrono_literals;

TEST(ProgressLineTest, TextsForEachSituation) {
  const ProgressLine::Clock::time_point t0{};
  struct Step {
    const char* what;
    std::chrono::milliseconds at;
    qint64 bytes;
    int done, failed, open;
    const char* expected;
  };
  const Step steps[] = {
      {"start", 0ms, 0, 0, 0, 4, "0/1522 个文件 · 0.0 MB · 0.0 MB/s"},
      {"bytes", 1000ms, 6200000, 312, 0, 4, "312/1522 个文件 · 6.2 MB · 3.1 MB/s"},
      {"more", 2000ms, 12200000, 400, 0, 4, "400/1522 个文件 · 18.4 MB · 9.2 MB/s"},
      {"old bytes leave the window", 3500ms, 0, 400, 2, 4, "400/1522 个文件 · 18.4 MB · 6.1 MB/s · 失败 2"},
      {"stalled", 12000ms, 0, 400, 2, 4, "等待服务器响应…"},
      {"quiet with nothing open", 12000ms, 0, 1520, 2, 0, "1520/1522 个文件 · 18.4 MB · 0.0 MB/s · 失败 2"},
      {"bytes again", 12100ms, 1000, 1520, 2, 1, "1520/1522 个文件 · 18.4 MB · 0.0 MB/s · 失败 2"},
  };
  ProgressLine line;
  line.start(1522, t0);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    line.addBytes(step.bytes, t0 + step.at);
    line.setFiles(step.done, step.failed);
    line.setOpenDownloads(step.open);
    EXPECT_EQ(line.text(t0 + step.at), QString::fromUtf8(step.expected));
  }
}

}  // namespace
