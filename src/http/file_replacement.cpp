// Atomic replacement of a destination file.
#include "http/file_replacement.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace http {
namespace {

// Closes a descriptor on every path out of a scope.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// Creates a new file beside `destination` (O_EXCL, so an existing name, link or not, is never
// opened) and returns its path, or "" with errno set.
QByteArray createBeside(const QByteArray& destination, Descriptor* out) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const QByteArray candidate =
        destination + ".part-" + QByteArray::number(static_cast<qulonglong>(random()), 36);
    out->fd = ::open(candidate.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (out->fd >= 0) return candidate;
    if (errno != EEXIST) return {};
  }
  return {};
}

bool writeAll(int fd, const char* data, ssize_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, static_cast<size_t>(length));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= n;
  }
  return true;
}

}  // namespace

QByteArray nativePath(const QString& path) { return path.toUtf8(); }

QString systemError(int code) { return QString::fromLocal8Bit(std::strerror(code)); }

bool replaceFile(const QString& source, const QString& destination, QString* problem) {
  const QByteArray from = nativePath(source);
  const QByteArray to = nativePath(destination);
  // rename() replaces a link at `to` itself, never its target.
  if (std::rename(from.constData(), to.constData()) == 0) return true;
  if (errno != EXDEV) {
    *problem = systemError(errno);
    return false;
  }
  return copyAndReplaceFile(source, destination, problem);
}

bool copyAndReplaceFile(const QString& source, const QString& destination, QString* problem) {
  const QByteArray from = QFile::encodeName(source);
  const QByteArray to = QFile::encodeName(destination);
  Descriptor in;
  in.fd = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
  if (in.fd < 0) {
    *problem = systemError(errno);
    return false;
  }
  Descriptor out;
  const QByteArray temporary = createBeside(to, &out);
  if (temporary.isEmpty()) {
    *problem = systemError(errno);
    return false;
  }
  auto abandon = [&](int code) {
    *problem = systemError(code);
    ::unlink(temporary.constData());
    return false;
  };
  QByteArray buffer(1 << 20, Qt::Uninitialized);
  for (;;) {
    const ssize_t n = ::read(in.fd, buffer.data(), static_cast<size_t>(buffer.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return abandon(errno);
    if (n == 0) break;
    if (!writeAll(out.fd, buffer.constData(), n)) return abandon(errno ? errno : EIO);
  }
  if (::fsync(out.fd) != 0) return abandon(errno);
  const int closed = ::close(out.fd);
  out.fd = -1;
  if (closed != 0) return abandon(errno);
  if (std::rename(temporary.constData(), to.constData()) != 0) return abandon(errno);
  ::unlink(from.constData());
  return true;
}

}  // namespace http
