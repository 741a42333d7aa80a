// Reading and writing the install records, and comparing installed files with them.
#include "updater/install_records.h"

#include "updater/state_paths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <zlib.h>

namespace updater {
namespace {

// Version of the record file's layout, written into it; other versions are ignored.
constexpr int kRecordFormat = 1;

std::optional<quint32> crcOfFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  uLong crc = ::crc32(0L, Z_NULL, 0);
  QByteArray buffer(1 << 18, Qt::Uninitialized);
  for (;;) {
    const qint64 n = file.read(buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    crc = ::crc32(crc, reinterpret_cast<const Bytef*>(buffer.constData()), static_cast<uInt>(n));
  }
  return static_cast<quint32>(crc);
}

}  // namespace

InstallRecords::InstallRecords(QString gameFolder) : gameFolder_(std::move(gameFolder)) {}

QString InstallRecords::filePath() const {
  return stateFolder() + QStringLiteral("/records/") + gameFolderKey(gameFolder_) + QStringLiteral(".json");
}

void InstallRecords::load() {
  records_.clear();
  QFile file(filePath());
  if (!file.open(QIODevice::ReadOnly)) return;
  const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
  if (root.value(QLatin1String("format")).toInt() != kRecordFormat) return;
  const QJsonObject files = root.value(QLatin1String("files")).toObject();
  for (auto it = files.begin(); it != files.end(); ++it) {
    const QJsonObject o = it.value().toObject();
    InstallRecord record;
    record.url = o.value(QLatin1String("url")).toString();
    record.etag = o.value(QLatin1String("etag")).toString();
    record.lastModified = o.value(QLatin1String("lastModified")).toString();
    record.size = static_cast<qint64>(o.value(QLatin1String("size")).toDouble(-1));
    record.mtimeMs = static_cast<qint64>(o.value(QLatin1String("mtimeMs")).toDouble());
    record.crc32 = static_cast<quint32>(o.value(QLatin1String("crc32")).toDouble());
    records_[it.key()] = record;
  }
}

bool InstallRecords::save(QString* problem) const {
  QJsonObject files;
  for (const auto& [path, record] : records_) {
    files.insert(path, QJsonObject{{"url", record.url},
                                   {"etag", record.etag},
                                   {"lastModified", record.lastModified},
                                   {"size", static_cast<double>(record.size)},
                                   {"mtimeMs", static_cast<double>(record.mtimeMs)},
                                   {"crc32", static_cast<double>(record.crc32)}});
  }
  const QJsonObject root{{"format", kRecordFormat}, {"gameFolder", gameFolder_}, {"files", files}};
  return writeFileAtomically(filePath(), QJsonDocument(root).toJson(QJsonDocument::Compact), problem);
}

const InstallRecord* InstallRecords::find(const QString& relativePath) const {
  const auto it = records_.find(relativePath);
  return it == records_.end() ? nullptr : &it->second;
}

std::optional<InstallRecord> describeInstalledFile(const QString& path, std::optional<quint32> knownCrc) {
  const QFileInfo info(path);
  if (!info.isFile()) return std::nullopt;
  const std::optional<quint32> crc = knownCrc ? knownCrc : crcOfFile(path);
  if (!crc) return std::nullopt;
  InstallRecord record;
  record.size = info.size();
  record.mtimeMs = info.lastModified().toMSecsSinceEpoch();
  record.crc32 = *crc;
  return record;
}

bool stillMatches(const QString& path, const InstallRecord& record) {
  const QFileInfo info(path);
  if (!info.isFile() || info.isSymLink() || info.size() != record.size ||
      info.lastModified().toMSecsSinceEpoch() != record.mtimeMs) {
    return false;
  }
  const std::optional<quint32> crc = crcOfFile(path);
  return crc && *crc == record.crc32;
}

}  // namespace updater
