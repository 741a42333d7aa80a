// The stdio file layer and the file and memory input streams of the 7z decoder.
// Seek positions are 64-bit throughout (fseeko/ftello).
#include "archive/file.h"

#include <cerrno>
#include <cstring>

#include "archive/allocator.h"
#include "archive/utf16.h"

namespace sevenzip {

int File_Open(File* f, const char* path, bool writing) {
  f->file = std::fopen(path, writing ? "wb+" : "rb");
  if (f->file == nullptr) return errno != 0 ? errno : EIO;
  // Reads go through the look-ahead buffer and entries are written in one piece: a stdio buffer
  // would only add a copy (and a stat call) per file.
  std::setvbuf(f->file, nullptr, _IONBF, 0);
  return 0;
}

int File_OpenForRead(File* f, const char* path) { return File_Open(f, path, false); }
int File_OpenForWrite(File* f, const char* path) { return File_Open(f, path, true); }

int File_OpenForWriteUtf16(File* f, const uint16_t* name) {
  ByteBuffer buf;
  int res = Utf16ToUtf8Name(&buf, name);
  if (res == 0) res = File_OpenForWrite(f, reinterpret_cast<const char*>(buf.data));
  else res = EINVAL;
  ByteBuffer_Free(&buf, &gDefaultAllocator);
  return res;
}

int File_Close(File* f) {
  if (f->file == nullptr) return 0;
  if (std::fclose(f->file) != 0) return errno != 0 ? errno : EIO;
  f->file = nullptr;
  return 0;
}

int File_Read(File* f, void* data, size_t* size) {
  size_t want = *size;
  if (want == 0) return 0;
  *size = std::fread(data, 1, want, f->file);
  if (*size == want) return 0;
  return std::ferror(f->file);
}

int File_Write(File* f, const void* data, size_t* size) {
  size_t want = *size;
  if (want == 0) return 0;
  *size = std::fwrite(data, 1, want, f->file);
  if (*size == want) return 0;
  int err = std::ferror(f->file);
  return err != 0 ? err : EIO;
}

int File_Seek(File* f, int64_t* pos, int origin) {
  int whence;
  switch (origin) {
    case kSeekSet: whence = SEEK_SET; break;
    case kSeekCur: whence = SEEK_CUR; break;
    case kSeekEnd: whence = SEEK_END; break;
    default: return 1;
  }
  int res = fseeko(f->file, static_cast<off_t>(*pos), whence);
  if (res == 0 && whence == SEEK_SET) return 0;  // the position is the one asked for
  *pos = static_cast<int64_t>(ftello(f->file));
  return res;
}

ArchiveResult FileInStream::Read(void* data, size_t* size) {
  return File_Read(&file, data, size) != 0 ? ResReadError : ResOk;
}

ArchiveResult FileInStream::Seek(int64_t* pos, int origin) { return File_Seek(&file, pos, origin); }

ArchiveResult MemInStream::Read(void* data, size_t* size) {
  size_t n = size_ - pos_;
  if (n > *size) n = *size;
  if (n != 0) std::memcpy(data, data_ + pos_, n);
  pos_ += n;
  *size = n;
  return ResOk;
}

ArchiveResult MemInStream::Seek(int64_t* pos, int origin) {
  int64_t base;
  switch (origin) {
    case kSeekSet: base = 0; break;
    case kSeekCur: base = static_cast<int64_t>(pos_); break;
    case kSeekEnd: base = static_cast<int64_t>(size_); break;
    default: return 1;
  }
  // Overflow-safe: both operands are far below 2^62 for any real block.
  if (*pos < -base || *pos > static_cast<int64_t>(size_) - base) {
    *pos = static_cast<int64_t>(pos_);
    return -1;
  }
  pos_ = static_cast<size_t>(base + *pos);
  *pos = static_cast<int64_t>(pos_);
  return ResOk;
}

}  // namespace sevenzip
