// The progress line's counts, speed and stall detection.
#include "updater/progress_line.h"

namespace updater {

void ProgressLine::start(int totalFiles, Clock::time_point now) {
  *this = ProgressLine();
  total_ = totalFiles;
  lastByte_ = now;
}

void ProgressLine::addBytes(qint64 bytes, Clock::time_point now) {
  if (bytes <= 0) return;
  bytes_ += bytes;
  lastByte_ = now;
  recent_.emplace_back(now, bytes);
}

QString ProgressLine::text(Clock::time_point now) {
  while (!recent_.empty() && now - recent_.front().first > kSpeedWindow) recent_.pop_front();
  if (openDownloads_ > 0 && now - lastByte_ >= kStallAfter) return QStringLiteral("等待服务器响应…");
  qint64 recentBytes = 0;
  for (const auto& [when, amount] : recent_) recentBytes += amount;
  const double seconds = std::chrono::duration<double>(kSpeedWindow).count();
  QString line = QStringLiteral("%1/%2 个文件 · %3 · %4/s")
                     .arg(done_)
                     .arg(total_)
                     .arg(megabytes(bytes_), megabytes(static_cast<qint64>(recentBytes / seconds)));
  if (failed_ > 0) line += QStringLiteral(" · 失败 %1").arg(failed_);
  return line;
}

QString megabytes(qint64 bytes) { return QStringLiteral("%1 MB").arg(bytes / 1e6, 0, 'f', 1); }

}  // namespace updater
