// Temporary, caches and home folders.
#include "platform/paths.h"

#include <QDir>
#include <QStandardPaths>
#include <QUuid>

namespace platform {

QString temporaryFolder() { return QDir::tempPath(); }

QString uniqueTemporaryPath() {
  return temporaryFolder() + QLatin1Char('/') +
         QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QString cachesFolder() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
  if (folder.isEmpty()) folder = QDir::homePath() + QStringLiteral("/.cache");
  QDir().mkpath(folder);
  return folder;
}

QString homeFolder() { return QDir::homePath(); }

}  // namespace platform
