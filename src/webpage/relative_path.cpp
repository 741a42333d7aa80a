// Relative paths between two absolute file paths, component by component.
#include "webpage/relative_path.h"

#include <QStringList>

namespace webpage {
namespace {

// The path's components; the leading "/" counts as one, so two absolute paths line up.
QStringList components(const QString& path) {
  QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
  if (path.startsWith(QLatin1Char('/'))) parts.prepend(QStringLiteral("/"));
  return parts;
}

}  // namespace

QString relativePathTo(const QString& toPath, const QString& fromPath) {
  const QStringList to = components(toPath);
  const QStringList from = components(fromPath);
  for (qsizetype j = 0; j < from.size(); ++j) {
    if (j >= to.size() || from[j] == to[j]) continue;
    QStringList parts;
    // The last component of the from-path is the file itself, not a folder to leave.
    for (qsizetype k = j + 1; k < from.size(); ++k) parts.append(QStringLiteral(".."));
    for (qsizetype k = j; k < to.size(); ++k) parts.append(to[k]);
    return parts.join(QLatin1Char('/'));
  }
  return {};
}

}  // namespace webpage
