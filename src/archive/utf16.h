// UTF-16 to UTF-8 conversion of archive entry names (names are stored as 0-terminated UTF-16LE).
// Invalid surrogates make the conversion fail; the bytes before them are still produced.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/allocator.h"
#include "archive/archive_result.h"

namespace sevenzip {

// Converts `count` units of `src`. With dest null only counts. *outLen receives the bytes produced
// (before the failure point on failure). Returns 1 on success, 0 on an invalid surrogate.
int Utf16ToUtf8(uint8_t* dest, size_t* outLen, const uint16_t* src, size_t count);
// Converts into `buf` (grown with ByteBuffer_EnsureSize to length + 1) and 0-terminates at the
// converted length. Returns 0, 2 (allocation) or 11 (invalid surrogate; the prefix is kept).
ArchiveResult Utf16ToUtf8Buffer(ByteBuffer* buf, const uint16_t* src, size_t count);
// Utf16ToUtf8Buffer over the units before the first 0 unit of `src`.
ArchiveResult Utf16ToUtf8Name(ByteBuffer* buf, const uint16_t* src);

}  // namespace sevenzip
