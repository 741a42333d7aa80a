// The rotating log file.
#include "updater/log_file.h"

#include "platform/log.h"
#include "updater/state_paths.h"

#include <QDateTime>
#include <QDir>

namespace updater {

LogFile::LogFile(QString folder, qint64 maxBytes) : folder_(std::move(folder)), maxBytes_(maxBytes) {
  QDir().mkpath(folder_);
  file_.setFileName(path());
  file_.open(QIODevice::WriteOnly | QIODevice::Append);
}

LogFile::~LogFile() = default;

void LogFile::write(const QString& line) {
  const QByteArray bytes = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")).toUtf8() +
                           line.toUtf8() + '\n';
  std::lock_guard lock(mutex_);
  if (!file_.isOpen()) return;
  if (file_.size() > 0 && file_.size() + bytes.size() > maxBytes_) rotate();
  file_.write(bytes);
  file_.flush();
}

void LogFile::rotate() {
  file_.close();
  QFile::remove(oldPath());
  QFile::rename(path(), oldPath());
  file_.open(QIODevice::WriteOnly | QIODevice::Append);
}

std::shared_ptr<LogFile> LogFile::installForProgram() {
  auto file = std::make_shared<LogFile>(stateFolder());
  std::weak_ptr<LogFile> weak = file;
  platform::setLogSink([weak](const QString& line) {
    if (auto target = weak.lock()) target->write(line);
  });
  return file;
}

}  // namespace updater
