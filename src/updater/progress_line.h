// The second line under the progress bar: files done out of all, bytes downloaded and the current
// speed ("312/1522 个文件 · 18.4 MB · 3.1 MB/s"), failures counted apart ("失败 2"), and a plain
// "等待服务器响应…" when downloads are open but nothing has arrived for a while.
#pragma once

#include <QString>

#include <chrono>
#include <deque>

namespace updater {

// Thread: main. Pure bookkeeping: the caller feeds counts and bytes and asks for the text.
class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;
  // No byte for this long while downloads are open reads as waiting for the server.
  static constexpr std::chrono::seconds kStallAfter{10};
  // The speed is the average over this last stretch of time.
  static constexpr std::chrono::seconds kSpeedWindow{2};

  void start(int totalFiles, Clock::time_point now);
  void setFiles(int done, int failed) {
    done_ = done;
    failed_ = failed;
  }
  void setOpenDownloads(int open) { openDownloads_ = open; }
  void addBytes(qint64 bytes, Clock::time_point now);

  // The line for `now`.
  QString text(Clock::time_point now);

  qint64 bytes() const { return bytes_; }

 private:
  int total_ = 0;
  int done_ = 0;
  int failed_ = 0;
  int openDownloads_ = 0;
  qint64 bytes_ = 0;
  Clock::time_point lastByte_{};
  std::deque<std::pair<Clock::time_point, qint64>> recent_;  // (when, bytes) inside the speed window
};

// `bytes` in decimal megabytes with one decimal: "18.4 MB".
QString megabytes(qint64 bytes);

}  // namespace updater
