// Keeping installed copies before an update replaces them, and putting them back.
#include "updater/rollback.h"

#include "http/file_replacement.h"
#include "updater/state_paths.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

namespace updater {
namespace {

const QString kListFile = QStringLiteral("update.json");

QString backupsOf(const QString& gameFolder) {
  return stateFolder() + QStringLiteral("/backups/") + gameFolderKey(gameFolder);
}

QString relativeTo(const QString& gameFolder, const QString& path) {
  return QDir(gameFolder).relativeFilePath(path);
}

// Copies `source` to a new file `target` (hard link when possible: the installed file is replaced
// by a rename, so the link keeps the old bytes).
bool keepCopy(const QString& source, const QString& target, QString* problem) {
  if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
    *problem = QStringLiteral("cannot create %1").arg(QFileInfo(target).absolutePath());
    return false;
  }
  if (::link(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) == 0) return true;
  QFile::remove(target);
  if (QFile::copy(source, target)) return true;
  *problem = QStringLiteral("cannot keep a copy of %1").arg(source);
  return false;
}

}  // namespace

UpdateBackup::UpdateBackup(QString gameFolder) : gameFolder_(std::move(gameFolder)) {
  const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
  folder_ = backupsOf(gameFolder_) + QLatin1Char('/') + stamp;
}

bool UpdateBackup::keep(const QString& installedPath, QString* problem) {
  const QString relative = relativeTo(gameFolder_, installedPath);
  if (kept_.contains(relative) || created_.contains(relative)) return true;
  const QFileInfo info(installedPath);
  if (!info.exists() && !info.isSymLink()) {
    created_ << relative;
    return true;
  }
  if (!info.isFile() || info.isSymLink()) {
    // A link or something else: restoring would need more than a file; nothing to keep.
    created_ << relative;
    return true;
  }
  if (!keepCopy(installedPath, folder_ + QStringLiteral("/files/") + relative, problem)) return false;
  kept_ << relative;
  return true;
}

void UpdateBackup::finish() {
  if (kept_.isEmpty() && created_.isEmpty()) {
    QDir(folder_).removeRecursively();
  } else {
    const QJsonObject list{{"gameFolder", gameFolder_},
                           {"kept", QJsonArray::fromStringList(kept_)},
                           {"created", QJsonArray::fromStringList(created_)}};
    writeFileAtomically(folder_ + QLatin1Char('/') + kListFile, QJsonDocument(list).toJson());
  }
  const QStringList folders = backupFolders(gameFolder_);
  for (int i = kKeptUpdates; i < folders.size(); ++i) QDir(folders[i]).removeRecursively();
}

QStringList backupFolders(const QString& gameFolder) {
  const QString base = backupsOf(gameFolder);
  QStringList folders;
  // Only complete ones: the list file is written last.
  for (const QString& name : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed)) {
    if (QFileInfo::exists(base + QLatin1Char('/') + name + QLatin1Char('/') + kListFile)) {
      folders << base + QLatin1Char('/') + name;
    }
  }
  return folders;
}

RestoreResult restoreLastUpdate(const QString& gameFolder) {
  RestoreResult result;
  const QStringList folders = backupFolders(gameFolder);
  if (folders.isEmpty()) return result;
  result.found = true;
  const QString folder = folders.first();
  QFile listFile(folder + QLatin1Char('/') + kListFile);
  if (!listFile.open(QIODevice::ReadOnly)) {
    result.failed << QStringLiteral("%1 : %2").arg(listFile.fileName(), listFile.errorString());
    return result;
  }
  const QJsonObject list = QJsonDocument::fromJson(listFile.readAll()).object();
  for (const QJsonValue& value : list.value(QLatin1String("kept")).toArray()) {
    const QString relative = value.toString();
    const QString target = gameFolder + QLatin1Char('/') + relative;
    // Copied beside the target first, so the kept copy stays for another try if this one fails.
    const QString staged = target + QStringLiteral(".restore");
    QString problem;
    QFile::remove(staged);
    if (!QDir().mkpath(QFileInfo(target).absolutePath()) ||
        !QFile::copy(folder + QStringLiteral("/files/") + relative, staged)) {
      result.failed << QStringLiteral("%1 : cannot copy the kept file").arg(relative);
      QFile::remove(staged);
    } else if (!http::replaceFile(staged, target, &problem)) {
      result.failed << QStringLiteral("%1 : %2").arg(relative, problem);
      QFile::remove(staged);
    } else {
      result.restored << relative;
    }
  }
  for (const QJsonValue& value : list.value(QLatin1String("created")).toArray()) {
    const QString relative = value.toString();
    const QString target = gameFolder + QLatin1Char('/') + relative;
    QFile file(target);
    if (QFileInfo(target).exists() && !file.remove()) {
      result.failed << QStringLiteral("%1 : %2").arg(relative, file.errorString());
    } else {
      result.restored << relative;
    }
  }
  if (result.failed.isEmpty()) QDir(folder).removeRecursively();
  return result;
}

}  // namespace updater
