// libFuzzer target over opening a memory-backed 7z archive and extracting every file from it.
// Allocations above a cap fail (result 2) instead of exhausting the fuzzer's memory. The cap lies
// above the database's own bound (256 MiB of records at most), so inputs reach that real limit;
// run with -malloc_limit_mb above it (for example 512).
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "archive/archive_database.h"
#include "archive/folder_decoder.h"
#include "archive/look_ahead_reader.h"
#include "archive/utf16.h"

using namespace sevenzip;

namespace {

constexpr size_t kAllocCap = 320u << 20;
void* cappedAlloc(const Allocator*, size_t size) { return size == 0 || size > kAllocCap ? nullptr : std::malloc(size); }
void cappedFree(const Allocator*, void* p) { std::free(p); }
const Allocator kCapped{cappedAlloc, cappedFree};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemInStream mem(data, size);
  auto look = std::make_unique<LookAheadReader>();
  LookAheadReader_Bind(look.get(), &mem);
  Archive db;
  Archive_Init(&db);
  if (Archive_Open(&db, look.get(), &kCapped, &kCapped) != ResOk) return 0;
  FolderCache cache;
  FolderCache_Init(&cache, &kCapped);
  ByteBuffer utf8;
  volatile uint8_t sink = 0;
  for (uint32_t i = 0; i < db.core.numFiles; i++) {
    size_t len = Archive_GetFileNameUtf16(&db, i, nullptr);
    auto* name = static_cast<uint16_t*>(std::malloc(len * sizeof(uint16_t)));
    Archive_GetFileNameUtf16(&db, i, name);
    if (name[len - 1] != 0) std::abort();  // names always end with their 0 unit
    Utf16ToUtf8Name(&utf8, name);
    std::free(name);
    if (db.core.files[i].isDir) continue;
    if (Archive_Extract(&db, look.get(), i, &cache, &kCapped, &kCapped) != ResOk) break;
    // Touch the first and last byte of the entry: it must lie inside the decoded folder.
    if (cache.entrySize != 0) {
      sink = static_cast<uint8_t>(sink + cache.outBuffer[cache.entryOffset]);
      sink = static_cast<uint8_t>(sink + cache.outBuffer[cache.entryOffset + cache.entrySize - 1]);
    }
  }
  ByteBuffer_Free(&utf8, &gDefaultAllocator);
  FolderCache_Free(&cache);
  Archive_Free(&db, &kCapped);
  return 0;
}
