// Looking for the game in the usual Linux places.
#include "updater/game_folder.h"

#include "updater/state_paths.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace updater {
namespace {

const QString kRememberedKey = QStringLiteral("game/folder");
const QString kWowFolder = QStringLiteral("World of Warcraft");

bool isFolder(const QString& path) { return QFileInfo(path).isDir(); }

}  // namespace

const QStringList& knownFlavours() {
  static const QStringList flavours = {QStringLiteral("_retail_"), QStringLiteral("_classic_"),
                                       QStringLiteral("_classic_era_"), QStringLiteral("_ptr_"),
                                       QStringLiteral("_beta_")};
  return flavours;
}

QString GameInstall::addOnsRoot(const QString& flavour) const {
  if (flavours.isEmpty()) return root;
  return root + QLatin1Char('/') + (flavours.contains(flavour) ? flavour : flavours.first());
}

std::optional<GameInstall> gameInstallAt(const QString& folder) {
  if (folder.isEmpty() || !isFolder(folder)) return std::nullopt;
  GameInstall install;
  install.root = QDir::cleanPath(folder);
  for (const QString& flavour : knownFlavours()) {
    if (isFolder(install.root + QLatin1Char('/') + flavour)) install.flavours << flavour;
  }
  if (!install.flavours.isEmpty()) return install;
  for (const char* program : {"Wow.exe", "WowClassic.exe", "Wow-64.exe"}) {
    if (QFileInfo(install.root + QLatin1Char('/') + QLatin1String(program)).isFile()) return install;
  }
  return std::nullopt;
}

QStringList usualGameFolders(const QString& home) {
  QStringList prefixes = {home + QStringLiteral("/.wine"), home + QStringLiteral("/Games/world-of-warcraft"),
                          home + QStringLiteral("/Games/battlenet")};
  for (const QString& steam : {home + QStringLiteral("/.steam/steam"), home + QStringLiteral("/.local/share/Steam")}) {
    const QString compat = steam + QStringLiteral("/steamapps/compatdata");
    const QStringList apps = QDir(compat).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& app : apps) prefixes << compat + QLatin1Char('/') + app + QStringLiteral("/pfx");
  }
  QStringList folders;
  for (const QString& prefix : prefixes) {
    for (const char* programFiles : {"Program Files (x86)", "Program Files"}) {
      folders << prefix + QStringLiteral("/drive_c/") + QLatin1String(programFiles) + QLatin1Char('/') + kWowFolder;
    }
  }
  return folders;
}

std::optional<GameInstall> findGameInstall(const QString& home) {
  const QString remembered = rememberedGameFolder();
  if (!remembered.isEmpty() && isFolder(remembered)) {
    // A flavour folder is remembered as itself, within its install.
    const QFileInfo info(remembered);
    if (knownFlavours().contains(info.fileName())) {
      if (auto install = gameInstallAt(info.absolutePath())) {
        install->flavours.removeAll(info.fileName());
        install->flavours.prepend(info.fileName());
        return install;
      }
    }
    return GameInstall{QDir::cleanPath(remembered), {}};
  }
  for (const QString& folder : usualGameFolders(home)) {
    if (auto install = gameInstallAt(folder)) return install;
  }
  return std::nullopt;
}

QString rememberedGameFolder() {
  QSettings settings(settingsFile(), QSettings::IniFormat);
  return settings.value(kRememberedKey).toString();
}

void rememberGameFolder(const QString& folder) {
  QSettings settings(settingsFile(), QSettings::IniFormat);
  settings.setValue(kRememberedKey, folder);
  settings.sync();
}

}  // namespace updater
