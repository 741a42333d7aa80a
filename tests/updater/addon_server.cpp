// The test update server.
#include "addon_server.h"

#include "updater/json_dictionary.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QVariantMap>

#include <stdexcept>

namespace testsupport {
namespace {

QString toQt(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

void writeBytes(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
    throw std::runtime_error("cannot write " + path.toStdString());
  }
}

}  // namespace

AddonServer::AddonServer() {
  NginxServer::Options options;
  options.root = root_.path();
  nginx_ = std::make_unique<NginxServer>(options);
}

QString AddonServer::errorText() const { return nginx_ ? nginx_->errorText() : QStringLiteral("no nginx"); }

QString AddonServer::manifestURL() const {
  return nginx_->url(QStringLiteral("/wowplugin/AddonsUpdater.json")).toString();
}

QString AddonServer::archivePath(const QString& folder, const QString& path) const {
  QString relative = path;
  relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
  return toQt(root_.path()) + QStringLiteral("/addons/") + folder + QLatin1Char('/') + relative + QStringLiteral(".7z");
}

void AddonServer::list(const QString& folder, const QString& listedPath) {
  for (auto& [name, files] : entries_) {
    if (name == folder) {
      files.push_back(QVariantMap{{"file", listedPath}});
      return;
    }
  }
  entries_.push_back({folder, QVariantList{QVariantMap{{"file", listedPath}}}});
}

void AddonServer::addFile(const QString& folder, const QString& listedPath, const QByteArray& content, bool lzma2) {
  writeArchive(folder, listedPath, content, lzma2, true);
}

void AddonServer::changeFile(const QString& folder, const QString& listedPath, const QByteArray& content) {
  writeArchive(folder, listedPath, content, false, false);
}

void AddonServer::writeArchive(const QString& folder, const QString& listedPath, const QByteArray& content, bool lzma2,
                               bool listIt) {
  QString relative = listedPath;
  relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
  const QString source = toQt(sources_.path()) + QLatin1Char('/') + folder + QLatin1Char('/') + relative;
  writeBytes(source, content);
  const QString archive = archivePath(folder, listedPath);
  QFile::remove(archive);
  QDir().mkpath(QFileInfo(archive).absolutePath());
  QStringList arguments{QStringLiteral("--format"), QStringLiteral("7zip")};
  if (lzma2) arguments << QStringLiteral("--options") << QStringLiteral("7zip:compression=lzma2");
  arguments << QStringLiteral("-cf") << archive << QStringLiteral("-C") << QFileInfo(source).absolutePath()
            << QFileInfo(source).fileName();
  if (QProcess::execute(QStringLiteral("bsdtar"), arguments) != 0) throw std::runtime_error("bsdtar failed");
  if (listIt) list(folder, listedPath);
  expected_[folder + QLatin1Char('/') + relative] = content;
}

void AddonServer::addRawArchive(const QString& folder, const QString& listedPath, const QByteArray& bytes) {
  writeBytes(archivePath(folder, listedPath), bytes);
  list(folder, listedPath);
}

void AddonServer::addMissing(const QString& folder, const QString& listedPath) { list(folder, listedPath); }

QByteArray AddonServer::archiveBytes(const QString& folder, const QString& listedPath) const {
  QFile file(archivePath(folder, listedPath));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void AddonServer::writeDocument(const QString& path, const QByteArray& bytes) {
  writeBytes(toQt(root_.path()) + path, bytes);
}

void AddonServer::publish(const QString& archiveBase) {
  QVariantList addons;
  for (const auto& [folder, files] : entries_) addons.push_back(QVariantMap{{"folder", folder}, {"files", files}});
  for (const QVariant& raw : rawEntries_) addons.push_back(raw);
  const QString wowplugin = toQt(root_.path()) + QStringLiteral("/wowplugin/");
  writeBytes(wowplugin + QStringLiteral("AddonsUpdater.json"),
             updater::toJSON({{"plughttpaddr", archiveBase.isEmpty() ? nginx_->url(QStringLiteral("/addons/")).toString()
                                                                     : archiveBase},
                              {"plugjsonaddr", nginx_->url(QStringLiteral("/wowplugin/addons.json")).toString()},
                              {"version", 3}}));
  writeBytes(wowplugin + QStringLiteral("addons.json"),
             QJsonDocument::fromVariant(QVariantMap{{"Crc32", addons}}).toJson());
}

}  // namespace testsupport
