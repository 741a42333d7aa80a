// The log on disk: every line the program logs also goes to updater.log in the state folder, with
// its time; past kMaxBytes the file becomes updater.old.log (replacing the previous one) and a new
// one is started.
#pragma once

#include <QFile>
#include <QString>

#include <memory>
#include <mutex>

namespace updater {

class LogFile {
 public:
  static constexpr qint64 kMaxBytes = 5 * 1000 * 1000;

  // Opens (appends to) `folder`/updater.log; the folder is created when missing.
  explicit LogFile(QString folder, qint64 maxBytes = kMaxBytes);
  ~LogFile();

  // Appends "<date time> <line>\n". Thread: any.
  void write(const QString& line);
  QString path() const { return folder_ + QStringLiteral("/updater.log"); }
  QString oldPath() const { return folder_ + QStringLiteral("/updater.old.log"); }

  // Sends every line of platform::log to a LogFile in the state folder from now on (for the life of
  // the returned object).
  static std::shared_ptr<LogFile> installForProgram();

 private:
  void rotate();
  QString folder_;
  qint64 maxBytes_;
  std::mutex mutex_;
  QFile file_;
};

}  // namespace updater
