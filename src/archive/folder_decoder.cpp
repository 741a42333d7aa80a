// Folder decoding into the final output buffer and the dictionary cache (heap or mapped file).
// Decoders read the archive through Look/Skip so the compressed bytes are never copied twice.
#include "archive/folder_decoder.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "archive/lzma2_decoder.h"
#include "archive/lzma_decoder.h"
#include "archive/unique_name.h"

namespace sevenzip {
namespace {

bool isMainMethod(uint64_t m) { return m == kMethodCopy || m == kMethodLzma || m == kMethodLzma2; }

bool isSupportedCoder(const CoderInfo& c) {
  return c.numInStreams == 1 && c.numOutStreams == 1 && isMainMethod(c.methodId);
}

// Of the folder shapes of the format (one main coder; a main coder followed by an x86 or ARM branch
// filter; the four-coder BCJ2 arrangement) only the first decodes: no filter is implemented, so
// filter folders end as unsupported, like every other shape, before anything is decoded.
bool isDecodableFolder(const Folder* f) {
  return f->numCoders == 1 && isSupportedCoder(f->coders[0]) && f->numPackStreams == 1 && f->packStreams[0] == 0 &&
         f->numBindPairs == 0;
}

// Scratch bytes a decoder may write beyond its output limit (match copies in 8-byte pieces).
constexpr size_t kDecoderScratch = 64;

// The output limit of the next decode step: the whole output, or with a reservation the next
// step of it, reserved first. Sets *limit; returns 0 or 2.
ArchiveResult nextLimit(const OutputReserve* reserve, size_t pos, size_t outSize, size_t* limit) {
  *limit = outSize;
  if (reserve == nullptr) return ResOk;
  if (outSize - pos > kReserveStep) *limit = pos + kReserveStep;
  size_t end = outSize - *limit > kDecoderScratch ? *limit + kDecoderScratch : outSize;
  return reserve->ensure(reserve->context, end) ? ResOk : ResOutOfMemory;
}

// Stored data: the stream was just positioned, so its buffer is empty and the read goes straight
// from the file into the output, without a copy through the look-ahead buffer.
ArchiveResult decodeCopy(uint64_t packSize, LookAheadStream* stream, uint8_t* out, size_t outSize,
                         const OutputReserve* reserve) {
  if (packSize != outSize) return ResDataError;
  for (size_t pos = 0; pos < outSize;) {
    size_t limit;
    ArchiveResult res = nextLimit(reserve, pos, outSize, &limit);
    if (res == ResOk) res = LookAheadStream_Read(stream, out + pos, limit - pos);
    if (res != ResOk) return res;
    pos = limit;
  }
  return ResOk;
}

// Drives an LZMA or LZMA2 decoder over the pack stream. The output being full does not end the
// loop while the decoder still takes input: the last bytes of a stream (the LZMA2 end byte, the
// end of an LZMA end marker) may arrive in the next piece of the look buffer. Success needs the
// whole output produced, every pack byte consumed, and an accepted final status: the end seen
// (LZMA end marker, LZMA2 end byte) or, for LZMA only, the range coder at rest at the last byte.
// With a reservation the output limit advances step by step; the stream must end exactly at the
// output size only in the last step.
template <typename Decode>
ArchiveResult decodeStream(LzmaDecoder* lz, uint64_t packSize, LookAheadStream* stream, size_t outSize,
                           const OutputReserve* reserve, Decode decode, bool acceptMaybeFinished) {
  uint64_t packLeft = packSize;
  size_t limit = 0;
  for (;;) {
    ArchiveResult res;
    if (limit == lz->dictPos && limit < outSize && (res = nextLimit(reserve, limit, outSize, &limit)) != ResOk)
      return res;
    const void* buf;
    size_t lookahead = kDecodeLookSize;
    if (lookahead > packLeft) lookahead = static_cast<size_t>(packLeft);
    if ((res = stream->Look(&buf, &lookahead)) != ResOk) return res;
    size_t dictBefore = lz->dictPos;
    size_t inProcessed = lookahead;
    LzmaStatus status;
    res = decode(limit, static_cast<const uint8_t*>(buf), &inProcessed, limit == outSize ? LzmaFinishEnd : LzmaFinishAny,
                 &status);
    packLeft -= inProcessed;
    if (res != ResOk) return res;
    bool full = lz->dictPos == outSize;
    if (status == LzmaStatusFinishedWithMark) return full && packLeft == 0 ? ResOk : ResDataError;
    if (acceptMaybeFinished && full && packLeft == 0 && status == LzmaStatusMaybeFinishedWithoutMark) return ResOk;
    if (inProcessed == 0 && lz->dictPos == dictBefore) return ResDataError;  // no progress: short or corrupt
    if ((res = stream->Skip(inProcessed)) != ResOk) return res;
  }
}

ArchiveResult decodeLzma(const CoderInfo& coder, uint64_t packSize, LookAheadStream* stream, uint8_t* out,
                         size_t outSize, const Allocator* alloc, const OutputReserve* reserve) {
  LzmaDecoder dec;
  ArchiveResult res = LzmaDecoder_AllocateProbs(&dec, coder.props.data, coder.props.size, alloc);
  if (res != ResOk) return res;
  dec.dict = out;
  dec.dictCapacity = outSize;
  LzmaDecoder_Init(&dec);
  res = decodeStream(
      &dec, packSize, stream, outSize, reserve,
      [&](size_t limit, const uint8_t* src, size_t* len, LzmaFinishMode finish, LzmaStatus* st) {
        return LzmaDecoder_DecodeToDict(&dec, limit, src, len, finish, st);
      },
      true);
  LzmaDecoder_FreeProbs(&dec, alloc);
  return res;
}

ArchiveResult decodeLzma2(const CoderInfo& coder, uint64_t packSize, LookAheadStream* stream, uint8_t* out,
                          size_t outSize, const Allocator* alloc, const OutputReserve* reserve) {
  if (coder.props.size != 1) return ResDataError;
  Lzma2Decoder dec;
  ArchiveResult res = Lzma2Decoder_AllocateProbs(&dec, coder.props.data[0], alloc);
  if (res != ResOk) return res;
  dec.decoder.dict = out;
  dec.decoder.dictCapacity = outSize;
  Lzma2Decoder_Init(&dec);
  res = decodeStream(
      &dec.decoder, packSize, stream, outSize, reserve,
      [&](size_t limit, const uint8_t* src, size_t* len, LzmaFinishMode finish, LzmaStatus* st) {
        return Lzma2Decoder_DecodeToDict(&dec, limit, src, len, finish, st);
      },
      false);
  LzmaDecoder_FreeProbs(&dec.decoder, alloc);
  return res;
}

uint32_t crcOf(const uint8_t* data, size_t size) {
  uLong crc = crc32(0, nullptr, 0);
  while (size != 0) {  // crc32 takes 32-bit lengths
    uInt n = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
    crc = crc32(crc, data, n);
    data += n;
    size -= n;
  }
  return static_cast<uint32_t>(crc);
}

constexpr size_t kHugePageSize = 2u << 20;

// Maps `size` bytes of `fd` shared, at a 2 MiB boundary and with huge pages requested where the
// file system offers them: decoding reads matches from far back, and with 4 KiB pages the TLB
// misses of those reads (and the page faults) cost about a third of the decoding time.
void* mapAligned(int fd, size_t size) {
  if (size <= SIZE_MAX - kHugePageSize) {
    void* area = mmap(nullptr, size + kHugePageSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (area != MAP_FAILED) {
      auto* start = static_cast<uint8_t*>(area);
      auto* aligned = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(start) + kHugePageSize - 1) &
                                                 ~static_cast<uintptr_t>(kHugePageSize - 1));
      void* p = mmap(aligned, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0);
      if (p != MAP_FAILED) {
        // Give back the parts of the reservation around the mapping.
        if (aligned > start) munmap(start, static_cast<size_t>(aligned - start));
        size_t tail = static_cast<size_t>(start + size + kHugePageSize - (aligned + size));
        if (tail != 0) munmap(aligned + size, tail);
        madvise(p, size, MADV_HUGEPAGE);  // advice only: failure changes nothing
        return p;
      }
      munmap(area, size + kHugePageSize);
    }
  }
  return mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
}

}  // namespace

