// The program's log on standard error.
#include "platform/log.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>

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

QString programName() {
  QString name = QCoreApplication::applicationName();
  if (name.isEmpty()) name = QFileInfo(QString::fromLocal8Bit(program_invocation_name)).fileName();
  return name;
}

}  // namespace

void log(const QString& text) {
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
  const long tid = static_cast<long>(::syscall(SYS_gettid));
  const QString line = QStringLiteral("%1 %2[%3:%4] %5")
                           .arg(stamp, programName())
                           .arg(static_cast<long>(::getpid()))
                           .arg(tid)
                           .arg(text);
  const QByteArray bytes = line.toUtf8() + '\n';
  ssize_t ignored = ::write(STDERR_FILENO, bytes.constData(), static_cast<size_t>(bytes.size()));
  (void)ignored;
  std::lock_guard lock(sinkMutex());
  if (sink()) sink()(text);
}

void setLogSink(std::function<void(const QString& line)> fn) {
  std::lock_guard lock(sinkMutex());
  sink() = std::move(fn);
}

}  // namespace platform
