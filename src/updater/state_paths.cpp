// The updater's folders and the atomic writing of its own files.
#include "updater/state_paths.h"

#include "http/file_replacement.h"
#include "platform/paths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace updater {
namespace {

const QString kProgramFolder = QStringLiteral("AddonsUpdater");

QString xdgFolder(const char* variable, const QString& fallbackBelowHome) {
  const QString value = QString::fromLocal8Bit(qgetenv(variable));
  if (!value.isEmpty() && QDir::isAbsolutePath(value)) return QDir::cleanPath(value);
  return QDir::homePath() + QLatin1Char('/') + fallbackBelowHome;
}

}  // namespace

QString stateFolder() {
  return xdgFolder("XDG_STATE_HOME", QStringLiteral(".local/state")) + QLatin1Char('/') + kProgramFolder;
}

QString settingsFile() {
  return xdgFolder("XDG_CONFIG_HOME", QStringLiteral(".config")) + QLatin1Char('/') + kProgramFolder +
         QLatin1Char('/') + kProgramFolder + QStringLiteral(".ini");
}

QString gameFolderKey(const QString& gameFolder) {
  const QByteArray path = QFile::encodeName(QDir::cleanPath(QFileInfo(gameFolder).absoluteFilePath()));
  return QString::fromLatin1(QCryptographicHash::hash(path, QCryptographicHash::Sha1).toHex().left(16));
}

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* problem) {
  QString why;
  if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
    why = QStringLiteral("cannot create the folder of %1").arg(path);
  } else {
    // Written in the same folder first, so that the final rename stays on one file system.
    const QString temporary = path + QStringLiteral(".new");
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() ||
        !file.flush()) {
      why = file.errorString();
      file.close();
      QFile::remove(temporary);
    } else {
      file.close();
      if (http::replaceFile(temporary, path, &why)) return true;
      QFile::remove(temporary);
    }
  }
  if (problem != nullptr) *problem = why;
  return false;
}

}  // namespace updater
