// An update server for tests: a real nginx on loopback serving both manifests and one 7z archive
// per add-on file, made with bsdtar from sources the test chooses.
#pragma once

#include "support/nginx_server.h"
#include "support/temp_dir.h"

#include <QByteArray>
#include <QString>
#include <QVariantList>

#include <map>
#include <memory>

namespace testsupport {

class AddonServer {
 public:
  AddonServer();

  bool isRunning() const { return nginx_ && nginx_->isRunning(); }
  QString errorText() const;
  // The update manifest's address.
  QString manifestURL() const;
  // Requests nginx has logged so far ("<conn> <n> <status> <request line>").
  std::vector<std::string> accessLog() const { return nginx_->accessLog(); }

  // Lists `listedPath` (may use "\") under `folder` and serves its archive, holding `content`
  // under the file's own name. `lzma2` chooses the LZMA2 method instead of LZMA.
  void addFile(const QString& folder, const QString& listedPath, const QByteArray& content, bool lzma2 = false);
  // Serves a new archive for a file already listed (a new version on the server).
  void changeFile(const QString& folder, const QString& listedPath, const QByteArray& content);
  // Lists the file and serves `bytes` as its archive.
  void addRawArchive(const QString& folder, const QString& listedPath, const QByteArray& bytes);
  // Lists the file without serving any archive (its download gets a 404).
  void addMissing(const QString& folder, const QString& listedPath);
  // Adds an entry to the list as it is (for entries the updater must refuse).
  void addRawEntry(const QVariant& entry) { rawEntries_.push_back(entry); }
  // Writes both manifests; call after the last add. With `archiveBase`, the manifest points the
  // archives there instead of at this server.
  void publish(const QString& archiveBase = QString());
  // The bytes served as the archive of a listed file (empty when it has none).
  QByteArray archiveBytes(const QString& folder, const QString& listedPath) const;
  // Writes `bytes` as a manifest document served at `path`.
  void writeDocument(const QString& path, const QByteArray& bytes);
  QString url(const QString& path) const { return nginx_->url(path).toString(); }

  // The content each listed file should have once installed, by path under Interface/AddOns.
  const std::map<QString, QByteArray>& expected() const { return expected_; }

 private:
  QString archivePath(const QString& folder, const QString& path) const;
  void list(const QString& folder, const QString& listedPath);
  void writeArchive(const QString& folder, const QString& listedPath, const QByteArray& content, bool lzma2,
                    bool listIt);

  TempDir root_;
  TempDir sources_;
  std::unique_ptr<NginxServer> nginx_;
  std::vector<std::pair<QString, QVariantList>> entries_;  // folder → file objects, in order
  QVariantList rawEntries_;
  std::map<QString, QByteArray> expected_;
};

}  // namespace testsupport
