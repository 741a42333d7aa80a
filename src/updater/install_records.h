// What the updater installed in one game folder, so that the next update asks the server only for
// what changed: per installed file, the archive it came from with the server's validators, and the
// file's size, modification time and CRC32 as they were right after installing.
#pragma once

#include <QString>

#include <map>
#include <optional>

namespace updater {

struct InstallRecord {
  QString url;           // the archive's URL
  QString etag;          // its ETag, as the server sent it ("" when none)
  QString lastModified;  // its Last-Modified, as sent ("" when none)
  qint64 size = -1;      // the installed file's size in bytes
  qint64 mtimeMs = 0;    // its modification time, milliseconds since the epoch (UTC)
  quint32 crc32 = 0;     // CRC-32 (zlib's) of its bytes
};

// The records of one game folder, by installed file path relative to the game folder
// ("Interface/AddOns/Foo/Foo.lua"). Kept in the state folder as records/<key>.json, one file per
// game folder, replaced atomically. Thread: one at a time (no lock).
class InstallRecords {
 public:
  explicit InstallRecords(QString gameFolder);

  // Reads the record file; a missing or unreadable one gives no records.
  void load();
  // Writes the record file atomically. Returns false (with `problem`) when it could not be written.
  bool save(QString* problem = nullptr) const;

  const InstallRecord* find(const QString& relativePath) const;
  void put(const QString& relativePath, const InstallRecord& record) { records_[relativePath] = record; }
  void remove(const QString& relativePath) { records_.erase(relativePath); }
  size_t size() const { return records_.size(); }

  const QString& gameFolder() const { return gameFolder_; }
  QString filePath() const;

 private:
  QString gameFolder_;
  std::map<QString, InstallRecord> records_;
};

// The size, modification time and CRC32 of the file at `path` (nothing when it cannot be read).
// The URL and validators are left empty. A `knownCrc` (the checked CRC of the bytes just written
// there) is taken instead of reading the file again.
std::optional<InstallRecord> describeInstalledFile(const QString& path,
                                                   std::optional<quint32> knownCrc = std::nullopt);

// True when the file at `path` is still the one `record` describes: same size, modification time
// and CRC32 (the CRC only checked when size and time agree).
bool stillMatches(const QString& path, const InstallRecord& record);

}  // namespace updater
