// The program's log on standard error.
#include "platform/log.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {
namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(const QString&)>& sink() {
  static auto* fn = new std::function<void(const QString&)>;
  return *fn;
}

QByteArray programName() {
  QString name = QCoreApplication::applicationName();
  if (name.isEmpty()) name = QFileInfo(QString::fromLocal8Bit(program_invocation_name)).fileName();
  return name.toUtf8();
}

// "2026-12-08 04:42:12.123 " for now, local time.
void appendTimestamp(QByteArray& line) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const int millis = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  const int n = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", local.tm_year + 1900,
                              local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, millis);
  line.append(text, n);
}

}  // namespace

void log(const QString& text) {
  QByteArray line;
  line.reserve(64 + text.size() * 3);
  appendTimestamp(line);
  line += programName();
  line += '[';
  line += QByteArray::number(static_cast<qint64>(::getpid()));
  line += ':';
  line += QByteArray::number(static_cast<qint64>(::syscall(SYS_gettid)));
  line += "] ";
  line += text.toUtf8();
  line += '\n';
  ssize_t ignored = ::write(STDERR_FILENO, line.constData(), static_cast<size_t>(line.size()));
  (void)ignored;
  std::lock_guard lock(sinkMutex());
  if (sink()) sink()(text);
}

void setLogSink(std::function<void(const QString& line)> fn) {
  std::lock_guard lock(sinkMutex());
  sink() = std::move(fn);
}

}  // namespace platform
