// Where the updater keeps what it learns between runs: its settings in the XDG config folder, and
// install records, kept copies for rollback and its log in the XDG state folder.
#pragma once

#include <QString>

namespace updater {

// "$XDG_STATE_HOME/AddonsUpdater", or "~/.local/state/AddonsUpdater" when that variable is unset or
// not absolute (the XDG base directory rules). Read from the environment at every call; nothing is
// created. Thread: any.
QString stateFolder();

// The settings file: "AddonsUpdater/AddonsUpdater.ini" in the XDG config folder
// ($XDG_CONFIG_HOME or ~/.config). Thread: any.
QString settingsFile();

// A short stable name for a game folder (hex of a hash of its absolute path), so that each game
// folder has its own records and kept copies. Thread: any.
QString gameFolderKey(const QString& gameFolder);

// Writes `bytes` to `path` atomically: a new file beside it, then renamed over it (a link at `path`
// is replaced, never followed). Creates missing parent folders. Returns false with `problem` set.
bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* problem = nullptr);

}  // namespace updater