ArchiveResult Folder_Decode(const Folder* folder, const uint64_t* packSizes, uint32_t numPackSizes,
                            LookAheadStream* stream, uint64_t startPos, uint8_t* out, size_t outSize,
                            const Allocator* alloc, const OutputReserve* reserve) {
  if (!isDecodableFolder(folder) || numPackSizes == 0) return ResUnsupported;
  const CoderInfo& coder = folder->coders[0];
  ArchiveResult res = LookAheadStream_SeekTo(stream, startPos);
  if (res != ResOk) return res;
  switch (coder.methodId) {
    case kMethodCopy: return decodeCopy(packSizes[0], stream, out, outSize, reserve);
    case kMethodLzma: return decodeLzma(coder, packSizes[0], stream, out, outSize, alloc, reserve);
    case kMethodLzma2: return decodeLzma2(coder, packSizes[0], stream, out, outSize, alloc, reserve);
    default: return ResUnsupported;
  }
}

void FolderCache_Init(FolderCache* cache, const Allocator* alloc) {
  cache->alloc = alloc;
  cache->folderIndex = kNoFolder;
  cache->outBuffer = nullptr;
  cache->outBufferSize = 0;
  cache->entryOffset = 0;
  cache->entrySize = 0;
  cache->mapFile = nullptr;
  cache->mapSize = 0;
  cache->mapReserved = 0;
}

