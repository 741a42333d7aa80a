// The errors the compression classes hand out: the request engine's domain with code 11, for
// zlib failures and for the file-to-file forms' file problems.
#pragma once

#include "platform/error.h"

#include <QString>

class QFileDevice;

namespace compression {

// The request engine's error domain; compression failures carry code 11 in it.
inline const QString kCompressionErrorDomain = QStringLiteral("HTTPRequestErrorDomain");
inline constexpr int kCompressionErrorCode = 11;

// A compression error (domain above, code 11) with `description` as its localized description.
platform::ErrorPtr makeCompressionError(const QString& description,
                                        platform::ErrorPtr underlying = nullptr);

// The error of a zlib call: "<verb> of data failed with code <status>" (verb "Compression" or
// "Decompression"); zlib's own message, when it gave one, becomes the underlying error.
platform::ErrorPtr makeZlibError(const QString& verb, int status, const char* zlibMessage);

// The state of a file that failed to open, read or write, as an underlying error
// ("FileSystemErrorDomain", the device's error number and message).
platform::ErrorPtr makeFileDeviceError(const QFileDevice& file);

}  // namespace compression
