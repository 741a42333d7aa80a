// Finding the game on a Linux machine: the folder of the last successful update, then the usual
// Wine, Lutris and Steam (Proton) installs, each taken only when it really holds the game.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace updater {

// A game installation. With flavour folders (_retail_, _classic_...) each flavour has its own
// Interface/AddOns; an older layout has the game and its AddOns right in `root`.
struct GameInstall {
  QString root;         // the folder holding the game
  QStringList flavours;  // flavour folders present in root, in a fixed order; empty for the older layout

  // The folder that receives Interface/AddOns for `flavour` (the first flavour when empty or unknown).
  QString addOnsRoot(const QString& flavour = QString()) const;
};

// The flavour folders recognised, in the order they are offered.
const QStringList& knownFlavours();

// `folder` as a game installation when it holds the game: a flavour folder, or the game's program
// (Wow.exe, WowClassic.exe, Wow-64.exe). Nothing otherwise.
std::optional<GameInstall> gameInstallAt(const QString& folder);

// The usual places of the game under `home`, in the order they are tried: Wine prefixes
// (~/.wine), Lutris (~/Games/world-of-warcraft, ~/Games/battlenet), and every Proton prefix of
// Steam (steamapps/compatdata/*/pfx), each with "Program Files (x86)" and "Program Files".
QStringList usualGameFolders(const QString& home);

// The game folder to use when the user has not picked one: the remembered folder when it still
// exists, else the first usual place that holds the game. The remembered folder is a flavour's
// folder or a root; it is returned as its install with that flavour first.
std::optional<GameInstall> findGameInstall(const QString& home);

// The folder remembered from the last successful update (settings file), or "".
QString rememberedGameFolder();
// Remembers `folder` (the game folder an update just completed in). Thread: main.
void rememberGameFolder(const QString& folder);

}  // namespace updater