void FolderCache_Unmap(FolderCache* cache) {
  if (cache->mapFilename == nullptr || cache->outBuffer == nullptr) return;
  if (munmap(cache->outBuffer, cache->mapSize) != 0) std::abort();  // cannot happen for our own mapping
  cache->outBuffer = nullptr;
  cache->mapSize = 0;
}

void FolderCache_Free(FolderCache* cache) {
  if (cache->mapFile != nullptr) {
    FolderCache_Unmap(cache);
    std::fclose(cache->mapFile);
    unlink(cache->mapPath.c_str());
    cache->mapPath.clear();
  } else if (cache->alloc != nullptr) {
    cache->alloc->Free(cache->alloc, cache->outBuffer);
  }
  FolderCache_Init(cache, cache->alloc);
}

namespace {

constexpr int kCacheCreateAttempts = 8;  // names tried after a clash before giving up

// Creates a new file for the cache, private to this call: another extraction (thread or process)
// that chose the same name keeps its own file, and a name that exists is never opened or truncated,
// so no mapping of someone else's file can shrink under us.
int createCacheFile(const char* name, std::string* created) {
  std::string path = name;
  for (int attempt = 0; attempt < kCacheCreateAttempts; attempt++) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      *created = path;
      return fd;
    }
    if (errno != EEXIST) return -1;
    path = std::string(name) + "." + uniqueToken();
  }
  return -1;
}

}  // namespace

bool FolderCache_Map(FolderCache* cache) {
  std::string path;
  int fd = createCacheFile(cache->mapFilename, &path);
  if (fd < 0) return false;
  std::FILE* f = fdopen(fd, "wb+");
  if (f == nullptr) {
    close(fd);
    unlink(path.c_str());
    return false;
  }
  auto fail = [&] {
    std::fclose(f);
    unlink(path.c_str());
    return false;
  };
  size_t size = cache->outBufferSize;
  if (size > SIZE_MAX - (kCachePageSize - 1)) return fail();
  size_t mapSize = (size + kCachePageSize - 1) & ~(kCachePageSize - 1);
  // The file gets its full length now but disk blocks only as decoding reaches them
  // (FolderCache_Reserve): a folder that declares gigabytes and ends early costs no disk.
  if (mapSize > static_cast<size_t>(INT64_MAX) || ftruncate(fd, static_cast<off_t>(mapSize)) != 0) return fail();
  void* p = mapAligned(fd, mapSize);
  if (p == MAP_FAILED) return fail();
  cache->mapPath = path;
  cache->mapReserved = 0;
  cache->mapFile = f;
  cache->mapSize = mapSize;
  cache->outBuffer = static_cast<uint8_t*>(p);
  return true;
}

