// The loop both file-to-file forms share: read a file in fixed blocks, pass each through a
// streaming transformation, and write the result so that the destination only ever appears whole.
#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace compression::detail {

// Size of one read from the source file: memory stays bounded by this whatever the file size.
inline constexpr qsizetype kFileBlockSize = 262144;

// One step of a transformation: `bytes`/`length` is the next block of the source; `last` is true
// exactly once, for a final call with no bytes after the source's end. Stores the step's output
// in `out` (possibly empty). On failure returns false and sets `*error` when `error` is given.
using BlockTransform = std::function<bool(const char* bytes, qsizetype length, bool last,
                                          QByteArray& out, platform::ErrorPtr* error)>;

// Writes a piece of output to the destination; false when it could not be written (the
// transformation then stops and returns false, and transcodeFile reports the write failure).
using OutputWriter = std::function<bool(const char* bytes, qsizetype length)>;
// The same step for transformations whose output for one block may be far larger than the block
// (inflating): the output goes to `write` piece by piece as it is made, so memory stays bounded
// by the piece size rather than by the output.
using StreamingTransform = std::function<bool(const char* bytes, qsizetype length, bool last,
                                              const OutputWriter& write, platform::ErrorPtr* error)>;

// Transforms the file at `source` into `destination`, block by block. `verb` ("Compression" or
// "Decompression") opens every error text. The output is written to a temporary file beside the
// destination that replaces it only when everything succeeded; on failure the temporary file is
// removed, a destination that existed before is left untouched, none is created, and `*error`
// (when given) says why: the destination cannot be created, the source does not exist, the
// source cannot be read (underlying: the file's error), the transformation failed (its own
// error), or the destination cannot be written (underlying: the file's error).
bool transcodeFile(const QString& verb, const QString& source, const QString& destination,
                   const BlockTransform& transform, platform::ErrorPtr* error);
bool transcodeFile(const QString& verb, const QString& source, const QString& destination,
                   const StreamingTransform& transform, platform::ErrorPtr* error);

}  // namespace compression::detail
