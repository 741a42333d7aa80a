// File-to-file transformation through a temporary file that is renamed over the destination
// once complete, so a failure never leaves a half-written destination behind.
#include "compression/file_transcoder.h"

#include "compression/compression_errors.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace compression::detail {

bool transcodeFile(const QString& verb, const QString& source, const QString& destination,
                   const BlockTransform& transform, platform::ErrorPtr* error) {
  QByteArray produced;
  const StreamingTransform streaming = [&](const char* bytes, qsizetype length, bool last,
                                           const OutputWriter& write, platform::ErrorPtr* stepError) {
    if (!transform(bytes, length, last, produced, stepError)) return false;
    return produced.isEmpty() || write(produced.constData(), produced.size());
  };
  return transcodeFile(verb, source, destination, streaming, error);
}

bool transcodeFile(const QString& verb, const QString& source, const QString& destination,
                   const StreamingTransform& transform, platform::ErrorPtr* error) {
  auto fail = [error](platform::ErrorPtr failure) {
    if (error != nullptr) *error = std::move(failure);
    return false;
  };
  auto writeFailure = [&](const QSaveFile& output) {
    return fail(makeCompressionError(
        QStringLiteral("%1 of %2 failed because we were unable to write to the destination data "
                       "file at %3")
            .arg(verb, source, destination),
        makeFileDeviceError(output)));
  };

  // Removes its temporary file on every early return (nothing committed).
  QSaveFile output(destination);
  if (!output.open(QIODevice::WriteOnly)) {
    return fail(makeCompressionError(
        QStringLiteral("%1 of %2 failed because we were to create a file at %3")
            .arg(verb, source, destination)));
  }
  if (!QFileInfo::exists(source)) {
    return fail(makeCompressionError(
        QStringLiteral("%1 of %2 failed the file does not exist").arg(verb, source)));
  }
  QFile input(source);
  auto readFailure = [&] {
    return fail(makeCompressionError(
        QStringLiteral("%1 of %2 failed because we were unable to read from the source data file")
            .arg(verb, source),
        makeFileDeviceError(input)));
  };
  if (!input.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) return readFailure();

  QByteArray block(kFileBlockSize, Qt::Uninitialized);
  bool writeFailed = false;
  const OutputWriter write = [&output, &writeFailed](const char* bytes, qsizetype length) {
    if (output.write(bytes, length) == length) return true;
    writeFailed = true;
    return false;
  };
  for (;;) {
    const qint64 got = input.read(block.data(), kFileBlockSize);
    if (got < 0) return readFailure();
    // The end shows only as a read of nothing: a short read is not taken for the end, so sources
    // whose size is a whole number of blocks (or that deliver short reads) end the same way.
    const bool last = got == 0;
    if (!transform(block.constData(), got, last, write, error)) {
      return writeFailed ? writeFailure(output) : false;
    }
    if (last) break;
  }
  input.close();
  if (!output.commit()) return writeFailure(output);
  return true;
}

}  // namespace compression::detail