bool FolderCache_Reserve(FolderCache* cache, size_t end) {
  if (cache->mapFile == nullptr) return true;  // heap buffers are all there
  if (end > cache->mapSize) end = cache->mapSize;
  if (end <= cache->mapReserved) return true;
  size_t target = (end + kCachePageSize - 1) & ~(kCachePageSize - 1);
  if (target > cache->mapSize) target = cache->mapSize;
  // Blocks that cannot be had now fail the extraction instead of faulting a write later.
  if (posix_fallocate(fileno(cache->mapFile), static_cast<off_t>(cache->mapReserved),
                      static_cast<off_t>(target - cache->mapReserved)) != 0)
    return false;
  cache->mapReserved = target;
  return true;
}

ArchiveResult Archive_Extract(const Archive* db, LookAheadStream* stream, uint32_t fileIndex, FolderCache* cache,
                              const Allocator* mainAlloc, const Allocator* tempAlloc) {
  (void)mainAlloc;
  if (fileIndex >= db->core.numFiles) return ResFail;
  uint32_t folderIndex = db->fileFolder[fileIndex];
  cache->entryOffset = 0;
  cache->entrySize = 0;
  if (folderIndex == kNoFolder) {
    FolderCache_Free(cache);
    cache->folderIndex = kNoFolder;
    return ResOk;
  }
  const Folder* folder = &db->core.folders[folderIndex];
  // Opening guarantees every folder at least one pack stream of the list; never read past it.
  if (folder->numPackStreams == 0 || db->folderFirstPackStream[folderIndex] >= db->core.numPackStreams)
    return ResArchiveError;
  if (cache->outBuffer == nullptr || cache->folderIndex != folderIndex) {
    uint64_t unpackSize = Folder_GetUnpackSize(folder);
    uint64_t start = Archive_GetFolderStreamPos(db, folderIndex, 0);
    FolderCache_Free(cache);
    cache->folderIndex = folderIndex;
    ArchiveResult res = LookAheadStream_SeekTo(stream, start);
    if (res != ResOk) return res;
    if (unpackSize > SIZE_MAX) return ResOutOfMemory;
    cache->outBufferSize = static_cast<size_t>(unpackSize);
    if (unpackSize != 0) {
      if (cache->mapFilename != nullptr && unpackSize >= kCacheMapThreshold) {
        if (!FolderCache_Map(cache)) cache->outBuffer = nullptr;
      } else {
        cache->outBuffer = static_cast<uint8_t*>(cache->alloc->Alloc(cache->alloc, cache->outBufferSize));
      }
      if (cache->outBuffer == nullptr) return ResOutOfMemory;
    }
    uint32_t firstPack = db->folderFirstPackStream[folderIndex];
    OutputReserve reserve{[](void* c, size_t end) { return FolderCache_Reserve(static_cast<FolderCache*>(c), end); },
                          cache};
    res = Folder_Decode(folder, db->core.packSizes + firstPack, db->core.numPackStreams - firstPack, stream, start,
                        cache->outBuffer, cache->outBufferSize, tempAlloc, cache->mapFile != nullptr ? &reserve : nullptr);
    if (res == ResOk && folder->unpackCrcDefined && crcOf(cache->outBuffer, cache->outBufferSize) != folder->unpackCrc)
      res = ResDataError;
    if (res != ResOk) {
      // Never hand out a partly decoded folder: the next request decodes again.
      FolderCache_Free(cache);
      return res;
    }
  }
  uint64_t offset = db->fileOffsets[fileIndex];
  const FileRecord* file = &db->core.files[fileIndex];
  if (offset > cache->outBufferSize || file->size > cache->outBufferSize - offset) return ResFail;
  cache->entryOffset = static_cast<size_t>(offset);
  cache->entrySize = static_cast<size_t>(file->size);
  // A single-stream folder whose CRC was just checked needs no second pass.
  bool checkedWithFolder = folder->unpackCrcDefined && folder->numUnpackStreams == 1 && file->crc == folder->unpackCrc;
  if (file->crcDefined && !checkedWithFolder && crcOf(cache->outBuffer + offset, cache->entrySize) != file->crc)
    return ResDataError;
  return ResOk;
}

}  // namespace sevenzip
