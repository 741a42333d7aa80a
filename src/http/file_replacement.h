// Putting a finished file at its destination in one step, so that the destination never holds a
// partial file: it keeps its old content until the new one is complete.
#pragma once

#include <QByteArray>
#include <QString>

namespace http {

// `path` as the system's file calls take it: UTF-8 here (what QFile::encodeName gives on this
// system, at a third of its cost; every download opens and moves its files by name).
QByteArray nativePath(const QString& path);
// The system's text for the error number `code` (errno).
QString systemError(int code);

// Moves `source` to `destination`, replacing whatever is there atomically. Within one file
// system this is a rename; across file systems the source is first copied to a new temporary
// file beside the destination, then renamed over it. Either way a symbolic link at `destination`
// is replaced by a regular file, never followed (links among the destination's parent folders
// are followed as usual). On failure `destination` is untouched, `source` still exists, and
// `problem` says why.
bool replaceFile(const QString& source, const QString& destination, QString* problem);

// The cross-file-system half of replaceFile(): copies `source` into a new file beside
// `destination` (created exclusively, never through a link), renames it over `destination`, then
// removes `source`. Same outcomes as replaceFile().
bool copyAndReplaceFile(const QString& source, const QString& destination, QString* problem);

}  // namespace http
