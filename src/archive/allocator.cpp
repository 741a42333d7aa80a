// Heap allocators of the 7z decoder and the ByteBuffer record.
// Everything goes through malloc and free; size 0 allocates nothing.
#include "archive/allocator.h"

#include <cstdlib>

namespace sevenzip {

void* MainAlloc(const Allocator*, size_t size) { return size == 0 ? nullptr : std::malloc(size); }
void MainFree(const Allocator*, void* address) { std::free(address); }
void* TempAlloc(const Allocator*, size_t size) { return size == 0 ? nullptr : std::malloc(size); }
void TempFree(const Allocator*, void* address) { std::free(address); }

const Allocator gDefaultAllocator{MainAlloc, MainFree};

void ByteBuffer_Init(ByteBuffer* buf) {
  buf->data = nullptr;
  buf->size = 0;
}

int ByteBuffer_Create(ByteBuffer* buf, size_t size, const Allocator* alloc) {
  buf->size = 0;
  if (size == 0) {
    buf->data = nullptr;
    return 1;
  }
  buf->data = static_cast<uint8_t*>(alloc->Alloc(alloc, size));
  if (buf->data == nullptr) return 0;
  buf->size = size;
  return 1;
}

void ByteBuffer_Free(ByteBuffer* buf, const Allocator* alloc) {
  alloc->Free(alloc, buf->data);
  buf->data = nullptr;
  buf->size = 0;
}

int ByteBuffer_EnsureSize(ByteBuffer* buf, size_t size) {
  if (buf->size >= size) return 1;
  ByteBuffer_Free(buf, &gDefaultAllocator);
  return ByteBuffer_Create(buf, size, &gDefaultAllocator);
}

}  // namespace sevenzip
