// Putting a finished file at its destination in one step, so that the destination never holds a
// partial file: it keeps its old content until the new one is complete.
#pragma once

#include <QString>

namespace http {

// Moves `source` to `destination`, replacing whatever is there atomically. Within one file
// system this is a rename; across file systems the source is first copied to a temporary file
// beside the destination, then renamed over it. On failure `destination` is untouched, `source`
// still exists, and `problem` says why.
bool replaceFile(const QString& source, const QString& destination, QString* problem);

}  // namespace http
