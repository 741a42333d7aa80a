// The download plan: one item per add-on file of the add-on list, with its archive URL and its
// destination, and the path rules that keep every file inside the game's add-on folder.
#pragma once

#include "updater/addon_list.h"

#include <QString>

#include <functional>
#include <vector>

namespace updater {

// One archive to download and extract.
struct PlanItem {
  QString folder;           // the add-on folder, as listed
  QString fileName;         // the file path inside it, "\" read as "/"
  QString escapedURL;       // base + folder + "/" + file + ".7z", percent-escaped
  QString destinationPath;  // game folder + "/Interface/AddOns/" + folder + "/" + file + ".7z"
};

// The add-on folder under the game folder.
inline const QString kAddOnsFolder = QStringLiteral("/Interface/AddOns/");

// True when `path` (with "/" separators) is a plain relative path: not empty, not absolute, no
// empty, "." or ".." segment, no control character. Only such paths may name files under the
// add-on folder.
bool isSafeRelativePath(const QString& path);

// Percent-escapes `text` as UTF-8: letters, digits and the punctuation a URL may hold stay,
// everything else becomes "%" and two hexadecimal digits per byte. With `pathPart`, "?" and "#"
// are escaped too (they would end the path).
QString percentEscape(const QString& text, bool pathPart);

// Longest name of one folder or file the file systems of a game folder accept, in bytes (NAME_MAX
// of Linux file systems), and longest whole path (PATH_MAX, its terminating zero excluded).
inline constexpr int kMaxNameBytes = 255;
inline constexpr int kMaxPathBytes = 4095;

// The plan for the add-on list `addons` (the "Crc32" entries), in list order. Entries or files of
// the wrong kind, unsafe folder or file paths, names too long for the file system and files listed
// a second time are skipped with a line through `log`; every item's URL line is logged as it is
// composed. Names in log lines are passed through escapeForLog().
std::vector<PlanItem> composePlan(const AddOnList& addons, const QString& archiveBase,
                                  const QString& gameFolder,
                                  const std::function<void(const QString&)>& log);

// `text` with every control character written as an escape ("\n", "\x1b"...) and every "\" doubled,
// so that a name from a server can never start a log line of its own or look like another.
QString escapeForLog(const QString& text);

// The last "/"-separated component of `path`.
QString lastPathComponent(const QString& path);
// `path` up to and including its last "/".
QString directoryOf(const QString& path);
// `name` without a final ".7z".
QString withoutArchiveSuffix(const QString& name);

}  // namespace updater
