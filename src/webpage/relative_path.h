// The relative path from a saved document to a file saved beside it.
#pragma once

#include <QString>

namespace webpage {

// The path that leads from the file `fromPath` to `toPath`, both absolute: one ".." per folder of
// `fromPath` below the first component where the two differ, then the rest of `toPath`
// ("/a/b/page.html" to "/a/c/x.png" gives "../c/x.png"). Empty when no component of `fromPath`
// differs from `toPath` (a component past the end of `toPath` does not count as different).
QString relativePathTo(const QString& toPath, const QString& fromPath);

}  // namespace webpage
