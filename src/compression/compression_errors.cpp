// Compression errors: code 11 of the request engine's domain, with the failing zlib call's or
// file's own cause underneath.
#include "compression/compression_errors.h"

#include <QFileDevice>

namespace compression {

platform::ErrorPtr makeCompressionError(const QString& description, platform::ErrorPtr underlying) {
  return platform::Error::make(kCompressionErrorDomain, kCompressionErrorCode, description, {},
                               std::move(underlying));
}

platform::ErrorPtr makeZlibError(const QString& verb, int status, const char* zlibMessage) {
  platform::ErrorPtr underlying;
  if (zlibMessage != nullptr) {
    underlying = platform::Error::make(QStringLiteral("ZlibErrorDomain"), status,
                                       QString::fromLatin1(zlibMessage));
  }
  return makeCompressionError(
      QStringLiteral("%1 of data failed with code %2").arg(verb).arg(status), underlying);
}

platform::ErrorPtr makeFileDeviceError(const QFileDevice& file) {
  return platform::Error::make(QStringLiteral("FileSystemErrorDomain"), file.error(),
                               file.errorString());
}

}  // namespace compression
