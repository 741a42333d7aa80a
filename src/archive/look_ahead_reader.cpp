// The look-ahead reader: a 16 KiB buffer in front of a seekable stream, refilled only when empty.
// Reads that find the buffer empty go straight to the source.
#include "archive/look_ahead_reader.h"

#include <cstring>

namespace sevenzip {

void LookAheadReader_Bind(LookAheadReader* reader, SeekableInStream* source) {
  reader->source = source;
  LookAheadReader_Init(reader);
}

void LookAheadReader_Init(LookAheadReader* reader) {
  reader->readPos = 0;
  reader->validCount = 0;
}

ArchiveResult LookAheadReader::Look(const void** buf, size_t* size) {
  ArchiveResult res = ResOk;
  if (readPos == validCount && *size != 0) {
    readPos = 0;
    validCount = 0;
    size_t want = *size < kLookBufferSize ? *size : kLookBufferSize;
    res = source->Read(buffer, &want);
    validCount = want;
  }
  size_t left = validCount - readPos;
  if (*size > left) *size = left;
  *buf = buffer + readPos;
  return res;
}

ArchiveResult LookAheadReader::Skip(size_t count) {
  // Callers skip only what Look showed; clamp so a faulty caller cannot break the invariant.
  size_t left = validCount - readPos;
  readPos += count < left ? count : left;
  return ResOk;
}

ArchiveResult LookAheadReader::Read(void* data, size_t* size) {
  if (readPos == validCount) return source->Read(data, size);
  size_t left = validCount - readPos;
  if (*size > left) *size = left;
  std::memcpy(data, buffer + readPos, *size);
  readPos += *size;
  return ResOk;
}

ArchiveResult LookAheadReader::Seek(int64_t* pos, int origin) {
  readPos = 0;
  validCount = 0;
  return source->Seek(pos, origin);
}

ArchiveResult LookAheadStream_SeekTo(LookAheadStream* stream, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return ResInputEof;
  int64_t pos = static_cast<int64_t>(offset);
  return stream->Seek(&pos, kSeekSet);
}

ArchiveResult LookAheadStream_ReadExact(LookAheadStream* stream, void* data, size_t size,
                                        ArchiveResult shortResult) {
  auto* out = static_cast<uint8_t*>(data);
  while (size != 0) {
    size_t got = size;
    ArchiveResult res = stream->Read(out, &got);
    if (res != ResOk) return res;
    if (got == 0) return shortResult;
    out += got;
    size -= got;
  }
  return ResOk;
}

ArchiveResult LookAheadStream_Read(LookAheadStream* stream, void* data, size_t size) {
  return LookAheadStream_ReadExact(stream, data, size, ResInputEof);
}

}  // namespace sevenzip
