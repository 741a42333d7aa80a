// Temporary, caches and home folders.
#include "platform/paths.h"

#include <QDir>
#include <QStandardPaths>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <random>

namespace platform {

QString temporaryFolder() {
  // The folder is worked out again only when TMPDIR changed: every download names a file there,
  // and working it out resolves each component of the path on disk.
  static std::mutex mutex;
  static QByteArray lastVariable;
  static QString lastFolder;
  std::lock_guard lock(mutex);
  const char* variable = std::getenv("TMPDIR");
  if (lastFolder.isEmpty() || QByteArrayView(variable) != QByteArrayView(lastVariable) ||
      (variable == nullptr) != lastVariable.isNull()) {
    lastFolder = QDir::tempPath();
    lastVariable = variable ? QByteArray(variable) : QByteArray();
  }
  return lastFolder;
}

QString uniqueTemporaryPath() {
  // A random (version 4) UUID in upper-case hexadecimal, from a generator of this thread seeded
  // once from the system.
  static thread_local std::mt19937_64 random{std::random_device{}()};
  const quint64 high = (random() & ~quint64(0xF000)) | 0x4000;
  const quint64 low = (random() & ~(quint64(0xC) << 60)) | (quint64(0x8) << 60);
  static constexpr char kHex[] = "0123456789ABCDEF";
  char text[36];
  int at = 0;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) text[at++] = '-';
    const quint64 word = i < 16 ? high : low;
    text[at++] = kHex[(word >> (60 - 4 * (i % 16))) & 0xF];
  }
  const QString folder = temporaryFolder();
  QString path(folder.size() + 1 + 36, Qt::Uninitialized);
  QChar* to = std::copy(folder.cbegin(), folder.cend(), path.data());
  *to++ = QLatin1Char('/');
  for (const char c : text) *to++ = QLatin1Char(c);
  return path;
}

QString cachesFolder() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
  if (folder.isEmpty()) folder = QDir::homePath() + QStringLiteral("/.cache");
  QDir().mkpath(folder);
  return folder;
}

QString homeFolder() { return QDir::homePath(); }

}  // namespace platform
