// Kept copies for undoing an update: before a file is replaced its installed copy is kept (a hard
// link, or a copy across file systems) in a dated folder of the state folder; files an update
// created are noted. The last few updates are kept per game folder; restoring puts back the newest.
#pragma once

#include <QString>
#include <QStringList>

namespace updater {

// How many updates' kept copies stay per game folder.
inline constexpr int kKeptUpdates = 3;

// The kept copies of one update in progress. Thread: main (one update at a time).
class UpdateBackup {
 public:
  // `gameFolder` is the folder that holds Interface/AddOns; nothing is created until a file is kept.
  explicit UpdateBackup(QString gameFolder);

  // Called before `installedPath` (a file below the game folder) is replaced: keeps the installed
  // copy when there is one, otherwise notes that the update creates the file. False (with `problem`)
  // when a copy could not be kept; the caller should then leave the file alone.
  bool keep(const QString& installedPath, QString* problem);
  // Ends the update: writes the list of kept and created files, or removes the dated folder when
  // the update replaced and created nothing; then removes the oldest updates beyond kKeptUpdates.
  void finish();

  int keptCount() const { return kept_.size(); }
  int createdCount() const { return created_.size(); }

 private:
  QString gameFolder_;
  QString folder_;     // state/backups/<key>/<date>
  QStringList kept_;     // relative paths with a kept copy
  QStringList created_;  // relative paths the update created
};

// The dated folders of kept copies for `gameFolder`, newest first.
QStringList backupFolders(const QString& gameFolder);

struct RestoreResult {
  bool found = false;     // there was an update to restore
  QStringList restored;   // relative paths put back (or removed, for created files)
  QStringList failed;     // relative paths that could not be restored, with why after " : "
};

// Restores the newest kept update of `gameFolder`: every kept file put back atomically (a new file
// beside it, renamed over it), every created file removed. The dated folder is removed when all
// went well, so that the next restore goes one update further back.
RestoreResult restoreLastUpdate(const QString& gameFolder);

}  // namespace updater
