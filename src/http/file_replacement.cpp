// Atomic replacement of a destination file.
#include "http/file_replacement.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace http {

bool replaceFile(const QString& source, const QString& destination, QString* problem) {
  const QByteArray from = QFile::encodeName(source);
  const QByteArray to = QFile::encodeName(destination);
  if (std::rename(from.constData(), to.constData()) == 0) return true;
  if (errno != EXDEV) {
    *problem = QString::fromLocal8Bit(std::strerror(errno));
    return false;
  }
  // Another file system: copy beside the destination, then rename over it.
  QFile in(source);
  if (!in.open(QIODevice::ReadOnly)) {
    *problem = in.errorString();
    return false;
  }
  QSaveFile out(destination);
  if (!out.open(QIODevice::WriteOnly)) {
    *problem = out.errorString();
    return false;
  }
  QByteArray buffer(1 << 20, Qt::Uninitialized);
  for (;;) {
    const qint64 n = in.read(buffer.data(), buffer.size());
    if (n < 0) {
      *problem = in.errorString();
      out.cancelWriting();
      return false;
    }
    if (n == 0) break;
    if (out.write(buffer.constData(), n) != n) {
      *problem = out.errorString();
      out.cancelWriting();
      return false;
    }
  }
  if (!out.commit()) {
    *problem = out.errorString();
    return false;
  }
  in.close();
  QFile::remove(source);
  return true;
}

}  // namespace http
