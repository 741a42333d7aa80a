// The allocator pair through which every allocation of the 7z decoder goes, and ByteBuffer,
// a plain heap block that remembers its size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sevenzip {

// An allocator: a record of two operations. Alloc returns null on failure (and for size 0 with
// the heap allocators below); Free accepts null. A block is always freed by the allocator that
// made it. Records hold no state of their own and may be shared between threads.
struct Allocator {
  void* (*Alloc)(const Allocator* self, size_t size);
  void (*Free)(const Allocator* self, void* address);
};

// Heap implementations: the main pair owns what outlives opening an archive, the temporary pair
// what lives only during one step (header buffers, probability tables).
void* MainAlloc(const Allocator* self, size_t size);
void MainFree(const Allocator* self, void* address);
void* TempAlloc(const Allocator* self, size_t size);
void TempFree(const Allocator* self, void* address);

inline constexpr Allocator kMainAllocator{MainAlloc, MainFree};
inline constexpr Allocator kTempAllocator{TempAlloc, TempFree};

// The main allocator used for name conversion buffers and ByteBuffer_EnsureSize.
extern const Allocator gDefaultAllocator;

// Typed helpers that guard against size overflow: null when count * sizeof(T) overflows.
template <typename T>
T* AllocArray(const Allocator* alloc, size_t count) {
  if (count > SIZE_MAX / sizeof(T)) return nullptr;
  return static_cast<T*>(alloc->Alloc(alloc, count * sizeof(T)));
}

// A heap block and its size. Owned by whoever embeds it; freed with the allocator given to
// ByteBuffer_Free (the one that created it).
struct ByteBuffer {
  uint8_t* data = nullptr;  // null when empty
  size_t size = 0;          // bytes in data
};

void ByteBuffer_Init(ByteBuffer* buf);
// Allocates `size` bytes (size 0: null data, success). Returns 1 on success, 0 on failure (size 0).
int ByteBuffer_Create(ByteBuffer* buf, size_t size, const Allocator* alloc);
// Frees the data with `alloc`; the buffer becomes empty.
void ByteBuffer_Free(ByteBuffer* buf, const Allocator* alloc);
// Makes the buffer at least `size` bytes. When it is smaller it is freed and created anew with
// gDefaultAllocator at exactly `size` bytes; old contents are not kept. Returns 1 or 0.
int ByteBuffer_EnsureSize(ByteBuffer* buf, size_t size);

}  // namespace sevenzip
