// The buffered "look" input stream through which all header parsing and decoding read an archive:
// Look shows buffered bytes without consuming them, Skip consumes them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/archive_result.h"
#include "archive/file.h"

namespace sevenzip {

// Look: makes up to *size bytes available without consuming them; *buf points at them and *size
// holds how many (0 only at the end of input). Skip: consumes `count` of the bytes Look made
// available. Read: copies up to *size bytes and consumes them. Seek: repositions (as
// SeekableInStream::Seek) and discards buffered bytes.
class LookAheadStream {
 public:
  virtual ~LookAheadStream() = default;
  virtual ArchiveResult Look(const void** buf, size_t* size) = 0;
  virtual ArchiveResult Skip(size_t count) = 0;
  virtual ArchiveResult Read(void* data, size_t* size) = 0;
  virtual ArchiveResult Seek(int64_t* pos, int origin) = 0;
};

inline constexpr size_t kLookBufferSize = 1 << 14;  // 16384 bytes per refill

// The look stream over a SeekableInStream (not owned), with "exact" Look: the buffer is refilled
// only when empty, by one source Read of at most kLookBufferSize bytes.
// Invariant: readPos <= validCount; the buffer is empty when they are equal.
class LookAheadReader final : public LookAheadStream {
 public:
  SeekableInStream* source = nullptr;  // where bytes come from
  size_t readPos = 0;                  // next unconsumed byte in buffer
  size_t validCount = 0;               // bytes of buffer holding data
  uint8_t buffer[kLookBufferSize];     // the look-ahead bytes

  ArchiveResult Look(const void** buf, size_t* size) override;
  ArchiveResult Skip(size_t count) override;
  ArchiveResult Read(void* data, size_t* size) override;
  ArchiveResult Seek(int64_t* pos, int origin) override;
};

// Binds the reader to `source` (exact Look is the only mode) and empties it.
void LookAheadReader_Bind(LookAheadReader* reader, SeekableInStream* source);
void LookAheadReader_Init(LookAheadReader* reader);

// Seeks to the absolute `offset`.
ArchiveResult LookAheadStream_SeekTo(LookAheadStream* stream, uint64_t offset);
// Reads exactly `size` bytes; a Read error is returned, a Read delivering nothing gives shortResult.
ArchiveResult LookAheadStream_ReadExact(LookAheadStream* stream, void* data, size_t size,
                                        ArchiveResult shortResult);
// LookAheadStream_ReadExact with ResInputEof for a short read.
ArchiveResult LookAheadStream_Read(LookAheadStream* stream, void* data, size_t size);

}  // namespace sevenzip
