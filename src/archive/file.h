// The file layer of the 7z decoder (a thin wrapper over stdio) and the seekable input streams:
// one over a File, one over a memory block.
#pragma once

#include <cstdint>
#include <cstdio>

#include "archive/archive_result.h"

namespace sevenzip {

// Seek origins of every stream.
inline constexpr int kSeekSet = 0;
inline constexpr int kSeekCur = 1;
inline constexpr int kSeekEnd = 2;

// One open file: a stdio handle, null when closed.
struct File {
  std::FILE* file = nullptr;
};

// Opens `path` with "rb" (reading) or "wb+" (writing: create or truncate, read and write).
// Returns 0, or errno on failure.
int File_Open(File* f, const char* path, bool writing);
int File_OpenForRead(File* f, const char* path);
int File_OpenForWrite(File* f, const char* path);
// Converts a 0-terminated UTF-16 name to UTF-8 and opens it for writing; a conversion failure
// counts as an open failure (returns EINVAL).
int File_OpenForWriteUtf16(File* f, const uint16_t* name);
// Closes the file (nothing when closed). A failed close is returned and the handle kept.
int File_Close(File* f);
// Reads up to *size bytes; *size becomes the count read. A short count returns the stream's error
// indicator (0 when it is only the end of the file). Size 0 returns 0 without touching the file.
int File_Read(File* f, void* data, size_t* size);
// Writes up to *size bytes; *size becomes the count written; same pattern as File_Read.
int File_Write(File* f, const void* data, size_t* size);
// Seeks by *pos from `origin` (kSeekSet, kSeekCur, kSeekEnd; anything else returns 1) and stores
// the resulting position in *pos. Returns the seek's result (0, or -1 on failure).
int File_Seek(File* f, int64_t* pos, int origin);

// A seekable source of bytes. Read delivers up to *size bytes (0 only at the end) and stores the
// count; Seek moves by *pos from `origin` and stores the new absolute position in *pos.
class SeekableInStream {
 public:
  virtual ~SeekableInStream() = default;
  virtual ArchiveResult Read(void* data, size_t* size) = 0;
  virtual ArchiveResult Seek(int64_t* pos, int origin) = 0;
};

// A seekable stream over an open File (not owned). Read errors become ResReadError; seek results
// pass unchanged.
class FileInStream final : public SeekableInStream {
 public:
  File file;
  ArchiveResult Read(void* data, size_t* size) override;
  ArchiveResult Seek(int64_t* pos, int origin) override;
};

// A seekable stream over a memory block (not owned), used for archives already in memory.
// Seeking outside [0, size] fails with -1 and keeps the position.
class MemInStream final : public SeekableInStream {
 public:
  MemInStream(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  ArchiveResult Read(void* data, size_t* size) override;
  ArchiveResult Seek(int64_t* pos, int origin) override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace sevenzip
