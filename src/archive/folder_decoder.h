// Folder decoding: a folder's whole output is decoded into one buffer (Copy, LZMA or LZMA2), and
// the folder cache keeps the last decoded folder, in a memory-mapped file when it is large, so
// that the files of one folder are written from one decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "archive/archive_database.h"

namespace sevenzip {

inline constexpr uint64_t kMethodCopy = 0x00;
inline constexpr uint64_t kMethodLzma = 0x030101;
inline constexpr uint64_t kMethodLzma2 = 0x21;
inline constexpr size_t kCachePageSize = 4096;
inline constexpr uint64_t kCacheMapThreshold = 0x100000;  // folders of 1 MiB or more are mapped
inline constexpr size_t kDecodeLookSize = 1 << 18;       // bytes asked of Look per decode step
inline constexpr size_t kReserveStep = 8u << 20;          // output decoded per disk reservation of a cache file

// The decoded output of at most one folder, for one extraction run.
struct FolderCache {
  const Allocator* alloc = nullptr;  // main allocator for heap copies of decoded folders
  uint32_t folderIndex = kNoFolder;  // folder whose output is held, kNoFolder for none
  uint8_t* outBuffer = nullptr;      // the decoded folder (heap block or mapping), null when none
  size_t outBufferSize = 0;          // the folder's unpack size
  size_t entryOffset = 0;            // where the last requested file lies in outBuffer
  size_t entrySize = 0;              // and its size
  const char* mapFilename = nullptr;  // cache file path (not owned); null: never map
  std::FILE* mapFile = nullptr;      // the open cache file while a mapping exists
  size_t mapSize = 0;                // length of the current mapping
  size_t mapReserved = 0;            // bytes from the file's start with disk blocks reserved
  std::string mapPath;               // the file this cache created (mapFilename, or it with a
                                     // unique suffix when that name was taken); removed on release
};

void FolderCache_Init(FolderCache* cache, const Allocator* alloc);
// Unmaps, closes and removes the cache file this cache created, or frees the heap buffer; then
// FolderCache_Init.
void FolderCache_Free(FolderCache* cache);
// Creates a new cache file (never opening an existing one: when mapFilename exists, a name with a
// unique suffix is used), sizes it to outBufferSize rounded up to pages and maps it shared.
// Returns true on success; on failure nothing is left open or on disk.
bool FolderCache_Map(FolderCache* cache);
// Reserves disk blocks of the mapped cache file up to `end` bytes (rounded up to pages, at most
// the mapping): writing to a page without blocks on a full disk would kill the process. Returns
// false when the blocks cannot be had.
bool FolderCache_Reserve(FolderCache* cache, size_t end);
void FolderCache_Unmap(FolderCache* cache);

// Called before output is written past what was reserved: makes out[0, end) writable (plus the
// decoder's few scratch bytes beyond it, up to the output size). Returns false when it cannot.
struct OutputReserve {
  bool (*ensure)(void* context, size_t end);
  void* context;
};

// Decodes `folder` (single Copy, LZMA or LZMA2 coder) from the packed streams starting at
// `startPos` into out[0, outSize). packSizes holds the folder's pack sizes (numPackSizes of them
// at most). With `reserve`, output is produced in steps of kReserveStep, each reserved first.
// Success needs exactly outSize bytes produced from the whole pack stream. Returns 0,
// 4 (unsupported shape or method), 1 (corrupt, short or overlong data, size mismatch),
// 6 (input ended), 2 (allocation or reservation), 8. Temporary buffers come from and return to `alloc`.
ArchiveResult Folder_Decode(const Folder* folder, const uint64_t* packSizes, uint32_t numPackSizes,
                            LookAheadStream* stream, uint64_t startPos, uint8_t* out, size_t outSize,
                            const Allocator* alloc, const OutputReserve* reserve = nullptr);

// Makes file `fileIndex`'s bytes available as cache->outBuffer[entryOffset, entryOffset + entrySize),
// decoding its folder unless the cache holds it already. The folder's CRC and the file's CRC are
// verified where the archive defines them (mismatch: 1). Returns 0 or the first error.
ArchiveResult Archive_Extract(const Archive* db, LookAheadStream* stream, uint32_t fileIndex, FolderCache* cache,
                              const Allocator* mainAlloc, const Allocator* tempAlloc);

}  // namespace sevenzip
