// Temporary, caches and home folders.
#include "platform/paths.h"

#include <QDir>
#include <QStandardPaths>
#include <QUuid>

#include <mutex>
#include <random>

namespace platform {

QString temporaryFolder() {
  // The folder is worked out again only when TMPDIR changed: every download names a file there,
  // and working it out resolves each component of the path on disk.
  static std::mutex mutex;
  static QByteArray lastVariable;
  static QString lastFolder;
  const QByteArray variable = qgetenv("TMPDIR");
  std::lock_guard lock(mutex);
  if (lastFolder.isEmpty() || variable != lastVariable) {
    lastFolder = QDir::tempPath();
    lastVariable = variable;
  }
  return lastFolder;
}

QString uniqueTemporaryPath() {
  // A random (version 4) UUID from a generator of this thread, seeded once from the system.
  static thread_local std::mt19937_64 random{std::random_device{}()};
  const quint64 high = random();
  const quint64 low = random();
  const QUuid uuid(static_cast<uint>(high >> 32), static_cast<ushort>(high >> 16),
                   static_cast<ushort>((high & 0x0FFF) | 0x4000), static_cast<uchar>(((low >> 56) & 0x3F) | 0x80),
                   static_cast<uchar>(low >> 48), static_cast<uchar>(low >> 40), static_cast<uchar>(low >> 32),
                   static_cast<uchar>(low >> 24), static_cast<uchar>(low >> 16), static_cast<uchar>(low >> 8),
                   static_cast<uchar>(low));
  return temporaryFolder() + QLatin1Char('/') + uuid.toString(QUuid::WithoutBraces).toUpper();
}

QString cachesFolder() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
  if (folder.isEmpty()) folder = QDir::homePath() + QStringLiteral("/.cache");
  QDir().mkpath(folder);
  return folder;
}

QString homeFolder() { return QDir::homePath(); }

}  // namespace platform
